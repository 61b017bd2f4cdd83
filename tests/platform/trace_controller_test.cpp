// What the stand-in's trace controller and heap promise beyond what the
// adapter library's own tests show.
#include <stdexcept>
#include <vector>
#include <gtest/gtest.h>
#include <platform/test.h>

namespace {

namespace pt = platform::test;

constexpr GUID kControl = {
    0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};

struct Seen {
    std::vector<ULONG> requests;
    TRACEHANDLE logger = 0;
    UCHAR level = 0;
    ULONG flags = 0;
    ULONG size = 0;
};

ULONG WINAPI Record(WMIDPREQUESTCODE code, PVOID context, ULONG* size, PVOID buffer) {
    auto* seen = static_cast<Seen*>(context);
    seen->requests.push_back(code);
    seen->size = *size;
    seen->logger = GetTraceLoggerHandle(buffer);
    seen->level = GetTraceEnableLevel(seen->logger);
    seen->flags = GetTraceEnableFlags(seen->logger);
    return code == WMI_ENABLE_COLLECTION ? 1234 : ERROR_SUCCESS;
}

class TraceControllerTest : public ::testing::Test {
protected:
    void SetUp() override { pt::ResetAll(); }
    void TearDown() override { pt::ResetAll(); }

    ULONG Register(Seen* seen, TRACEHANDLE* handle) {
        TRACE_GUID_REGISTRATION reg = {&kControl, nullptr};
        return RegisterTraceGuidsW(Record, seen, &kControl, 1, &reg, nullptr, nullptr, handle);
    }
};

TEST_F(TraceControllerTest, SessionEnabledBeforeRegistrationReachesCallbackInside) {
    pt::EnableTraceSession(kControl, 4, 0x5);
    Seen seen;
    TRACEHANDLE handle = 0;
    ASSERT_EQ(Register(&seen, &handle), static_cast<ULONG>(ERROR_SUCCESS));
    EXPECT_NE(handle, 0u);
    EXPECT_EQ(seen.requests, std::vector<ULONG>({WMI_ENABLE_EVENTS}));
    EXPECT_EQ(seen.size, sizeof(WNODE_HEADER));
    EXPECT_EQ(seen.logger, pt::TraceSessionLogger(kControl));
    EXPECT_NE(seen.logger, handle) << "logger and registration handles never coincide";
    EXPECT_EQ(seen.level, 4);
    EXPECT_EQ(seen.flags, 0x5u);

    EXPECT_EQ(pt::SendTraceRequest(kControl, WMI_ENABLE_COLLECTION), 1234u);
    pt::DisableTraceSession(kControl);
    EXPECT_EQ(seen.requests,
              std::vector<ULONG>({WMI_ENABLE_EVENTS, WMI_ENABLE_COLLECTION, WMI_DISABLE_EVENTS}));
    // Once the session is gone its logger names nothing.
    EXPECT_EQ(seen.level, 0);
    EXPECT_EQ(seen.flags, 0u);

    EXPECT_EQ(UnregisterTraceGuids(handle), static_cast<ULONG>(ERROR_SUCCESS));
    EXPECT_EQ(UnregisterTraceGuids(handle), static_cast<ULONG>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(pt::SendTraceRequest(kControl, WMI_ENABLE_COLLECTION),
              static_cast<ULONG>(ERROR_NOT_FOUND));
}

TEST_F(TraceControllerTest, RegistrationFaultsAndBadArguments) {
    Seen seen;
    TRACEHANDLE handle = 77;
    pt::FailNextTraceRegistration(ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(Register(&seen, &handle), static_cast<ULONG>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(handle, 77u) << "a failed registration writes no handle";
    EXPECT_FALSE(pt::IsTraceProviderRegistered(kControl));
    EXPECT_EQ(RegisterTraceGuidsW(nullptr, &seen, &kControl, 0, nullptr, nullptr, nullptr, &handle),
              static_cast<ULONG>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(Register(&seen, nullptr), static_cast<ULONG>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(pt::TraceRegisterCalls(), 3);
    EXPECT_EQ(GetTraceLoggerHandle(nullptr), static_cast<TRACEHANDLE>(-1));
}

TEST_F(TraceControllerTest, MessagesReachOnlyALiveSessionsLogger) {
    pt::EnableTraceSession(kControl, 4, 1);
    const TRACEHANDLE logger = pt::TraceSessionLogger(kControl);
    const GUID message = kControl;
    DWORD value = 9;
    EXPECT_EQ(TraceMessage(logger, 0x2B, &message, 10, &value, sizeof(value), nullptr),
              static_cast<ULONG>(ERROR_SUCCESS));
    EXPECT_EQ(TraceMessage(logger + 1, 0x2B, &message, 11, nullptr),
              static_cast<ULONG>(ERROR_INVALID_HANDLE));
    pt::DisableTraceSession(kControl);
    EXPECT_EQ(TraceMessage(logger, 0x2B, &message, 12, nullptr),
              static_cast<ULONG>(ERROR_INVALID_HANDLE));
    auto traces = pt::CapturedTraces();
    ASSERT_EQ(traces.size(), 1u);
    EXPECT_EQ(traces[0].number, 10);
    EXPECT_EQ(pt::TraceArgU32(traces[0].args.at(0)), 9u);
}

TEST(TraceDecoderTest, RejectBytesThatDoNotFitTheType) {
    using Bytes = std::vector<uint8_t>;
    EXPECT_THROW(pt::TraceArgU32(Bytes(3)), std::invalid_argument);
    EXPECT_THROW(pt::TraceArgU32(Bytes(8)), std::invalid_argument);
    EXPECT_THROW(pt::TraceArgU64(Bytes(4)), std::invalid_argument);
    EXPECT_THROW(pt::TraceArgDouble(Bytes(4)), std::invalid_argument);
    EXPECT_THROW(pt::TraceArgString(Bytes()), std::invalid_argument);
    EXPECT_THROW(pt::TraceArgString(Bytes({'a', 'b'})), std::invalid_argument);       // no NUL
    EXPECT_THROW(pt::TraceArgString(Bytes({'a', 0, 'b', 0})), std::invalid_argument); // early NUL
    EXPECT_THROW(pt::TraceArgWString(Bytes({'a', 0, 0})), std::invalid_argument);     // odd size
    EXPECT_THROW(pt::TraceArgWString(Bytes({'a', 0})), std::invalid_argument); // no terminator
    EXPECT_EQ(pt::TraceArgString(Bytes({'o', 'k', 0})), "ok");
    EXPECT_EQ(pt::TraceArgWString(Bytes({'o', 0, 'k', 0, 0, 0})), u"ok");
}

TEST(ProcessHeapTest, FaultsCountsAndForeignPointers) {
    pt::ResetAll();
    HANDLE heap = GetProcessHeap();
    const size_t before = pt::LiveHeapBlocks();
    pt::FailNextHeapAllocations(2);
    EXPECT_EQ(HeapAlloc(heap, 0, 8), nullptr);
    EXPECT_EQ(HeapAlloc(heap, HEAP_ZERO_MEMORY, 8), nullptr);
    void* block = HeapAlloc(heap, 0, 8);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(pt::LiveHeapBlocks(), before + 1);

    int local = 0;
    EXPECT_FALSE(HeapFree(heap, 0, &local)) << "never handed out";
    EXPECT_TRUE(HeapFree(heap, 0, block));
    EXPECT_FALSE(HeapFree(heap, 0, block)) << "double free is refused";
    EXPECT_TRUE(HeapFree(heap, 0, nullptr));
    EXPECT_EQ(pt::LiveHeapBlocks(), before);
}

} // namespace
