// FinishCapture and the private pass-through waiting on one thread while
// another thread cancels or completes their request, and StartCapture met by
// another thread at each moment of its set-up; made deterministic by waiting
// until the waiter is blocked, or by stopping the start at its moment. Also
// run under ThreadSanitizer.
#include <atomic>
#include <functional>
#include <thread>
#include "common/trace_provider.h"
#include "sensor_fixture.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved);

namespace {

using moc_test::Bytes;
using sensor_test::SensorFixture;
using sensor_test::TestEngine;

constexpr DWORD kBlockedTimeoutMs = 10000;
// The message number of StartCapture's entry statement.
constexpr USHORT kStartEntryMessage = 49;

enum class Moment { Entry, FormatQuery, Sending };

// Runs an act on a thread of its own, once, when the start under way reaches
// its moment: its entry statement (the adapter's provider traces to a session
// for that), its query of the engine's format, or its capture request on the
// way out; the start waits for the act.
class AtMomentOfStart {
public:
    explicit AtMomentOfStart(TestEngine& engine) : engine_(engine) {
        EXPECT_TRUE(DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr));
        platform::test::EnableTraceSession(AdapterTraceControlGuid, TRACE_LEVEL_INFORMATION,
                                           TRACE_FLAG_ADAPTER);
        platform::test::SetTraceHook([this](const platform::test::TraceStatement& statement) {
            if (statement.guid == kTraceGuidSensorAdapter &&
                statement.number == kStartEntryMessage) {
                Reached(Moment::Entry);
            }
        });
        engine_.duringQuery = [this] { Reached(Moment::FormatQuery); };
        platform::test::SetDeviceIoControlHook([this](HANDLE, DWORD code) {
            if (code == IOCTL_BIOMETRIC_CAPTURE_DATA) {
                Reached(Moment::Sending);
            }
        });
    }
    ~AtMomentOfStart() {
        platform::test::SetTraceHook(nullptr);
        platform::test::SetDeviceIoControlHook(nullptr);
        engine_.duringQuery = nullptr;
        DllMain(nullptr, DLL_PROCESS_DETACH, nullptr);
    }
    void Arm(Moment moment, std::function<void()> act) {
        moment_ = moment;
        act_ = std::move(act);
        armed_ = true;
    }
    bool Done() const { return !armed_; }

private:
    void Reached(Moment moment) {
        if (moment == moment_ && armed_.exchange(false)) {
            std::thread(act_).join();
        }
    }

    TestEngine& engine_;
    Moment moment_ = Moment::Entry;
    std::function<void()> act_;
    std::atomic<bool> armed_{false};
};

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

// A cancel from another thread at any moment of StartCapture ends the
// capture cancelled, whether or not the finger is already there: at its
// entry; while it asks the engine for its format, with no request on the
// handle yet (nothing is sent); and as the request goes out, before CancelIoEx
// can find it (the capture cancels its own request, or ends cancelled when the
// request fails at once).
TEST_F(SensorFixture, CancelWhileTheCaptureIsSetUpEndsIt) {
    struct Case {
        const char* name;
        Moment moment;
        std::function<void()> plan; // before the capture starts
        HRESULT start;
        size_t sent; // capture requests that went out
        HRESULT finish;
    } cases[] = {
        {"at the entry, finger on the sensor", Moment::Entry,
         [&] { sensor->PresentFinger(Finger()); }, WINBIO_E_CANCELED, 0, WINBIO_E_NO_CAPTURE_DATA},
        {"at the entry, no finger yet", Moment::Entry, [] {}, WINBIO_E_CANCELED, 0,
         WINBIO_E_NO_CAPTURE_DATA},
        {"at the format query, finger on the sensor", Moment::FormatQuery,
         [&] { sensor->PresentFinger(Finger()); }, WINBIO_E_CANCELED, 0, WINBIO_E_NO_CAPTURE_DATA},
        {"at the format query, no finger yet", Moment::FormatQuery, [] {}, WINBIO_E_CANCELED, 0,
         WINBIO_E_NO_CAPTURE_DATA},
        {"as the request goes out, finger on the sensor", Moment::Sending,
         [&] { sensor->PresentFinger(Finger()); }, S_OK, 1, WINBIO_E_CANCELED},
        {"as the request goes out, no finger yet", Moment::Sending, [] {}, S_OK, 1,
         WINBIO_E_CANCELED},
        {"as the request goes out, which fails at once", Moment::Sending,
         [&] {
             sensor->FailNext(IOCTL_BIOMETRIC_CAPTURE_DATA, ERROR_GEN_FAILURE);
             sensor->PresentFinger(Finger());
         },
         WINBIO_E_CANCELED, 1, WINBIO_E_NO_CAPTURE_DATA},
    };
    AtMomentOfStart at(engine);
    HRESULT cancelled = E_FAIL;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // A fresh attach, so that the capture asks for the format again.
        ASSERT_EQ(table->Detach(&pipeline), S_OK);
        ASSERT_EQ(table->Attach(&pipeline), S_OK);
        sensor->ClearLog();
        c.plan();
        cancelled = E_FAIL;
        at.Arm(c.moment, [&] { cancelled = table->Cancel(&pipeline); });
        ASSERT_EQ(Start(), c.start);
        EXPECT_TRUE(at.Done());
        EXPECT_EQ(cancelled, S_OK);
        EXPECT_EQ(sensor->CountOf(IOCTL_BIOMETRIC_CAPTURE_DATA), c.sent);
        // No capture is left waiting for a finger.
        ASSERT_EQ(platform::test::PendingIoCount(pipeline.SensorHandle), 0u);
        EXPECT_EQ(Finish(), c.finish);
        EXPECT_TRUE(ExportedBytes().empty());
        // The cancel is used up by that capture: the next one takes the finger.
        if (sensor->QueuedPresentations() == 0) {
            sensor->PresentFinger(Finger());
        }
        EXPECT_EQ(Start(), S_OK);
        EXPECT_EQ(Finish(), S_OK);
        EXPECT_EQ(sensor->QueuedPresentations(), 0u);
    }
}

// One capture at a time, also while the first is still being set up: a start
// from another thread at its entry is refused and leaves the first whole.
TEST_F(SensorFixture, AStartWhileAnotherIsSetUpIsRefused) {
    AtMomentOfStart at(engine);
    HRESULT second = E_FAIL;
    LPOVERLAPPED secondOverlapped = reinterpret_cast<LPOVERLAPPED>(1);
    at.Arm(Moment::Entry, [&] {
        second = table->StartCapture(&pipeline, WINBIO_PURPOSE_VERIFY, &secondOverlapped);
    });
    sensor->PresentFinger(Finger());
    ASSERT_EQ(Start(), S_OK);
    EXPECT_EQ(second, WINBIO_E_DEVICE_BUSY);
    EXPECT_EQ(secondOverlapped, nullptr);
    EXPECT_EQ(sensor->CountOf(IOCTL_BIOMETRIC_CAPTURE_DATA), 1u);
    EXPECT_EQ(Finish(), S_OK);
    EXPECT_EQ(ExportedBytes().size(), 141u);
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
