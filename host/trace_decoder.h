// Decoding of the adapter library's trace statements, with the catalog generated from its
// sources at build time (the formats a decoder reads on the platform). The controller
// captures a statement's GUID, number and arguments; the catalog gives the unit, the level,
// the message name and the message text the arguments are put into.
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
    // One conversion per argument but the unit label (common/trace_text.h).
    const char* text;
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
    // The message text with the arguments put in; empty for a message the catalog lacks.
    std::string text;
    // Each argument after the label in its raw form ("0x00000005 (5)", "\"abc\"").
    std::vector<std::string> arguments;
    // Every argument took its conversion: one each, of the size and kind it reads.
    bool argumentsFit = true;
};

DecodedTrace DecodeTrace(const platform::test::TraceStatement& statement);
// One line: provider, unit, level, message, the label's first 8 characters, then the text
// with its arguments, or the raw arguments for a message without one.
std::string TraceLine(const DecodedTrace& trace);

// A message text with `args` put in, one for each conversion. An argument that does not
// fit its conversion (another size, no terminated string) is shown in its raw form rather
// than misread, a missing one as "?", and any left over after the text, raw, in brackets;
// each of these clears `*fit`.
std::string RenderTraceText(const char* text, const std::vector<std::vector<uint8_t>>& args,
                            bool* fit);

// Enables a session on the library's provider at the information level, as a trace
// controller does; statements are then captured until DisableTraceSession.
void EnableLibraryTraces();
void DisableLibraryTraces();
// The statements captured since the last call, decoded, in order.
std::vector<DecodedTrace> TakeTraces();
// The same, as they were captured.
std::vector<platform::test::TraceStatement> TakeStatements();

// Whether a statement is one of `unit` (a message GUID of common/trace_guids.h), and the one
// under `number`, as the library's sources give them.
bool FromUnit(const platform::test::TraceStatement& statement, const GUID& unit);
bool IsStatement(const platform::test::TraceStatement& statement, const GUID& unit, USHORT number);
// Argument `index` of a statement (the unit label first, when it carries one): "" or false
// when it is not there or not of that kind.
std::string StatementText(const platform::test::TraceStatement& statement, size_t index);
bool StatementNumber(const platform::test::TraceStatement& statement, size_t index,
                     ULONGLONG* value);

} // namespace host
