#include <thread>
#include "engine_fixture.h"

namespace engine_test {
namespace {

constexpr ULONG kEngineCodes[] = {IOCTL_MOC_SET_MATCH_DATA_LENGTH, IOCTL_MOC_READ_MATCH_DATA,
                                  IOCTL_MOC_READ_MATCH_DATA_EX, IOCTL_MOC_PRIVATE_COMMAND_1,
                                  IOCTL_MOC_PRIVATE_COMMAND_2};

class ControlTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        Attach();
    }

    struct Call {
        HRESULT hr;
        Bytes received; // the whole receive buffer after the call
        SIZE_T dataSize;
        ULONG status;
    };
    Call Privileged(ULONG code, Bytes send, size_t receiveSize, bool privileged = true) {
        Call c = {};
        // Exactly the sizes given, so that a write past them shows.
        std::unique_ptr<BYTE[]> in(new BYTE[send.size() + 1]);
        if (!send.empty()) {
            std::memcpy(in.get(), send.data(), send.size());
        }
        std::unique_ptr<BYTE[]> out(new BYTE[receiveSize + 1]);
        std::memset(out.get(), 0xEE, receiveSize + 1);
        c.dataSize = 0xDDDD;
        c.status = 0xDDDD;
        SetLastError(1234); // a stale error must not leak into the status
        auto slot = privileged ? engine->ControlUnitPrivileged : engine->ControlUnit;
        c.hr = slot(&pipeline, code, in.get(), send.size(), out.get(), receiveSize, &c.dataSize,
                    &c.status);
        c.received.assign(out.get(), out.get() + receiveSize);
        EXPECT_EQ(out[receiveSize], 0xEE) << "written past the receive buffer";
        return c;
    }
    Call SetLength(DWORD length) {
        return Privileged(IOCTL_MOC_SET_MATCH_DATA_LENGTH, moc_test::Le32(length), 4);
    }
};

TEST_F(ControlTest, UnprivilegedPathRecognisesTheCodesAndSendsNothing) {
    for (ULONG code : kEngineCodes) {
        SCOPED_TRACE(code);
        const Call c = Privileged(code, {1, 0, 0, 0}, 40, false);
        EXPECT_EQ(c.hr, S_OK);
        EXPECT_EQ(c.dataSize, 0u);
        EXPECT_EQ(c.status, 0u);
        EXPECT_EQ(c.received[0], 0);
    }
    EXPECT_TRUE(Requests().empty());
    // The sensor's own private code is not the engine's, on either path.
    EXPECT_EQ(Privileged(IOCTL_MOC_SENSOR_PRIVATE_GET, {1}, 32, false).hr, E_INVALIDARG);
    EXPECT_EQ(Privileged(IOCTL_MOC_SENSOR_PRIVATE_GET, {1}, 32).hr, E_INVALIDARG);
    EXPECT_TRUE(Requests().empty());
}

TEST_F(ControlTest, PassThroughOnTheContextsOverlappedRequest) {
    const Call c = Privileged(IOCTL_MOC_PRIVATE_COMMAND_1, {1, 2, 3}, 8);
    EXPECT_EQ(c.hr, S_OK);
    EXPECT_EQ(c.status, 0u);
    EXPECT_EQ(c.dataSize, 3u);
    EXPECT_EQ(Bytes(c.received.begin(), c.received.begin() + 3), (Bytes{1, 2, 3}));
    const auto log = Requests();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_TRUE(log[0].overlapped);
    EXPECT_EQ(log[0].input, (Bytes{1, 2, 3}));
    EXPECT_EQ(log[0].outputCapacity, 8u);

    sensor->FailNext(IOCTL_MOC_PRIVATE_COMMAND_2, ERROR_NOT_SUPPORTED);
    const Call failed = Privileged(IOCTL_MOC_PRIVATE_COMMAND_2, {4}, 8);
    EXPECT_EQ(failed.hr, WINBIO_E_DEVICE_FAILURE);
    EXPECT_EQ(failed.status, static_cast<ULONG>(ERROR_NOT_SUPPORTED));
    sensor->FailNext(IOCTL_MOC_PRIVATE_COMMAND_2, ERROR_CANCELLED);
    EXPECT_EQ(Privileged(IOCTL_MOC_PRIVATE_COMMAND_2, {4}, 8).hr, WINBIO_E_CANCELED);
}

// A pending request is waited for; the final count and status are reported.
TEST_F(ControlTest, PendingRequestIsWaitedFor) {
    for (bool fail : {false, true}) {
        SCOPED_TRACE(fail);
        sensor->PendNext(IOCTL_MOC_PRIVATE_COMMAND_1);
        std::thread driver([&] {
            ASSERT_TRUE(platform::test::WaitForIoWaiter(pipeline.SensorHandle, 5000));
            if (fail) {
                sensor->CompletePending(IOCTL_MOC_PRIVATE_COMMAND_1, ERROR_GEN_FAILURE);
            } else {
                sensor->CompletePending(IOCTL_MOC_PRIVATE_COMMAND_1, ERROR_SUCCESS, {9, 8});
            }
        });
        const Call c = Privileged(IOCTL_MOC_PRIVATE_COMMAND_1, {7}, 4);
        driver.join();
        EXPECT_EQ(c.hr, fail ? WINBIO_E_DEVICE_FAILURE : S_OK);
        EXPECT_EQ(c.status, fail ? static_cast<ULONG>(ERROR_GEN_FAILURE) : 0u);
        EXPECT_EQ(c.dataSize, fail ? 0u : 2u);
    }
}

TEST_F(ControlTest, MatchDataReadCarriesTheLastMatch) {
    MatchDetail detail;
    for (DWORD i = 0; i < sizeof(detail); ++i) {
        reinterpret_cast<BYTE*>(&detail)[i] = static_cast<BYTE>(0x20 + i);
    }
    sensor->SetMatchDetail(detail);
    Bytes data(20);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(0xB0 + i);
    }
    sensor->SetMatchData(data);
    ASSERT_EQ(SetLength(16).hr, S_OK);
    EXPECT_EQ(Context()->MatchDataLength, 16u);
    EXPECT_EQ(sensor->MatchDataLength(), 16u);

    sensor->Enroll(0, KeyOf(SidIdentity(0x30)), 2, 5);
    ASSERT_EQ(Accept(5), S_OK);
    ASSERT_EQ(Identify().hr, S_OK);
    for (ULONG code : {IOCTL_MOC_READ_MATCH_DATA, IOCTL_MOC_READ_MATCH_DATA_EX}) {
        SCOPED_TRACE(code);
        sensor->ClearLog();
        const Call c = Privileged(code, {0x55}, 30);
        ASSERT_EQ(c.hr, S_OK);
        EXPECT_EQ(c.status, 0u);
        ASSERT_EQ(Requests().size(), 1u);
        EXPECT_EQ(Requests()[0].outputCapacity, 21u);
        EXPECT_EQ(Requests()[0].input, Bytes{0x55});
        EXPECT_TRUE(Requests()[0].overlapped);
        const Bytes detailBytes = BytesOf(detail);
        const Bytes expected =
            moc_test::Concat({{0, 0}, Bytes(detailBytes.begin(), detailBytes.begin() + 8), data});
        EXPECT_EQ(c.received, expected);
        EXPECT_EQ(c.dataSize, 30u);
    }
}

TEST_F(ControlTest, MatchResultCodeFollowsTheLastIdentify) {
    sensor->Enroll(0, KeyOf(SidIdentity(0x30)), 2, 5);
    ASSERT_EQ(SetLength(0).hr, S_OK);
    auto resultCode = [&] { return Privileged(IOCTL_MOC_READ_MATCH_DATA, {0}, 14).received[1]; };
    EXPECT_EQ(resultCode(), 0); // fresh attach
    struct Case {
        const char* name;
        Finger finger;
        BYTE acceptStatus;
        bool failIdentify;
        BYTE code;
    } cases[] = {
        {"match", 5, 0, false, 0},
        {"no template", 6, 0, false, 11},
        {"bad capture", 5, MOC_STATUS_TOO_SKEWED, false, WINBIO_FP_TOO_SKEWED},
        {"identify request failed", 5, 0, true, 12},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Accept(c.finger, c.acceptStatus);
        if (c.failIdentify) {
            sensor->FailNext(IOCTL_MOC_IDENTIFY, 31);
        }
        Identify();
        EXPECT_EQ(resultCode(), c.code);
    }
}

// The reply is written whole whatever the driver answers, so what would not
// fit the caller's buffers is refused before anything is sent.
TEST_F(ControlTest, MatchDataRefusals) {
    struct Case {
        const char* name;
        DWORD length;
        ULONG code;
        Bytes send;
        size_t receive;
    } cases[] = {
        {"length from a short send buffer", 0, IOCTL_MOC_SET_MATCH_DATA_LENGTH, {16, 0, 0}, 4},
        {"empty send buffer", 0, IOCTL_MOC_SET_MATCH_DATA_LENGTH, {}, 4},
        {"reply one byte past the buffer", 16, IOCTL_MOC_READ_MATCH_DATA, {0}, 29},
        {"EX reply past the buffer", 16, IOCTL_MOC_READ_MATCH_DATA_EX, {0}, 29},
        {"empty receive buffer", 0, IOCTL_MOC_READ_MATCH_DATA, {0}, 0},
        {"length whose sum wraps 32 bits", 0xFFFFFFFCu, IOCTL_MOC_READ_MATCH_DATA, {0}, 64},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Context()->MatchDataLength = c.length;
        sensor->ClearLog();
        const Call r = Privileged(c.code, c.send, c.receive);
        EXPECT_EQ(r.hr, E_INVALIDARG);
        EXPECT_TRUE(Requests().empty());
        EXPECT_EQ(Context()->MatchDataLength, c.length);
        EXPECT_EQ(r.dataSize, 0u);
        EXPECT_EQ(r.status, 0u);
    }
    // The driver takes 32-bit sizes: a larger one is refused, never cut short.
    BYTE buffer[4] = {};
    SIZE_T dataSize = 0;
    ULONG status = 0;
    sensor->ClearLog();
    EXPECT_EQ(engine->ControlUnitPrivileged(&pipeline, IOCTL_MOC_PRIVATE_COMMAND_1, buffer,
                                            SIZE_T(1) << 32, buffer, 4, &dataSize, &status),
              E_INVALIDARG);
    EXPECT_EQ(engine->ControlUnitPrivileged(&pipeline, IOCTL_MOC_PRIVATE_COMMAND_2, buffer, 4,
                                            buffer, (SIZE_T(1) << 32) + 4, &dataSize, &status),
              E_INVALIDARG);
    EXPECT_TRUE(Requests().empty());
    // Exactly fitting is fine.
    Context()->MatchDataLength = 16;
    EXPECT_EQ(Privileged(IOCTL_MOC_READ_MATCH_DATA, {0}, 30).hr, S_OK);
}

// The length is kept before the request goes out; a failed read still
// writes its reply from the zeroed buffer.
TEST_F(ControlTest, FailuresStillKeepTheLengthAndWriteTheReply) {
    sensor->FailNext(IOCTL_MOC_SET_MATCH_DATA_LENGTH, ERROR_GEN_FAILURE);
    const Call set = SetLength(4);
    EXPECT_EQ(set.hr, WINBIO_E_DEVICE_FAILURE);
    EXPECT_EQ(set.status, static_cast<ULONG>(ERROR_GEN_FAILURE));
    EXPECT_EQ(Context()->MatchDataLength, 4u);

    sensor->FailNext(IOCTL_MOC_READ_MATCH_DATA, ERROR_OPERATION_ABORTED);
    const Call read = Privileged(IOCTL_MOC_READ_MATCH_DATA, {0}, 18);
    EXPECT_EQ(read.hr, WINBIO_E_CANCELED);
    EXPECT_EQ(read.status, static_cast<ULONG>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(read.received, Bytes(18, 0));
    EXPECT_EQ(read.dataSize, 9u);
}

TEST_F(ControlTest, CommonStartTestsPointersThenClearsThenNeedsTheContext) {
    BYTE send[4] = {};
    BYTE receive[4] = {0xEE};
    SIZE_T size = 5;
    ULONG status = 5;
    for (auto slot : {engine->ControlUnit, engine->ControlUnitPrivileged}) {
        EXPECT_EQ(
            slot(&pipeline, IOCTL_MOC_READ_MATCH_DATA, nullptr, 4, receive, 4, &size, &status),
            E_POINTER);
        EXPECT_EQ(slot(&pipeline, IOCTL_MOC_READ_MATCH_DATA, send, 4, receive, 4, &size, nullptr),
                  E_POINTER);
        EXPECT_EQ(slot(nullptr, IOCTL_MOC_READ_MATCH_DATA, send, 4, receive, 4, &size, &status),
                  E_POINTER);
    }
    ASSERT_EQ(engine->Detach(&pipeline), S_OK);
    for (auto slot : {engine->ControlUnit, engine->ControlUnitPrivileged}) {
        receive[0] = 0xEE;
        size = 5;
        status = 5;
        EXPECT_EQ(slot(&pipeline, IOCTL_MOC_READ_MATCH_DATA, send, 4, receive, 4, &size, &status),
                  WINBIO_E_INVALID_DEVICE_STATE);
        EXPECT_EQ(receive[0], 0);
        EXPECT_EQ(size, 0u);
        EXPECT_EQ(status, 0u);
    }
}

TEST_F(ControlTest, PowerNotifications) {
    struct Case {
        const char* name;
        ULONG event;
        SYSTEM_POWER_STATUS status;
        DWORD failure;
        HRESULT hr;
    } cases[] = {
        {"suspend", PBT_APMSUSPEND, {}, 0, S_OK},
        {"resume", PBT_APMRESUMEAUTOMATIC, {}, 0, S_OK},
        {"on battery", PBT_APMPOWERSTATUSCHANGE, {AC_LINE_OFFLINE, 0, 40, 0, 0, 0}, 0, S_OK},
        {"charging",
         PBT_APMPOWERSTATUSCHANGE,
         {AC_LINE_ONLINE, BATTERY_FLAG_CHARGING, 40, 0, 0, 0},
         0,
         S_OK},
        {"no battery",
         PBT_APMPOWERSTATUSCHANGE,
         {AC_LINE_ONLINE, BATTERY_FLAG_NO_BATTERY, 255, 0, 0, 0},
         0,
         S_OK},
        {"line status unknown",
         PBT_APMPOWERSTATUSCHANGE,
         {AC_LINE_UNKNOWN, 0, 0, 0, 0, 0},
         0,
         S_OK},
        {"odd line status", PBT_APMPOWERSTATUSCHANGE, {7, 0, 0, 0, 0, 0}, 0, S_OK},
        {"power query fails", PBT_APMPOWERSTATUSCHANGE, {}, ERROR_ACCESS_DENIED, S_OK},
        {"other event", 7, {}, 0, E_INVALIDARG},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        platform::test::SetPowerStatus(c.status);
        platform::test::FailPowerStatus(c.failure);
        EXPECT_EQ(engine->NotifyPowerChange(&pipeline, c.event), c.hr);
    }
    EXPECT_TRUE(Requests().empty());
    EXPECT_EQ(engine->NotifyPowerChange(nullptr, PBT_APMSUSPEND), E_POINTER);
    ASSERT_EQ(engine->Detach(&pipeline), S_OK);
    EXPECT_EQ(engine->NotifyPowerChange(&pipeline, PBT_APMSUSPEND), WINBIO_E_INVALID_DEVICE_STATE);
}

TEST_F(ControlTest, DeactivateTellsTheChipAndNeverFails) {
    struct Case {
        LONG lockState;
        DWORD notifyError;
    } cases[] = {{static_cast<LONG>(WTS_SESSIONSTATE_LOCK), 0},
                 {static_cast<LONG>(WTS_SESSIONSTATE_UNLOCK), ERROR_GEN_FAILURE},
                 {static_cast<LONG>(WTS_SESSIONSTATE_UNKNOWN), 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lockState);
        platform::test::SetConsoleLockState(c.lockState);
        if (c.notifyError != 0) {
            sensor->FailNext(IOCTL_MOC_NOTIFY_DEACTIVATE, c.notifyError);
        }
        sensor->ClearLog();
        EXPECT_EQ(engine->Deactivate(&pipeline), S_OK);
        const auto log = Requests();
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].code, IOCTL_MOC_NOTIFY_DEACTIVATE);
        EXPECT_TRUE(log[0].input.empty());
        EXPECT_EQ(log[0].outputCapacity, 0u);
        EXPECT_FALSE(log[0].overlapped);
    }
    platform::test::FailSessionQuery(ERROR_ACCESS_DENIED);
    EXPECT_EQ(engine->Deactivate(&pipeline), S_OK);
    EXPECT_EQ(engine->Activate(&pipeline), S_OK);
    EXPECT_EQ(engine->Deactivate(nullptr), E_POINTER);
    EXPECT_EQ(engine->Activate(nullptr), E_POINTER);
    ASSERT_EQ(engine->Detach(&pipeline), S_OK);
    EXPECT_EQ(engine->Deactivate(&pipeline), WINBIO_E_INVALID_DEVICE_STATE);
    EXPECT_EQ(engine->Activate(&pipeline), WINBIO_E_INVALID_DEVICE_STATE);
}

} // namespace
} // namespace engine_test
