// Statements as a person reads them: the message text with each argument put into its
// conversion, the unit label in a place of its own, and an argument that does not fit its
// conversion shown raw rather than misread.
#include <gtest/gtest.h>
#include <platform/test.h>
#include <winbio_err.h>
#include <cstring>
#include <string>
#include <vector>
#include "common/trace_guids.h"
#include "host/trace_decoder.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes U32(uint32_t value) {
    Bytes out(4);
    std::memcpy(out.data(), &value, 4);
    return out;
}

Bytes U64(uint64_t value) {
    Bytes out(8);
    std::memcpy(out.data(), &value, 8);
    return out;
}

Bytes Double(double value) {
    Bytes out(8);
    std::memcpy(out.data(), &value, 8);
    return out;
}

Bytes Narrow(const std::string& text) {
    return Bytes(text.c_str(), text.c_str() + text.size() + 1);
}

Bytes Wide(const std::u16string& text) {
    Bytes out((text.size() + 1) * 2, 0);
    std::memcpy(out.data(), text.data(), text.size() * 2);
    return out;
}

TEST(TraceDecoder, TextsTakeTheirArgumentsOrShowThemRaw) {
    const struct {
        const char* text;
        std::vector<Bytes> args;
        const char* shown;
        bool fit;
    } cases[] = {
        {"capabilities: %u slots, owner id mode %u, hashed %u",
         {U32(10), U32(1), U32(0)},
         "capabilities: 10 slots, owner id mode 1, hashed 0",
         true},
        {"%d, %i", {U32(0xFFFFFFFB), U32(7)}, "-5, 7", true},
        {"request 0x%08X, mode %x, %-3u|",
         {U32(0x22C004), U32(0xAB), U32(4)},
         "request 0x0022C004, mode ab, 4  |",
         true},
        {"%llu bytes, %lld, 0x%llX",
         {U64(5000000000ull), U64(~0ull), U64(0x1122334455667788ull)},
         "5000000000 bytes, -1, 0x1122334455667788",
         true},
        {"match values %.3f and %g",
         {Double(12.345), Double(-2.5)},
         "match values 12.345 and -2.5",
         true},
        {"reading %s", {Narrow("C:\\Windows\\db.DAT")}, "reading C:\\Windows\\db.DAT", true},
        {"erase %ls", {Wide(u"C:\\db")}, "erase C:\\db", true},
        {"bytes: %ls", {Wide(u"0A 1B ")}, "bytes: 0A 1B ", true},
        {"returns %!HRESULT!",
         {U32(static_cast<uint32_t>(WINBIO_E_UNKNOWN_ID))},
         "returns WINBIO_E_UNKNOWN_ID (0x80098003)",
         true},
        {"failed: %!WINERROR!", {U32(ERROR_NOT_READY)}, "failed: ERROR_NOT_READY (21)", true},
        {"failed: %!WINERROR!", {U32(4000)}, "failed: Win32 error 4000", true},
        {"100%% done", {}, "100% done", true},
        // Of another size or kind than the conversion reads: raw, never misread.
        {"%u bytes", {U64(5)}, "0x0000000000000005 (5) bytes", false},
        {"%llu bytes", {U32(5)}, "0x00000005 (5) bytes", false},
        {"%f", {U32(1)}, "0x00000001 (1)", false},
        {"returns %!HRESULT!", {U64(0)}, "returns 0x0000000000000000 (0)", false},
        {"path %s", {U32(7)}, "path 0x00000007 (7)", false},
        {"path %s", {Bytes{'a', 'b'}}, "path 2 bytes 6162", false},
        {"path %s", {Wide(u"ab")}, "path u\"ab\"", false},
        {"erase %ls", {Narrow("ab")}, "erase \"ab\"", false},
        // Too few or too many.
        {"%u and %u", {U32(1)}, "1 and ?", false},
        {"%u", {U32(1), U32(2), Narrow("x")}, "1 [0x00000002 (2), \"x\"]", false},
    };
    for (const auto& c : cases) {
        bool fit = !c.fit;
        EXPECT_EQ(host::RenderTraceText(c.text, c.args, &fit), c.shown) << c.text;
        EXPECT_EQ(fit, c.fit) << c.text;
    }
}

// The label is the one argument more than the text's conversions: a narrow string that a
// conversion takes (a path) stays in the text.
TEST(TraceDecoder, TheUnitLabelStandsApartAndTheTextFollowsIt) {
    platform::test::ResetAll();
    host::EnableLibraryTraces();
    const TRACEHANDLE logger = platform::test::TraceSessionLogger(host::CatalogProvider().control);
    const std::string label(64, 'A');
    const struct {
        GUID unit;
        USHORT number;
        std::vector<Bytes> args;
        bool labelled;
    } cases[] = {
        {kTraceGuidStorageAdapter, 11, {Narrow(label), U32(S_OK)}, true},
        {kTraceGuidStorageAdapter, 10, {U32(static_cast<uint32_t>(E_POINTER))}, false},
        {kTraceGuidEngineAdapter, 10, {Narrow("B" + label.substr(1)), Wide(u"01 02 ")}, true},
        {kTraceGuidWholeFile, 16, {Narrow("C:\\x.DAT"), U32(29)}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.number);
        const host::TraceCatalogMessage* message = nullptr;
        for (const host::TraceCatalogMessage& m : host::CatalogMessages())
            if (std::memcmp(&m.unit, &c.unit, sizeof(GUID)) == 0 && m.number == c.number)
                message = &m;
        ASSERT_NE(message, nullptr);
        platform::test::TraceStatement statement;
        statement.logger = logger;
        statement.guid = c.unit;
        statement.number = c.number;
        statement.args = c.args;
        const host::DecodedTrace trace = host::DecodeTrace(statement);

        const std::vector<Bytes> rest(c.args.begin() + (c.labelled ? 1 : 0), c.args.end());
        bool fit = false;
        const std::string text = host::RenderTraceText(message->text, rest, &fit);
        EXPECT_TRUE(fit);
        EXPECT_TRUE(trace.argumentsFit);
        EXPECT_EQ(trace.text, text);
        const std::string shownLabel =
            c.labelled ? " [" + platform::test::TraceArgString(c.args[0]).substr(0, 8) + "]" : "";
        EXPECT_EQ(host::TraceLine(trace), std::string("TolviMocAdapter ") + trace.unit + " " +
                                              trace.level + " " + message->name + shownLabel + " " +
                                              text);
    }

    // A message the catalog lacks keeps the raw arguments, a label taken by its shape.
    platform::test::TraceStatement unknown;
    unknown.logger = logger;
    unknown.guid = kTraceGuidStorageAdapter;
    unknown.number = 9999;
    unknown.args = {Narrow(label), U32(5)};
    const host::DecodedTrace trace = host::DecodeTrace(unknown);
    EXPECT_FALSE(trace.argumentsFit);
    EXPECT_EQ(host::TraceLine(trace),
              "TolviMocAdapter StorageAdapter ? message 9999 [AAAAAAAA] 0x00000005 (5)");
    host::DisableLibraryTraces();
    platform::test::ResetAll();
}

} // namespace
