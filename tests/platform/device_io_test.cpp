#include <gtest/gtest.h>
#include <windows.h>
#include <array>
#include <atomic>
#include <mutex>
#include <thread>
#include "platform/test.h"

namespace {

using platform::test::IoRequest;

// Answers each request with the scripted error and bytes, or keeps it pending.
class ScriptedDriver : public platform::test::DeviceDriver {
public:
    bool pend = false;
    DWORD error = ERROR_SUCCESS;
    std::vector<uint8_t> reply;

    void IoControl(const std::shared_ptr<IoRequest>& request) override {
        std::lock_guard<std::mutex> lock(mutex_);
        seen_.push_back(request);
        if (!pend)
            request->Complete(error, reply);
    }
    std::shared_ptr<IoRequest> Last() {
        std::lock_guard<std::mutex> lock(mutex_);
        return seen_.empty() ? nullptr : seen_.back();
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return seen_.size();
    }

private:
    std::mutex mutex_;
    std::vector<std::shared_ptr<IoRequest>> seen_;
};

constexpr DWORD kCode = CTL_CODE(FILE_DEVICE_BIOMETRIC, 0xC03, METHOD_BUFFERED, FILE_ANY_ACCESS);

class DeviceIoTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::test::ResetAll();
        driver = std::make_shared<ScriptedDriver>();
        device = platform::test::OpenDevice(driver);
        ASSERT_NE(device, INVALID_HANDLE_VALUE);
        event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ASSERT_NE(event, nullptr);
        overlapped.hEvent = event;
        out.fill(0xAA);
    }
    void TearDown() override { platform::test::ResetAll(); }

    BOOL Send(LPOVERLAPPED ov, DWORD* bytes) {
        uint8_t in[3] = {1, 2, 3};
        return DeviceIoControl(device, kCode, in, sizeof(in), out.data(), 4, bytes, ov);
    }
    bool EventSignalled() { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

    std::shared_ptr<ScriptedDriver> driver;
    HANDLE device = nullptr;
    HANDLE event = nullptr;
    OVERLAPPED overlapped{};
    std::array<uint8_t, 8> out{};
};

TEST(DeviceIoCodes, CtlCodeLayout) {
    EXPECT_EQ(CTL_CODE(FILE_DEVICE_BIOMETRIC, 0x001, METHOD_BUFFERED, FILE_ANY_ACCESS), 0x440004u);
    EXPECT_EQ(CTL_CODE(FILE_DEVICE_BIOMETRIC, 0x00B, METHOD_BUFFERED, FILE_ANY_ACCESS), 0x44002Cu);
    EXPECT_EQ(CTL_CODE(FILE_DEVICE_BIOMETRIC, 0xC29, METHOD_BUFFERED, FILE_ANY_ACCESS), 0x4430A4u);
    EXPECT_EQ(CTL_CODE(0x22, 0x800, METHOD_NEITHER, FILE_WRITE_ACCESS), 0x22A003u);
}

// Requests the driver answers before returning, synchronous and overlapped alike.
TEST_F(DeviceIoTest, ImmediateAnswers) {
    struct Case {
        const char* name;
        bool overlapped;
        DWORD error;
        std::vector<uint8_t> reply;
        DWORD bytes; // reply bytes that fit the 4-byte output capacity
    } cases[] = {
        {"sync success", false, ERROR_SUCCESS, {1, 2}, 2},
        {"sync success truncated to capacity", false, ERROR_SUCCESS, {1, 2, 3, 4, 5, 6}, 4},
        {"sync failure", false, ERROR_GEN_FAILURE, {}, 0},
        {"overlapped success", true, ERROR_SUCCESS, {9, 8, 7}, 3},
        {"overlapped failure", true, ERROR_NOT_READY, {}, 0},
        {"overlapped failure beyond 16 bits", true, 0x12345u, {}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        out.fill(0xAA);
        overlapped = OVERLAPPED{};
        overlapped.hEvent = event;
        driver->error = c.error;
        driver->reply = c.reply;
        DWORD bytes = 0xFFFF;
        SetLastError(0x77);
        BOOL ok = Send(c.overlapped ? &overlapped : nullptr, &bytes);

        EXPECT_EQ(ok, c.error == ERROR_SUCCESS ? TRUE : FALSE);
        EXPECT_EQ(GetLastError(), c.error == ERROR_SUCCESS ? 0x77u : c.error);
        EXPECT_EQ(bytes, c.bytes);
        for (DWORD i = 0; i < out.size(); ++i)
            EXPECT_EQ(out[i], i < c.bytes ? c.reply[i] : 0xAA) << "byte " << i;

        auto request = driver->Last();
        ASSERT_NE(request, nullptr);
        EXPECT_EQ(request->Code(), kCode);
        EXPECT_EQ(request->Input(), (std::vector<uint8_t>{1, 2, 3}));
        EXPECT_EQ(request->OutputCapacity(), 4u);
        EXPECT_EQ(request->Overlapped(), c.overlapped);
        EXPECT_TRUE(request->Completed());

        if (c.overlapped) {
            EXPECT_TRUE(HasOverlappedIoCompleted(&overlapped));
            EXPECT_TRUE(EventSignalled());
            DWORD later = 0xFFFF;
            EXPECT_EQ(GetOverlappedResult(device, &overlapped, &later, FALSE), ok);
            EXPECT_EQ(later, c.bytes);
            if (!ok) {
                EXPECT_EQ(GetLastError(), c.error);
            }
        }
    }
    EXPECT_EQ(platform::test::PendingIoCount(device), 0u);
}

TEST_F(DeviceIoTest, PendingRequestWritesOutputOnlyWhenCompleted) {
    SetEvent(event); // the call must reset it
    driver->pend = true;
    DWORD bytes = 0xFFFF;
    EXPECT_FALSE(Send(&overlapped, &bytes));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(overlapped.Internal, STATUS_PENDING);
    EXPECT_FALSE(EventSignalled());
    EXPECT_EQ(platform::test::PendingIoCount(device), 1u);

    DWORD transferred = 0xFFFF;
    EXPECT_FALSE(GetOverlappedResult(device, &overlapped, &transferred, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
    EXPECT_EQ(out[0], 0xAA);

    auto request = driver->Last();
    EXPECT_TRUE(request->Complete(ERROR_SUCCESS, {5, 6, 7}));
    EXPECT_EQ(out[0], 5);
    EXPECT_EQ(out[2], 7);
    EXPECT_EQ(out[3], 0xAA);
    EXPECT_TRUE(EventSignalled());
    EXPECT_TRUE(GetOverlappedResult(device, &overlapped, &transferred, TRUE));
    EXPECT_EQ(transferred, 3u);

    // A second completion, as from a late driver thread, changes nothing.
    EXPECT_FALSE(request->Complete(ERROR_GEN_FAILURE, {1, 1, 1, 1}));
    EXPECT_EQ(out[0], 5);
    EXPECT_TRUE(GetOverlappedResult(device, &overlapped, &transferred, FALSE));
}

// A capture waits on one thread while the other completes or cancels it; WaitForIoWaiter
// makes the second thread act only once the first is blocked.
TEST_F(DeviceIoTest, WaiterOnAnotherThreadSeesCompletionOrCancel) {
    enum Wait { kGetOverlappedResult, kWaitForEvent, kSynchronous };
    struct Case {
        const char* name;
        Wait wait;
        bool cancel;
    } cases[] = {
        {"GetOverlappedResult, completed", kGetOverlappedResult, false},
        {"GetOverlappedResult, cancelled", kGetOverlappedResult, true},
        {"event wait, completed", kWaitForEvent, false},
        {"event wait, cancelled", kWaitForEvent, true},
        {"synchronous, completed", kSynchronous, false},
        {"synchronous, cancelled", kSynchronous, true},
    };
    driver->pend = true;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        out.fill(0xAA);
        size_t before = driver->Count();
        BOOL result = -1;
        DWORD error = 0;
        DWORD bytes = 0xFFFF;
        if (c.wait != kSynchronous) {
            ASSERT_FALSE(Send(&overlapped, nullptr));
            ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
        }
        std::thread waiter([&] {
            if (c.wait == kSynchronous) {
                result = Send(nullptr, &bytes);
            } else {
                if (c.wait == kWaitForEvent) {
                    EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
                }
                result = GetOverlappedResult(device, &overlapped, &bytes, TRUE);
            }
            error = GetLastError();
        });
        ASSERT_TRUE(platform::test::WaitForIoWaiter(device, 5000));
        ASSERT_EQ(driver->Count(), before + 1);
        auto request = driver->Last();
        if (c.cancel)
            EXPECT_TRUE(CancelIoEx(device, nullptr));
        else
            EXPECT_TRUE(request->Complete(ERROR_SUCCESS, {4, 3, 2, 1}));
        waiter.join();

        if (c.cancel) {
            EXPECT_FALSE(result);
            EXPECT_EQ(error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
            EXPECT_EQ(request->Error(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
            // The driver's answer after the cancel must not reach the freed-up buffer.
            EXPECT_FALSE(request->Complete(ERROR_SUCCESS, {4, 3, 2, 1}));
            EXPECT_EQ(out[0], 0xAA);
        } else {
            EXPECT_TRUE(result);
            EXPECT_EQ(bytes, 4u);
            EXPECT_EQ(out[0], 4);
        }
        EXPECT_EQ(platform::test::PendingIoCount(device), 0u);
    }
}

TEST_F(DeviceIoTest, CancelChoosesRequests) {
    driver->pend = true;
    OVERLAPPED second{};
    ASSERT_FALSE(Send(&overlapped, nullptr));
    ASSERT_FALSE(Send(&second, nullptr));

    // Only the request of the given OVERLAPPED.
    EXPECT_TRUE(CancelIoEx(device, &second));
    DWORD bytes = 0;
    EXPECT_FALSE(GetOverlappedResult(device, &second, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_FALSE(GetOverlappedResult(device, &overlapped, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
    EXPECT_FALSE(CancelIoEx(device, &second));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));

    // CancelIo reaches only the calling thread's requests.
    std::thread([&] { EXPECT_TRUE(CancelIo(device)); }).join();
    EXPECT_EQ(platform::test::PendingIoCount(device), 1u);
    EXPECT_TRUE(CancelIo(device));
    EXPECT_EQ(platform::test::PendingIoCount(device), 0u);
    EXPECT_FALSE(CancelIoEx(device, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
}

TEST_F(DeviceIoTest, ClosingTheDeviceCancelsWhatIsPending) {
    driver->pend = true;
    ASSERT_FALSE(Send(&overlapped, nullptr));
    auto request = driver->Last();
    EXPECT_TRUE(CloseHandle(device));
    EXPECT_TRUE(request->Completed());
    EXPECT_TRUE(EventSignalled());
    EXPECT_TRUE(HasOverlappedIoCompleted(&overlapped));
    EXPECT_FALSE(request->Complete(ERROR_SUCCESS, {1}));
    EXPECT_EQ(out[0], 0xAA);
}

TEST_F(DeviceIoTest, BadHandlesAndBuffersFailWithoutReachingTheDriver) {
    HANDLE closed = platform::test::OpenDevice(driver);
    ASSERT_TRUE(CloseHandle(closed));
    struct Case {
        const char* name;
        HANDLE handle;
    } cases[] = {
        {"null", nullptr},
        {"INVALID_HANDLE_VALUE", INVALID_HANDLE_VALUE},
        {"closed device", closed},
        {"event", event},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DWORD bytes = 0;
        SetLastError(0);
        EXPECT_FALSE(DeviceIoControl(c.handle, kCode, nullptr, 0, nullptr, 0, &bytes, nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        SetLastError(0);
        EXPECT_FALSE(GetOverlappedResult(c.handle, &overlapped, &bytes, FALSE));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        SetLastError(0);
        EXPECT_FALSE(CancelIoEx(c.handle, nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        EXPECT_FALSE(platform::test::WaitForIoWaiter(c.handle, 0));
    }
    EXPECT_EQ(WaitForSingleObject(device, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(SetEvent(device));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    // An OVERLAPPED whose event is not an event.
    OVERLAPPED wrongEvent{};
    wrongEvent.hEvent = device;
    EXPECT_FALSE(Send(&wrongEvent, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    // Buffers missing behind non-zero sizes.
    DWORD bytes = 0;
    EXPECT_FALSE(DeviceIoControl(device, kCode, nullptr, 4, nullptr, 0, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOACCESS));
    EXPECT_FALSE(DeviceIoControl(device, kCode, nullptr, 0, nullptr, 4, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOACCESS));
    // A synchronous call without a byte count, however good its buffers.
    EXPECT_FALSE(Send(nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(driver->Count(), 0u);
    // Overlapped, the count may be left out: GetOverlappedResult gives it.
    EXPECT_TRUE(Send(&overlapped, nullptr));
    EXPECT_EQ(driver->Count(), 1u);
}

TEST_F(DeviceIoTest, EventsResetManuallyOrAutomatically) {
    HANDLE automatic = CreateEventA(nullptr, FALSE, TRUE, "ignored");
    ASSERT_NE(automatic, nullptr);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(automatic, 10), WAIT_TIMEOUT);

    EXPECT_TRUE(SetEvent(event));
    EXPECT_TRUE(EventSignalled());
    EXPECT_TRUE(EventSignalled());
    EXPECT_TRUE(ResetEvent(event));
    EXPECT_FALSE(EventSignalled());

    platform::test::FailNextCreateEvent(ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(CreateEventW(nullptr, TRUE, FALSE, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    HANDLE next = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_NE(next, nullptr);
    EXPECT_TRUE(CloseHandle(next));
    EXPECT_TRUE(CloseHandle(automatic));
}

} // namespace
