#include "host/trace_decoder.h"

#include <cstdio>
#include <cstring>
#include <evntrace.h>
#include "common/trace_text.h"
#include "host/identities.h"
#include "host/result_names.h"

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

std::string WideText(const std::vector<uint8_t>& arg) {
    std::string out;
    for (char16_t unit : platform::test::TraceArgWString(arg))
        out += unit < 0x80 ? static_cast<char>(unit) : '?';
    return out;
}

// An argument as it is shown without a conversion to read it by.
std::string RawArgument(const std::vector<uint8_t>& arg) {
    char text[64];
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
    if (IsWideText(arg))
        return "u\"" + WideText(arg) + "\"";
    std::string out = std::to_string(arg.size()) + " bytes";
    for (size_t i = 0; i < arg.size() && i < 16; ++i) {
        std::snprintf(text, sizeof(text), "%s%02x", i == 0 ? " " : "", arg[i]);
        out += text;
    }
    return arg.size() > 16 ? out + "..." : out;
}

// One argument put into its conversion, `spec` the conversion as the text writes it; false
// when the argument is not what the conversion reads.
bool Convert(const moc_trace::Conversion& conversion, const std::string& spec,
             const std::vector<uint8_t>& arg, std::string* out) {
    char text[128];
    switch (conversion.kind) {
    case moc_trace::ArgKind::Int32: {
        if (arg.size() != 4)
            return false;
        const uint32_t value = platform::test::TraceArgU32(arg);
        if (conversion.shown == moc_trace::Shown::HResult) {
            *out = ResultText(static_cast<HRESULT>(value));
        } else if (conversion.shown == moc_trace::Shown::Win32Error) {
            *out = Win32ErrorValueText(value);
        } else {
            const char letter = spec.back();
            if (letter == 'd' || letter == 'i')
                std::snprintf(text, sizeof(text), spec.c_str(), static_cast<int32_t>(value));
            else
                std::snprintf(text, sizeof(text), spec.c_str(), value);
            *out = text;
        }
        return true;
    }
    case moc_trace::ArgKind::Int64: {
        if (arg.size() != 8)
            return false;
        const uint64_t value = platform::test::TraceArgU64(arg);
        const char letter = spec.back();
        if (letter == 'd' || letter == 'i')
            std::snprintf(text, sizeof(text), spec.c_str(), static_cast<long long>(value));
        else
            std::snprintf(text, sizeof(text), spec.c_str(), static_cast<unsigned long long>(value));
        *out = text;
        return true;
    }
    case moc_trace::ArgKind::Double:
        if (arg.size() != 8)
            return false;
        std::snprintf(text, sizeof(text), spec.c_str(), platform::test::TraceArgDouble(arg));
        *out = text;
        return true;
    case moc_trace::ArgKind::NarrowText:
        if (!IsNarrowText(arg))
            return false;
        *out = platform::test::TraceArgString(arg);
        return true;
    case moc_trace::ArgKind::WideText:
        if (!IsWideText(arg))
            return false;
        *out = WideText(arg);
        return true;
    }
    return false;
}

size_t ConversionCount(const char* text) {
    size_t count = 0;
    size_t at = 0;
    moc_trace::Conversion conversion;
    while (moc_trace::NextConversion(text, &at, &conversion))
        ++count;
    return count;
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

std::string RenderTraceText(const char* text, const std::vector<std::vector<uint8_t>>& args,
                            bool* fit) {
    *fit = true;
    std::string out;
    size_t next = 0;
    for (size_t i = 0; text[i] != '\0';) {
        if (text[i] != '%') {
            out += text[i++];
            continue;
        }
        if (text[i + 1] == '%') {
            out += '%';
            i += 2;
            continue;
        }
        const moc_trace::Conversion conversion = moc_trace::ParseConversion(text, i);
        if (!conversion.valid) {
            // The build refuses such a text; shown as it stands all the same.
            *fit = false;
            out += text[i++];
            continue;
        }
        const std::string spec(text + i, conversion.end - i);
        i = conversion.end;
        if (next == args.size()) {
            *fit = false;
            out += "?";
            continue;
        }
        const std::vector<uint8_t>& arg = args[next++];
        std::string shown;
        if (!Convert(conversion, spec, arg, &shown)) {
            *fit = false;
            shown = RawArgument(arg);
        }
        out += shown;
    }
    if (next < args.size()) {
        *fit = false;
        out += " [";
        for (size_t i = next; i < args.size(); ++i)
            out += (i == next ? "" : ", ") + RawArgument(args[i]);
        out += "]";
    }
    return out;
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
    const char* text = nullptr;
    for (const TraceCatalogMessage& message : CatalogMessages()) {
        if (SameGuid(message.unit, statement.guid) && message.number == statement.number) {
            out.level = message.level == TRACE_LEVEL_ERROR ? "error" : "info";
            out.message = message.name;
            text = message.text;
            break;
        }
    }
    // With a text, the label is the one argument more than its conversions; without one,
    // an argument that looks like a label is taken for it.
    const std::vector<std::vector<uint8_t>>& args = statement.args;
    const bool labelled =
        !args.empty() &&
        (text != nullptr ? args.size() == ConversionCount(text) + 1 && IsNarrowText(args[0])
                         : IsUnitLabel(args[0]));
    if (labelled)
        out.unitLabel = platform::test::TraceArgString(args[0]);
    const std::vector<std::vector<uint8_t>> rest(args.begin() + (labelled ? 1 : 0), args.end());
    for (const std::vector<uint8_t>& arg : rest)
        out.arguments.push_back(RawArgument(arg));
    if (text != nullptr)
        out.text = RenderTraceText(text, rest, &out.argumentsFit);
    else
        out.argumentsFit = false;
    return out;
}

std::string TraceLine(const DecodedTrace& trace) {
    std::string line = trace.provider + " " + trace.unit + " " + trace.level + " " + trace.message;
    if (!trace.unitLabel.empty())
        line += " [" + trace.unitLabel.substr(0, kShownLabelLength) + "]";
    if (!trace.text.empty()) {
        line += " " + trace.text;
        return line;
    }
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
    for (const platform::test::TraceStatement& statement : TakeStatements())
        out.push_back(DecodeTrace(statement));
    return out;
}

std::vector<platform::test::TraceStatement> TakeStatements() {
    std::vector<platform::test::TraceStatement> taken = platform::test::CapturedTraces();
    platform::test::ClearCapturedTraces();
    return taken;
}

bool FromUnit(const platform::test::TraceStatement& statement, const GUID& unit) {
    return SameGuid(statement.guid, unit);
}

bool IsStatement(const platform::test::TraceStatement& statement, const GUID& unit, USHORT number) {
    return statement.number == number && FromUnit(statement, unit);
}

std::string StatementText(const platform::test::TraceStatement& statement, size_t index) {
    if (index >= statement.args.size())
        return "";
    const std::vector<uint8_t>& arg = statement.args[index];
    if (IsNarrowText(arg))
        return platform::test::TraceArgString(arg);
    if (!IsWideText(arg))
        return "";
    std::string narrow;
    for (char16_t unit : platform::test::TraceArgWString(arg))
        narrow += unit < 0x80 ? static_cast<char>(unit) : '?';
    return narrow;
}

bool StatementNumber(const platform::test::TraceStatement& statement, size_t index,
                     ULONGLONG* value) {
    if (index >= statement.args.size())
        return false;
    const std::vector<uint8_t>& arg = statement.args[index];
    if (arg.size() == 4)
        *value = platform::test::TraceArgU32(arg);
    else if (arg.size() == 8)
        *value = platform::test::TraceArgU64(arg);
    else
        return false;
    return true;
}

} // namespace host
