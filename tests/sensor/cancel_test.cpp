// FinishCapture and the private pass-through waiting on one thread while
// another thread cancels or completes their request; made deterministic by
// waiting until the waiter is blocked. Also run under ThreadSanitizer.
#include <functional>
#include <thread>
#include "sensor_fixture.h"

namespace {

using moc_test::Bytes;
using sensor_test::SensorFixture;

constexpr DWORD kBlockedTimeoutMs = 10000;

// Runs `call` on a thread of its own; the destructor makes sure the thread
// can end (it cancels what is still pending on the handle) and joins it.
class Waiter {
public:
    Waiter(HANDLE device, std::function<HRESULT()> call)
        : device_(device), thread_([this, call] { result_ = call(); }) {}
    ~Waiter() {
        if (thread_.joinable()) {
            CancelIoEx(device_, nullptr);
            thread_.join();
        }
    }
    bool Blocked() { return platform::test::WaitForIoWaiter(device_, kBlockedTimeoutMs); }
    HRESULT Result() {
        thread_.join();
        return result_;
    }

private:
    HANDLE device_;
    HRESULT result_ = S_OK;
    std::thread thread_;
};

TEST_F(SensorFixture, FinishWaitingOnAnotherThreadEndsWithWhatCompletesTheCapture) {
    struct Case {
        const char* name;
        std::function<void()> plan;     // before the capture starts
        std::function<void()> complete; // while FinishCapture waits
        HRESULT result;
        size_t exported;
    } cases[] = {
        {"cancelled", [] {}, [&] { EXPECT_EQ(table->Cancel(&pipeline), S_OK); }, WINBIO_E_CANCELED,
         0},
        {"finger comes", [] {}, [&] { sensor->PresentFinger(Finger()); }, S_OK, 141},
        {"short reply comes", [&] { sensor->ReplyShort(IOCTL_BIOMETRIC_CAPTURE_DATA, 100); },
         [&] { sensor->PresentFinger(Finger()); }, WINBIO_E_DEVICE_FAILURE, 0},
        {"failure comes",
         [&] { sensor->FailNext(IOCTL_BIOMETRIC_CAPTURE_DATA, ERROR_GEN_FAILURE); },
         [&] { sensor->PresentFinger(Finger()); }, WINBIO_E_DEVICE_FAILURE, 0},
        {"device gone", [] {},
         [&] { sensor->CompletePending(IOCTL_BIOMETRIC_CAPTURE_DATA, ERROR_DEVICE_NOT_AVAILABLE); },
         static_cast<HRESULT>(0x800710DFu), 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.plan();
        ASSERT_EQ(Start(), S_OK);
        WINBIO_REJECT_DETAIL reject = 0xEEEE;
        Waiter waiter(pipeline.SensorHandle,
                      [&] { return table->FinishCapture(&pipeline, &reject); });
        ASSERT_TRUE(waiter.Blocked());
        c.complete();
        EXPECT_EQ(waiter.Result(), c.result);
        EXPECT_EQ(reject, 0u);
        EXPECT_EQ(ExportedBytes().size(), c.exported);
        // A flag the cancel left behind never turns the next capture into a
        // cancellation. (A failure leaves its finger for this capture.)
        if (sensor->QueuedPresentations() == 0) {
            sensor->PresentFinger(Finger());
        }
        EXPECT_EQ(Start(), S_OK);
        EXPECT_EQ(Finish(), S_OK);
        EXPECT_EQ(sensor->QueuedPresentations(), 0u);
    }
}

// A cancel from another thread while StartCapture asks the engine for its
// format finds no request on the handle yet; it is kept all the same, and
// the capture ends cancelled without sending anything, whether or not the
// finger is already there.
TEST_F(SensorFixture, CancelWhileTheCaptureIsSetUpEndsIt) {
    for (bool fingerThere : {true, false}) {
        SCOPED_TRACE(fingerThere ? "finger on the sensor" : "no finger yet");
        // A fresh attach, so that the capture asks for the format again.
        ASSERT_EQ(table->Detach(&pipeline), S_OK);
        ASSERT_EQ(table->Attach(&pipeline), S_OK);
        sensor->ClearLog();
        if (fingerThere) {
            sensor->PresentFinger(Finger());
        }
        HRESULT cancelled = E_FAIL;
        engine.duringQuery = [&] {
            std::thread canceller([&] { cancelled = table->Cancel(&pipeline); });
            canceller.join();
        };
        ASSERT_EQ(Start(), WINBIO_E_CANCELED);
        engine.duringQuery = nullptr;
        EXPECT_EQ(cancelled, S_OK);
        EXPECT_EQ(sensor->CountOf(IOCTL_BIOMETRIC_CAPTURE_DATA), 0u);
        EXPECT_EQ(Finish(), WINBIO_E_NO_CAPTURE_DATA);
        // Used up by that start: the next capture takes the finger.
        if (!fingerThere) {
            sensor->PresentFinger(Finger());
        }
        EXPECT_EQ(Start(), S_OK);
        EXPECT_EQ(Finish(), S_OK);
        EXPECT_EQ(sensor->QueuedPresentations(), 0u);
    }
}

TEST_F(SensorFixture, PassThroughWaitsForItsPendingRequest) {
    sensor->SetSensorPrivateData(moc_test::Pattern(32, 0x40));
    sensor->PendNext(IOCTL_MOC_SENSOR_PRIVATE_GET);
    BYTE send[4] = {1, 2, 3, 4};
    BYTE receive[32] = {};
    SIZE_T received = 99;
    ULONG status = 99;
    SetLastError(ERROR_OPERATION_ABORTED);
    Waiter waiter(pipeline.SensorHandle, [&] {
        return table->ControlUnitPrivileged(&pipeline, IOCTL_MOC_SENSOR_PRIVATE_GET, send,
                                            sizeof(send), receive, sizeof(receive), &received,
                                            &status);
    });
    ASSERT_TRUE(waiter.Blocked());
    EXPECT_TRUE(sensor->CompletePending(IOCTL_MOC_SENSOR_PRIVATE_GET));
    EXPECT_EQ(waiter.Result(), S_OK);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(received, 32u);
    EXPECT_EQ(moc_test::BytesOf(receive, 32), moc_test::Pattern(32, 0x40));
    const auto log = Requests(IOCTL_MOC_SENSOR_PRIVATE_GET);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_TRUE(log[0].overlapped);
    EXPECT_EQ(log[0].input, (Bytes{1, 2, 3, 4}));

    // Cancelled while it waits: the abort is its outcome.
    sensor->PendNext(IOCTL_MOC_SENSOR_PRIVATE_GET);
    Waiter cancelled(pipeline.SensorHandle, [&] {
        return table->ControlUnitPrivileged(&pipeline, IOCTL_MOC_SENSOR_PRIVATE_GET, send,
                                            sizeof(send), receive, sizeof(receive), &received,
                                            &status);
    });
    ASSERT_TRUE(cancelled.Blocked());
    EXPECT_EQ(table->Cancel(&pipeline), S_OK);
    EXPECT_EQ(cancelled.Result(), WINBIO_E_CANCELED);
    EXPECT_EQ(status, static_cast<ULONG>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(received, 0u);
}

} // namespace
