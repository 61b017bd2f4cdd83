#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>
#include <gtest/gtest.h>
#include <platform/test.h>
#include <winbio_err.h>
#include "common/adapter_shared.h"
#include "common/trace.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved);

namespace {

namespace pt = platform::test;

// A GUID that no unit uses, so a captured statement is surely the test's own.
constexpr GUID kTestGuid = {
    0x0F1E2D3C, 0x4B5A, 0x6978, {0x87, 0x96, 0xA5, 0xB4, 0xC3, 0xD2, 0xE1, 0xF0}};

// A trace argument with a side effect: counts how often it is evaluated.
int Touch(int* evaluated) {
    ++*evaluated;
    return 7;
}

class TraceTest : public ::testing::Test {
protected:
    void SetUp() override { pt::ResetAll(); }
    void TearDown() override {
        DllMain(nullptr, DLL_PROCESS_DETACH, nullptr);
        pt::ResetAll();
    }
    static void Attach() { ASSERT_TRUE(DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr)); }
    static void Enable(UCHAR level, ULONG flags) {
        pt::EnableTraceSession(AdapterTraceControlGuid, level, flags);
    }
};

// --- gating ----------------------------------------------------------------

struct GateCase {
    bool registered;
    ULONG flags;
    UCHAR level;
    bool errorStatement; // MOC_TRACE_ERROR, else MOC_TRACE_INFO
    bool emitted;
};

TEST_F(TraceTest, StatementPassesOnlyWhenRegisteredFlaggedAndLevelled) {
    const GateCase cases[] = {
        {true, 0x0, 0, true, false}, // registered, no session yet
        {true, 0x1, 1, true, false}, // critical only
        {true, 0x1, 1, false, false},
        {true, 0x1, 2, true, true},   // errors pass at 2 and 3 ...
        {true, 0x1, 2, false, false}, // ... information does not
        {true, 0x1, 3, true, true},
        {true, 0x1, 3, false, false},
        {true, 0x1, 4, false, true},
        {true, 0x1, 4, true, true},
        {true, 0x1, 5, false, true},
        {true, 0x2, 4, false, false}, // another flag only
        {true, 0x2, 5, true, false},
        {true, 0x3, 4, false, true},
        {true, 0xFFFFFFFF, 255, true, true},
        {false, 0x1, 5, true, false}, // session on, provider never registered
        {false, 0x1, 5, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << "registered " << c.registered << " flags 0x" << std::hex << c.flags
                     << std::dec << " level " << int(c.level) << " error " << c.errorStatement);
        DllMain(nullptr, DLL_PROCESS_DETACH, nullptr);
        pt::ResetAll();
        if (c.registered)
            Attach();
        if (c.flags != 0 || c.level != 0)
            Enable(c.level, c.flags);
        pt::ClearCapturedTraces();

        int evaluated = 0;
        if (c.errorStatement)
            MOC_TRACE_ERROR(kTestGuid, 21, "touched %d", Touch(&evaluated));
        else
            MOC_TRACE_INFO(kTestGuid, 21, "touched %d", Touch(&evaluated));

        auto traces = pt::CapturedTraces();
        ASSERT_EQ(traces.size(), c.emitted ? 1u : 0u);
        EXPECT_EQ(evaluated, c.emitted ? 1 : 0);
        if (c.emitted) {
            EXPECT_EQ(traces[0].logger, pt::TraceSessionLogger(AdapterTraceControlGuid));
            EXPECT_EQ(traces[0].flags, 0x2Bu);
            EXPECT_EQ(traces[0].guid, kTestGuid);
            EXPECT_EQ(traces[0].number, 21);
            ASSERT_EQ(traces[0].args.size(), 1u);
            EXPECT_EQ(pt::TraceArgU32(traces[0].args[0]), 7u);
        }
    }
}

// --- argument encoding -------------------------------------------------------

enum class SmallEnum : uint8_t { Value = 0xF0 };
enum NegativeEnum : int32_t { kNegative = -3 };

// Kinds a decoder could not read back are refused at compile time.
static_assert(!moc_trace::kIsSupported<bool>);
static_assert(!moc_trace::kIsSupported<float>);
static_assert(!moc_trace::kIsSupported<char>);
static_assert(!moc_trace::kIsSupported<const BYTE*>);
static_assert(!moc_trace::kIsSupported<const void*>);
static_assert(!moc_trace::kIsSupported<std::nullptr_t>);
static_assert(!moc_trace::kIsSupported<std::string>);
// Win32 codes are 32-bit on the platform: one handed straight to a statement
// (or to any variadic call) must carry 4 bytes, not 8.
static_assert(sizeof(ERROR_GEN_FAILURE) == 4 && sizeof(ERROR_SUCCESS) == 4);

// --- message texts ------------------------------------------------------------

template <class... Args> moc_trace::Fit FitOf(const char* text) {
    return moc_trace::TextFit(text, moc_trace::ArgList<Args...>{});
}

// What each statement's static_assert decides: one conversion per argument of the
// kind it takes, none for a unit label (a narrow string first), nothing but the
// conversions of common/trace_text.h after a %.
TEST(TraceText, ConversionsMatchTheArgumentsInNumberAndKind) {
    using moc_trace::Fit;
    const struct {
        const char* text;
        Fit fit;
        Fit expected;
    } cases[] = {
        {"loaded", FitOf<>("loaded"), Fit::Fits},
        {"label only", FitOf<const char*>("label only"), Fit::Fits},
        {"label and a count", FitOf<char*, DWORD>("%u slots"), Fit::Fits},
        {"a string that is no label", FitOf<const char*, DWORD>("%s, %u bytes"), Fit::Fits},
        {"every kind",
         FitOf<INT32, DWORD, HRESULT, SmallEnum, BYTE, LONGLONG, SIZE_T, double, const char*,
               const WCHAR*>("%d %08X %!HRESULT! %u %-3u %lld %llx %.3f %s %ls"),
         Fit::Fits},
        {"a Win32 error", FitOf<DWORD>("failed: %!WINERROR!"), Fit::Fits},
        {"a percent sign", FitOf<DWORD>("100%% of %u"), Fit::Fits},
        {"a conversion with no argument", FitOf<>("%u"), Fit::Count},
        {"an argument with no conversion", FitOf<DWORD, DWORD>("%u"), Fit::Count},
        {"an integer is no label", FitOf<DWORD>("label only"), Fit::Count},
        {"two labels", FitOf<const char*, const char*>("label only"), Fit::Count},
        {"a conversion for the label", FitOf<const char*, DWORD>("%u %u"), Fit::Kind},
        {"64 bits given %u", FitOf<SIZE_T>("%u bytes"), Fit::Kind},
        {"32 bits given %llu", FitOf<DWORD>("%llu bytes"), Fit::Kind},
        {"an integer given %s", FitOf<DWORD>("%s"), Fit::Kind},
        {"a wide string given %s", FitOf<const WCHAR*>("%s"), Fit::Kind},
        {"a narrow string given %ls", FitOf<const char*, const char*>("%ls"), Fit::Kind},
        {"an integer given %f", FitOf<DWORD>("%f"), Fit::Kind},
        {"an HRESULT of 64 bits", FitOf<SIZE_T>("%!HRESULT!"), Fit::Kind},
        {"an unknown letter", FitOf<DWORD>("%q"), Fit::Malformed},
        {"an unknown name", FitOf<DWORD>("%!STATUS!"), Fit::Malformed},
        {"one l", FitOf<DWORD>("%lu"), Fit::Malformed},
        {"a width on a string", FitOf<const char*, const char*>("%5s"), Fit::Malformed},
        {"a % at the end", FitOf<>("100%"), Fit::Malformed},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.fit, c.expected) << c.text;
}

TEST_F(TraceTest, ArgumentsAreSentInOrderWithTheirWidths) {
    Attach();
    Enable(TRACE_LEVEL_INFORMATION, TRACE_FLAG_ADAPTER);
    pt::ClearCapturedTraces();

    const char* nullNarrow = nullptr;
    const WCHAR* nullWide = nullptr;
    MOC_TRACE_INFO(kTestGuid, 30, "%d %X %!HRESULT! %u %d %u %d %lld %llX %g %s %s %ls %ls",
                   INT32(-5), DWORD(0xDEADBEEF), WINBIO_E_DEVICE_FAILURE, SmallEnum::Value,
                   kNegative, BYTE(0xFE), int16_t(-2), LONGLONG(-0x123456789),
                   SIZE_T(0x1122334455667788), 2.5, "abc", nullNarrow, u"wide\u00e9", nullWide);
    MOC_TRACE_INFO(kTestGuid, 31, "no arguments");
    MOC_TRACE_ERROR(kTestGuid, 32, "%!WINERROR!", ERROR_INSUFFICIENT_BUFFER);

    auto traces = pt::CapturedTraces();
    ASSERT_EQ(traces.size(), 3u);
    const auto& a = traces[0].args;
    ASSERT_EQ(a.size(), 14u);
    EXPECT_EQ(pt::TraceArgU32(a[0]), 0xFFFFFFFBu);
    EXPECT_EQ(pt::TraceArgU32(a[1]), 0xDEADBEEFu);
    EXPECT_EQ(pt::TraceArgU32(a[2]), 0x80098036u);
    EXPECT_EQ(pt::TraceArgU32(a[3]), 0xF0u);       // unsigned enum: zero-extended
    EXPECT_EQ(pt::TraceArgU32(a[4]), 0xFFFFFFFDu); // signed enum: sign-extended
    EXPECT_EQ(pt::TraceArgU32(a[5]), 0xFEu);
    EXPECT_EQ(pt::TraceArgU32(a[6]), 0xFFFFFFFEu);
    EXPECT_EQ(pt::TraceArgU64(a[7]), static_cast<uint64_t>(-0x123456789LL));
    EXPECT_EQ(pt::TraceArgU64(a[8]), 0x1122334455667788u);
    EXPECT_EQ(pt::TraceArgDouble(a[9]), 2.5);
    EXPECT_EQ(a[10].size(), 4u);
    EXPECT_EQ(pt::TraceArgString(a[10]), "abc");
    EXPECT_EQ(a[11].size(), 5u);
    EXPECT_EQ(pt::TraceArgString(a[11]), "NULL");
    EXPECT_EQ(a[12].size(), 12u);
    EXPECT_EQ(pt::TraceArgWString(a[12]), u"wide\u00e9");
    EXPECT_EQ(a[13].size(), 10u);
    EXPECT_EQ(pt::TraceArgWString(a[13]), u"NULL");

    EXPECT_EQ(traces[1].number, 31);
    EXPECT_TRUE(traces[1].args.empty());
    ASSERT_EQ(traces[2].args.size(), 1u);
    EXPECT_EQ(traces[2].args[0].size(), 4u);
    EXPECT_EQ(pt::TraceArgU32(traces[2].args[0]), 122u);
}

// --- hex dump ----------------------------------------------------------------

TEST_F(TraceTest, HexDumpSplitsIntoLinesOfSixteen) {
    Attach();
    Enable(TRACE_LEVEL_INFORMATION, TRACE_FLAG_ADAPTER);
    BYTE bytes[32];
    for (int i = 0; i < 32; ++i)
        bytes[i] = static_cast<BYTE>(i == 0 ? 0xAF : i);
    const std::u16string line1 = u"AF 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F ";
    const std::u16string line2 = u"10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E 1F ";

    struct Case {
        INT32 count;
        std::vector<std::pair<USHORT, std::u16string>> lines;
    };
    const Case cases[] = {
        {0, {}},
        {-5, {}},
        {16, {{10, line1}}},
        {17, {{10, line1}, {11, u"10 "}}},
        {32, {{10, line1}, {10, line2}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.count);
        pt::ClearCapturedTraces();
        TraceHexDump("LABEL", bytes, c.count);
        auto traces = pt::CapturedTraces();
        ASSERT_EQ(traces.size(), c.lines.size());
        for (size_t i = 0; i < traces.size(); ++i) {
            EXPECT_EQ(traces[i].guid, kTraceGuidEngineAdapter);
            EXPECT_EQ(traces[i].number, c.lines[i].first);
            ASSERT_EQ(traces[i].args.size(), 2u);
            EXPECT_EQ(pt::TraceArgString(traces[i].args[0]), "LABEL");
            EXPECT_EQ(pt::TraceArgWString(traces[i].args[1]), c.lines[i].second);
        }
    }

    // A null buffer with a positive count must not be read.
    pt::ClearCapturedTraces();
    TraceHexDump("LABEL", nullptr, 20);
    EXPECT_TRUE(pt::CapturedTraces().empty());
}

// The dump's lines are information statements under the adapter flag: a
// session that lets only failures through, or lacks the flag, sees none.
TEST_F(TraceTest, HexDumpLinesPassOnlyAtInformationLevelWithTheAdapterFlag) {
    Attach();
    const BYTE bytes[17] = {};
    const struct {
        UCHAR level;
        ULONG flags;
        size_t lines;
    } cases[] = {{3, 0x1, 0}, {4, 0x2, 0}, {4, 0x3, 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "level " << int(c.level) << " flags " << c.flags);
        Enable(c.level, c.flags);
        pt::ClearCapturedTraces();
        TraceHexDump("LABEL", bytes, 17);
        EXPECT_EQ(pt::CapturedTraces().size(), c.lines);
    }
}

// --- unit label, error mapping, heap -----------------------------------------

TEST(HashToHexTest, WritesSixtyFourUpperCaseDigitsAndNul) {
    struct Case {
        BYTE fill; // 0xFF: bytes 0..31
        const char* text;
    };
    const Case cases[] = {
        {0x00, "0000000000000000000000000000000000000000000000000000000000000000"},
        {0xAB, "ABABABABABABABABABABABABABABABABABABABABABABABABABABABABABABABAB"},
        {0xFF, "000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F"},
    };
    for (const auto& c : cases) {
        BYTE digest[32];
        for (int i = 0; i < 32; ++i)
            digest[i] = c.fill == 0xFF ? static_cast<BYTE>(i) : c.fill;
        char label[70];
        std::memset(label, '#', sizeof(label));
        HashToHex(digest, label);
        EXPECT_STREQ(label, c.text);
        EXPECT_EQ(label[65], '#') << "nothing past the NUL is written";
    }
    char untouched[70];
    std::memset(untouched, '#', sizeof(untouched));
    HashToHex(nullptr, untouched);
    EXPECT_EQ(untouched[0], '#');
    HashToHex(reinterpret_cast<const BYTE*>("x"), nullptr);
}

TEST(WinBioErrorFromWin32Test, MapsCancellationsAndEverythingElse) {
    const std::pair<DWORD, HRESULT> cases[] = {
        {ERROR_CANCELLED, WINBIO_E_CANCELED},
        {ERROR_OPERATION_ABORTED, WINBIO_E_CANCELED},
        {ERROR_DRIVER_PROCESS_TERMINATED, WINBIO_E_CANCELED},
        {ERROR_SUCCESS, WINBIO_E_DEVICE_FAILURE},
        {ERROR_ACCESS_DENIED, WINBIO_E_DEVICE_FAILURE},
        {ERROR_INVALID_PARAMETER, WINBIO_E_DEVICE_FAILURE},
        {ERROR_IO_PENDING, WINBIO_E_DEVICE_FAILURE},
        {0xFFFFFFFFu, WINBIO_E_DEVICE_FAILURE},
    };
    for (const auto& c : cases)
        EXPECT_EQ(WinBioErrorFromWin32(c.first), c.second) << c.first;
}

TEST_F(TraceTest, ProcessHeapBlocksAreZeroedAndRefusalsGiveNull) {
    const size_t before = pt::LiveHeapBlocks();
    auto* block = static_cast<BYTE*>(ProcessHeapAlloc(64));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 64; ++i)
        ASSERT_EQ(block[i], 0) << i;
    // Contexts are released with HeapFree too, so both forms must agree.
    EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, block));
    EXPECT_EQ(pt::LiveHeapBlocks(), before);

    pt::FailNextHeapAllocations(1);
    EXPECT_EQ(ProcessHeapAlloc(16), nullptr);
    void* again = ProcessHeapAlloc(16);
    ASSERT_NE(again, nullptr);
    EXPECT_TRUE(ProcessHeapFree(again));
    EXPECT_EQ(pt::LiveHeapBlocks(), before);
}

// --- enable callback ----------------------------------------------------------

TEST_F(TraceTest, CallbackKeepsSessionStateAndRefusesOtherRequests) {
    Attach();
    AdapterTraceControlBlock& block = g_AdapterTraceControlBlock;
    EXPECT_EQ(block.enableLevel.load(), 0);
    EXPECT_EQ(block.enableFlags.load(), 0u);

    Enable(5, 0x9);
    const TRACEHANDLE logger = pt::TraceSessionLogger(AdapterTraceControlGuid);
    ASSERT_NE(logger, 0u);
    EXPECT_EQ(block.loggerHandle.load(), logger);
    EXPECT_EQ(block.enableLevel.load(), 5);
    EXPECT_EQ(block.enableFlags.load(), 0x9u);

    EXPECT_EQ(pt::SendTraceRequest(AdapterTraceControlGuid, WMI_ENABLE_COLLECTION),
              static_cast<ULONG>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(block.loggerHandle.load(), logger);
    EXPECT_EQ(block.enableLevel.load(), 5);
    EXPECT_EQ(block.enableFlags.load(), 0x9u);

    // The size word is cleared whatever the request; bad pointers are refused.
    ULONG size = 48;
    EXPECT_EQ(AdapterTraceControlCallback(WMI_ENABLE_COLLECTION, &block, &size, nullptr),
              static_cast<ULONG>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(size, 0u);
    size = 48;
    EXPECT_EQ(AdapterTraceControlCallback(WMI_DISABLE_EVENTS, nullptr, &size, nullptr),
              static_cast<ULONG>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(AdapterTraceControlCallback(WMI_ENABLE_COLLECTION, &block, nullptr, nullptr),
              static_cast<ULONG>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(block.enableFlags.load(), 0x9u);

    pt::DisableTraceSession(AdapterTraceControlGuid);
    EXPECT_EQ(block.loggerHandle.load(), 0u);
    EXPECT_EQ(block.enableLevel.load(), 0);
    EXPECT_EQ(block.enableFlags.load(), 0u);
}

// Sessions switching on and off while statements run on other threads: every
// statement that gets through carries the logger of the session it passed.
TEST_F(TraceTest, StatementsRacingWithEnableAndDisableStayWhole) {
    Attach();
    std::atomic<bool> stop{false};
    std::thread toggler([&] {
        for (int i = 0; i < 300; ++i) {
            Enable(TRACE_LEVEL_INFORMATION, TRACE_FLAG_ADAPTER);
            pt::DisableTraceSession(AdapterTraceControlGuid);
        }
        stop = true;
    });
    std::vector<std::thread> emitters;
    for (int t = 0; t < 2; ++t)
        emitters.emplace_back([&] {
            for (int n = 0; n < 20000 && !stop; ++n)
                MOC_TRACE_INFO(kTestGuid, 40, "value 0x%X", DWORD(0x1234));
        });
    toggler.join();
    for (auto& e : emitters)
        e.join();
    for (const auto& s : pt::CapturedTraces()) {
        ASSERT_NE(s.logger, 0u);
        ASSERT_EQ(s.args.size(), 1u);
        ASSERT_EQ(pt::TraceArgU32(s.args[0]), 0x1234u);
    }
}

// --- module entry --------------------------------------------------------------

TEST_F(TraceTest, ModuleEntryRegistersTracesAndUnregisters) {
    Enable(TRACE_LEVEL_INFORMATION, TRACE_FLAG_ADAPTER);
    Attach();
    EXPECT_EQ(pt::TraceRegisterCalls(), 1);
    EXPECT_TRUE(pt::IsTraceProviderRegistered(AdapterTraceControlGuid));
    EXPECT_NE(g_AdapterTraceControlBlock.registrationHandle, 0u);

    // Thread notifications change nothing.
    EXPECT_TRUE(DllMain(nullptr, DLL_THREAD_ATTACH, nullptr));
    EXPECT_TRUE(DllMain(nullptr, DLL_THREAD_DETACH, nullptr));
    EXPECT_EQ(pt::TraceRegisterCalls(), 1);

    EXPECT_TRUE(DllMain(nullptr, DLL_PROCESS_DETACH, nullptr));
    EXPECT_EQ(pt::TraceUnregisterCalls(), 1);
    EXPECT_FALSE(pt::IsTraceProviderRegistered(AdapterTraceControlGuid));
    EXPECT_EQ(g_AdapterTraceControlBlock.registrationHandle, 0u);

    // A late statement from the framework, and a second detach, do nothing.
    int evaluated = 0;
    MOC_TRACE_ERROR(kTestGuid, 12, "touched %d", Touch(&evaluated));
    EXPECT_EQ(evaluated, 0);
    EXPECT_TRUE(DllMain(nullptr, DLL_PROCESS_DETACH, nullptr));
    EXPECT_EQ(pt::TraceUnregisterCalls(), 1);

    auto traces = pt::CapturedTraces();
    ASSERT_EQ(traces.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(traces[i].guid, kTraceGuidModuleEntry);
        EXPECT_EQ(traces[i].number, static_cast<USHORT>(10 + i));
        EXPECT_TRUE(traces[i].args.empty());
    }
}

TEST_F(TraceTest, FailedRegistrationStaysSilentAndIsNotUnregistered) {
    pt::FailNextTraceRegistration(ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_TRUE(DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr));
    EXPECT_EQ(g_AdapterTraceControlBlock.registrationHandle, 0u);
    Enable(TRACE_LEVEL_VERBOSE, 0xFFFFFFFF);

    int evaluated = 0;
    MOC_TRACE_ERROR(kTestGuid, 12, "touched %d", Touch(&evaluated));
    EXPECT_EQ(evaluated, 0);

    EXPECT_TRUE(DllMain(nullptr, DLL_PROCESS_DETACH, nullptr));
    EXPECT_EQ(pt::TraceUnregisterCalls(), 0);
    EXPECT_TRUE(pt::CapturedTraces().empty());
}

} // namespace
