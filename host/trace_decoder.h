// Decoding of the adapter library's trace statements, with the catalog generated from its
// sources at build time (the formats a decoder reads on the platform). The controller
// captures a statement's GUID, number and arguments; the catalog gives the unit, the level
// and the message name.
#pragma once
#include <windows.h>
#include <string>
#include <vector>
#include "platform/test_trace.h"

namespace host {

struct TraceCatalogProvider {
    GUID control;
    const char* name;
    ULONG flag; // the enable flag of the library's statements
};

struct TraceCatalogUnit {
    GUID guid;
    const char* name;
};

struct TraceCatalogMessage {
    GUID unit;
    USHORT number;
    UCHAR level;
    const char* name; // the enclosing function and the number, "SensorAdapterAttach#12"
    // Per argument: 'f' a floating value, '-' any other; empty when the sources do not say.
    const char* kinds;
};

const TraceCatalogProvider& CatalogProvider();
const std::vector<TraceCatalogUnit>& CatalogUnits();
const std::vector<TraceCatalogMessage>& CatalogMessages();

struct DecodedTrace {
    std::string provider;
    std::string unit;
    std::string unitLabel; // the adapter's unit label when the first argument is one
    std::string level;     // "error", "info", or "?" for a message the catalog lacks
    std::string message;
    std::vector<std::string> arguments;
};

DecodedTrace DecodeTrace(const platform::test::TraceStatement& statement);
// One line: provider, unit, level, message, the label's first 8 characters, arguments.
std::string TraceLine(const DecodedTrace& trace);

// Enables a session on the library's provider at the information level, as a trace
// controller does; statements are then captured until DisableTraceSession.
void EnableLibraryTraces();
void DisableLibraryTraces();
// The statements captured since the last call, decoded, in order.
std::vector<DecodedTrace> TakeTraces();

} // namespace host
