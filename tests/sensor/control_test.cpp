// Sensor status and reset replies, and the sensor's private control codes.
#include <functional>
#include "device/driver_interface.h"
#include "sensor_fixture.h"

namespace {

using moc_test::Bytes;
using sensor_test::SensorFixture;

// A request of the platform's codes that fails or comes back short, each
// with an earlier thread error that must not show through.
struct ReplyFault {
    const char* name;
    std::function<void(simsensor::SimulatedSensor&, DWORD code)> plan;
    HRESULT result;
};

std::vector<ReplyFault> ReplyFaults(DWORD wholeReply) {
    return {
        {"failed", [](auto& s, DWORD code) { s.FailNext(code, ERROR_GEN_FAILURE); },
         WINBIO_E_DEVICE_FAILURE},
        {"cancelled", [](auto& s, DWORD code) { s.FailNext(code, ERROR_CANCELLED); },
         WINBIO_E_CANCELED},
        {"aborted", [](auto& s, DWORD code) { s.FailNext(code, ERROR_OPERATION_ABORTED); },
         WINBIO_E_CANCELED},
        {"driver ended",
         [](auto& s, DWORD code) { s.FailNext(code, ERROR_DRIVER_PROCESS_TERMINATED); },
         WINBIO_E_CANCELED},
        {"empty", [](auto& s, DWORD code) { s.ReplyShort(code, 0); }, WINBIO_E_DEVICE_FAILURE},
        {"4 bytes", [](auto& s, DWORD code) { s.ReplyShort(code, 4); }, WINBIO_E_DEVICE_FAILURE},
        {"one byte short",
         [wholeReply](auto& s, DWORD code) { s.ReplyShort(code, wholeReply - 1); },
         WINBIO_E_DEVICE_FAILURE},
    };
}

TEST_F(SensorFixture, QueryStatusNeedsTheWholeRecord) {
    sensor->SetSensorStatus(WINBIO_SENSOR_BUSY);
    WINBIO_SENSOR_STATUS status = 0xEEEE;
    ASSERT_EQ(table->QueryStatus(&pipeline, &status), S_OK);
    EXPECT_EQ(status, WINBIO_SENSOR_BUSY);
    const auto log = sensor->Log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].code, IOCTL_BIOMETRIC_GET_SENSOR_STATUS);
    EXPECT_TRUE(log[0].input.empty());
    EXPECT_EQ(log[0].outputCapacity, 20u);
    EXPECT_FALSE(log[0].overlapped);

    for (const ReplyFault& fault : ReplyFaults(20)) {
        SCOPED_TRACE(fault.name);
        fault.plan(*sensor, IOCTL_BIOMETRIC_GET_SENSOR_STATUS);
        SetLastError(ERROR_OPERATION_ABORTED);
        status = 0xEEEE;
        EXPECT_EQ(table->QueryStatus(&pipeline, &status), fault.result);
        EXPECT_EQ(status, WINBIO_SENSOR_STATUS_UNKNOWN);
    }
    EXPECT_EQ(table->QueryStatus(nullptr, &status), E_POINTER);
    EXPECT_EQ(table->QueryStatus(&pipeline, nullptr), E_POINTER);
    WINBIO_PIPELINE bare = {};
    EXPECT_EQ(table->QueryStatus(&bare, &status), WINBIO_E_INVALID_DEVICE_STATE);
}

TEST_F(SensorFixture, ResetReturnsTheSensorsOutcome) {
    for (HRESULT outcome : {S_OK, WINBIO_E_DEVICE_BUSY}) {
        sensor->SetResetResult(outcome);
        EXPECT_EQ(table->Reset(&pipeline), outcome);
    }
    const auto log = sensor->Log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].code, IOCTL_BIOMETRIC_RESET);
    EXPECT_EQ(log[0].outputCapacity, 8u);

    sensor->SetResetResult(S_OK);
    for (const ReplyFault& fault : ReplyFaults(8)) {
        SCOPED_TRACE(fault.name);
        fault.plan(*sensor, IOCTL_BIOMETRIC_RESET);
        SetLastError(ERROR_OPERATION_ABORTED);
        EXPECT_EQ(table->Reset(&pipeline), fault.result);
    }
    EXPECT_EQ(table->Reset(nullptr), E_POINTER);
    WINBIO_PIPELINE bare = {};
    EXPECT_EQ(table->Reset(&bare), WINBIO_E_INVALID_DEVICE_STATE);
}

class SensorControlTest : public SensorFixture {
protected:
    struct Outcome {
        HRESULT hr;
        SIZE_T received;
        ULONG status;
        BYTE first;
    };

    Outcome Control(bool privileged, ULONG code, SIZE_T sendSize, SIZE_T receiveSize) {
        send = moc_test::Pattern(64, 0x11);
        receive = Bytes(64, 0xEE);
        Outcome out{E_FAIL, 99, 99, 0};
        auto slot = privileged ? table->ControlUnitPrivileged : table->ControlUnit;
        out.hr = slot(&pipeline, code, send.data(), sendSize, receive.data(), receiveSize,
                      &out.received, &out.status);
        out.first = receive[0];
        return out;
    }

    Bytes send;
    Bytes receive;
};

TEST_F(SensorControlTest, ControlUnitAcceptsThePrivateCodesAndSendsNothing) {
    struct Case {
        ULONG code;
        HRESULT result;
    } cases[] = {
        {IOCTL_MOC_SENSOR_PRIVATE_SET, S_OK},
        {IOCTL_MOC_SENSOR_PRIVATE_GET, S_OK},
        {IOCTL_MOC_IDENTIFY, E_INVALIDARG},
        {IOCTL_BIOMETRIC_RESET, E_INVALIDARG},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        const Outcome out = Control(false, c.code, 1, 32);
        EXPECT_EQ(out.hr, c.result);
        EXPECT_EQ(out.received, 0u);
        EXPECT_EQ(out.status, 0u);
        EXPECT_EQ(out.first, 0);
    }
    EXPECT_TRUE(sensor->Log().empty());
}

TEST_F(SensorControlTest, ControlUnitPrivilegedForwardsTheTwoCodes) {
    sensor->SetSensorPrivateData(moc_test::Pattern(32, 0x70));
    // The set: one byte out, the caller's buffer back.
    SetLastError(ERROR_GEN_FAILURE); // must not show as the operation status
    Outcome out = Control(true, IOCTL_MOC_SENSOR_PRIVATE_SET, 1, 16);
    EXPECT_EQ(out.hr, S_OK);
    EXPECT_EQ(out.status, 0u);
    EXPECT_EQ(out.received, 0u);
    EXPECT_EQ(sensor->SensorPrivateSetting(), send[0]);
    // The get: the caller's request, 32 bytes back.
    out = Control(true, IOCTL_MOC_SENSOR_PRIVATE_GET, 3, 32);
    EXPECT_EQ(out.hr, S_OK);
    EXPECT_EQ(out.received, 32u);
    EXPECT_EQ(Bytes(receive.begin(), receive.begin() + 32), moc_test::Pattern(32, 0x70));
    EXPECT_EQ(receive[32], 0xEE);
    const auto log = sensor->Log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].input, Bytes{send[0]});
    EXPECT_EQ(log[0].outputCapacity, 16u);
    EXPECT_TRUE(log[0].overlapped);
    EXPECT_EQ(log[1].input, Bytes(send.begin(), send.begin() + 3));
    EXPECT_EQ(log[1].outputCapacity, 32u);

    // Sizes and codes refused before anything is sent.
    sensor->ClearLog();
    struct Case {
        const char* name;
        ULONG code;
        SIZE_T sendSize;
        SIZE_T receiveSize;
    } refused[] = {
        {"set of 2", IOCTL_MOC_SENSOR_PRIVATE_SET, 2, 16},
        {"set of 0", IOCTL_MOC_SENSOR_PRIVATE_SET, 0, 16},
        {"get into 31", IOCTL_MOC_SENSOR_PRIVATE_GET, 1, 31},
        {"get into 33", IOCTL_MOC_SENSOR_PRIVATE_GET, 1, 33},
        {"get of 4 GiB", IOCTL_MOC_SENSOR_PRIVATE_GET, SIZE_T{1} << 32, 32},
        {"another code", IOCTL_MOC_IDENTIFY, 1, 32},
    };
    for (const Case& c : refused) {
        SCOPED_TRACE(c.name);
        out = Control(true, c.code, c.sendSize, c.receiveSize);
        EXPECT_EQ(out.hr, E_INVALIDARG);
        EXPECT_EQ(out.received, 0u);
        EXPECT_EQ(out.status, 0u);
        EXPECT_EQ(out.first, 0);
    }
    EXPECT_TRUE(sensor->Log().empty());

    // A failed request: its error as the operation status, mapped as result.
    sensor->FailNext(IOCTL_MOC_SENSOR_PRIVATE_SET, ERROR_GEN_FAILURE);
    out = Control(true, IOCTL_MOC_SENSOR_PRIVATE_SET, 1, 16);
    EXPECT_EQ(out.hr, WINBIO_E_DEVICE_FAILURE);
    EXPECT_EQ(out.status, static_cast<ULONG>(ERROR_GEN_FAILURE));
    sensor->FailNext(IOCTL_MOC_SENSOR_PRIVATE_GET, ERROR_CANCELLED);
    out = Control(true, IOCTL_MOC_SENSOR_PRIVATE_GET, 1, 32);
    EXPECT_EQ(out.hr, WINBIO_E_CANCELED);
    EXPECT_EQ(out.status, static_cast<ULONG>(ERROR_CANCELLED));
}

TEST_F(SensorControlTest, PassThroughWhileACaptureIsInFlightIsRefused) {
    ASSERT_EQ(Start(), S_OK); // pending: no finger yet
    sensor->ClearLog();
    Outcome out = Control(true, IOCTL_MOC_SENSOR_PRIVATE_GET, 1, 32);
    EXPECT_EQ(out.hr, WINBIO_E_DEVICE_BUSY);
    // Completed but not yet finished: the OVERLAPPED still holds its outcome.
    sensor->PresentFinger(Finger());
    out = Control(true, IOCTL_MOC_SENSOR_PRIVATE_SET, 1, 16);
    EXPECT_EQ(out.hr, WINBIO_E_DEVICE_BUSY);
    EXPECT_TRUE(sensor->Log().empty());
    EXPECT_EQ(Finish(), S_OK);
    EXPECT_EQ(ExportedBytes().size(), 141u);
    EXPECT_EQ(Control(true, IOCTL_MOC_SENSOR_PRIVATE_SET, 1, 16).hr, S_OK);
}

TEST_F(SensorControlTest, ControlSlotsTestPointersAndContext) {
    for (bool privileged : {false, true}) {
        SCOPED_TRACE(privileged);
        auto slot = privileged ? table->ControlUnitPrivileged : table->ControlUnit;
        BYTE buffer[32] = {};
        SIZE_T received = 0;
        ULONG status = 0;
        const ULONG code = IOCTL_MOC_SENSOR_PRIVATE_GET;
        EXPECT_EQ(slot(nullptr, code, buffer, 1, buffer, 32, &received, &status), E_POINTER);
        EXPECT_EQ(slot(&pipeline, code, nullptr, 1, buffer, 32, &received, &status), E_POINTER);
        EXPECT_EQ(slot(&pipeline, code, buffer, 1, nullptr, 32, &received, &status), E_POINTER);
        EXPECT_EQ(slot(&pipeline, code, buffer, 1, buffer, 32, nullptr, &status), E_POINTER);
        EXPECT_EQ(slot(&pipeline, code, buffer, 1, buffer, 32, &received, nullptr), E_POINTER);
        WINBIO_PIPELINE bare = {};
        buffer[0] = 0xAA;
        received = 5;
        status = 5;
        EXPECT_EQ(slot(&bare, code, buffer, 1, buffer + 1, 31, &received, &status),
                  WINBIO_E_INVALID_DEVICE_STATE);
        EXPECT_EQ(received, 0u);
        EXPECT_EQ(status, 0u);
        // A receive buffer of no bytes has no first byte to clear.
        buffer[1] = 0xBB;
        EXPECT_EQ(slot(&bare, code, buffer, 1, buffer + 1, 0, &received, &status),
                  WINBIO_E_INVALID_DEVICE_STATE);
        EXPECT_EQ(buffer[1], 0xBB);
    }
}

} // namespace
