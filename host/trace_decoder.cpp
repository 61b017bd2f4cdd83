#include "host/trace_decoder.h"

#include <cstdio>
#include <cstring>
#include <evntrace.h>
#include "host/identities.h"

namespace host {
namespace {

#include "trace_catalog.inc"

constexpr size_t kUnitLabelLength = 64;
constexpr size_t kShownLabelLength = 8;

bool SameGuid(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

// A narrow string: one NUL, at its end.
bool IsNarrowText(const std::vector<uint8_t>& arg) {
    if (arg.empty() || arg.back() != 0)
        return false;
    return std::memchr(arg.data(), 0, arg.size() - 1) == nullptr;
}

// UTF-16 units with one terminating zero unit.
bool IsWideText(const std::vector<uint8_t>& arg) {
    if (arg.size() < 2 || arg.size() % 2 != 0)
        return false;
    for (size_t i = 0; i + 2 < arg.size(); i += 2)
        if (arg[i] == 0 && arg[i + 1] == 0)
            return false;
    return arg[arg.size() - 2] == 0 && arg[arg.size() - 1] == 0;
}

bool IsUnitLabel(const std::vector<uint8_t>& arg) {
    if (arg.size() != kUnitLabelLength + 1 || arg.back() != 0)
        return false;
    for (size_t i = 0; i < kUnitLabelLength; ++i) {
        const char c = static_cast<char>(arg[i]);
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')))
            return false;
    }
    return true;
}

std::string Argument(const std::vector<uint8_t>& arg, char kind) {
    char text[64];
    if (arg.size() == 8 && kind == 'f') {
        std::snprintf(text, sizeof(text), "%g", platform::test::TraceArgDouble(arg));
        return text;
    }
    if (arg.size() == 4) {
        uint32_t value = platform::test::TraceArgU32(arg);
        std::snprintf(text, sizeof(text), "0x%08X (%u)", value, value);
        return text;
    }
    if (arg.size() == 8) {
        uint64_t value = platform::test::TraceArgU64(arg);
        std::snprintf(text, sizeof(text), "0x%016llX (%llu)",
                      static_cast<unsigned long long>(value),
                      static_cast<unsigned long long>(value));
        return text;
    }
    if (IsNarrowText(arg))
        return "\"" + platform::test::TraceArgString(arg) + "\"";
    if (IsWideText(arg)) {
        std::string out;
        for (char16_t unit : platform::test::TraceArgWString(arg))
            out += unit < 0x80 ? static_cast<char>(unit) : '?';
        return "u\"" + out + "\"";
    }
    std::string out = std::to_string(arg.size()) + " bytes";
    for (size_t i = 0; i < arg.size() && i < 16; ++i) {
        std::snprintf(text, sizeof(text), "%s%02x", i == 0 ? " " : "", arg[i]);
        out += text;
    }
    return arg.size() > 16 ? out + "..." : out;
}

} // namespace

const TraceCatalogProvider& CatalogProvider() {
    return kCatalogProvider;
}

const std::vector<TraceCatalogUnit>& CatalogUnits() {
    static const std::vector<TraceCatalogUnit> units(std::begin(kCatalogUnits),
                                                     std::end(kCatalogUnits));
    return units;
}

const std::vector<TraceCatalogMessage>& CatalogMessages() {
    static const std::vector<TraceCatalogMessage> messages(std::begin(kCatalogMessages),
                                                           std::end(kCatalogMessages));
    return messages;
}

DecodedTrace DecodeTrace(const platform::test::TraceStatement& statement) {
    DecodedTrace out;
    const TRACEHANDLE logger = platform::test::TraceSessionLogger(kCatalogProvider.control);
    out.provider = logger != 0 && statement.logger == logger ? kCatalogProvider.name : "?";
    out.unit = GuidText(statement.guid);
    for (const TraceCatalogUnit& unit : CatalogUnits())
        if (SameGuid(unit.guid, statement.guid))
            out.unit = unit.name;
    out.level = "?";
    out.message = "message " + std::to_string(statement.number);
    std::string kinds;
    for (const TraceCatalogMessage& message : CatalogMessages()) {
        if (SameGuid(message.unit, statement.guid) && message.number == statement.number) {
            out.level = message.level == TRACE_LEVEL_ERROR ? "error" : "info";
            out.message = message.name;
            kinds = message.kinds;
            break;
        }
    }
    size_t first = 0;
    if (!statement.args.empty() && IsUnitLabel(statement.args[0])) {
        out.unitLabel.assign(statement.args[0].begin(), statement.args[0].end() - 1);
        first = 1;
    }
    for (size_t i = first; i < statement.args.size(); ++i)
        out.arguments.push_back(Argument(statement.args[i], i < kinds.size() ? kinds[i] : '-'));
    return out;
}

std::string TraceLine(const DecodedTrace& trace) {
    std::string line = trace.provider + " " + trace.unit + " " + trace.level + " " + trace.message;
    if (!trace.unitLabel.empty())
        line += " [" + trace.unitLabel.substr(0, kShownLabelLength) + "]";
    for (size_t i = 0; i < trace.arguments.size(); ++i)
        line += (i == 0 ? " " : ", ") + trace.arguments[i];
    return line;
}

void EnableLibraryTraces() {
    platform::test::ClearCapturedTraces();
    platform::test::EnableTraceSession(kCatalogProvider.control, TRACE_LEVEL_INFORMATION,
                                       kCatalogProvider.flag);
}

void DisableLibraryTraces() {
    platform::test::DisableTraceSession(kCatalogProvider.control);
}

std::vector<DecodedTrace> TakeTraces() {
    std::vector<DecodedTrace> out;
    for (const platform::test::TraceStatement& statement : platform::test::CapturedTraces())
        out.push_back(DecodeTrace(statement));
    platform::test::ClearCapturedTraces();
    return out;
}

} // namespace host
