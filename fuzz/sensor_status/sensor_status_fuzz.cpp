// The driver's replies to the sensor status and reset requests, read by the
// sensor adapter's QueryStatus and Reset. Input: byte 0 picks the request
// (bit 0: reset), then the reply.
#include "sensor/sensor_adapter.h"
#include "support/fuzz_unit.h"

namespace {

void Run(moc_fuzz::Unit& unit, const uint8_t* data, size_t size) {
    using moc_fuzz::Expect;
    PWINBIO_PIPELINE pipeline = &unit.pipeline;
    const moc_fuzz::Bytes reply = moc_fuzz::Rest(data, size, 1);
    if (data[0] & 1) {
        unit.sensor->ReplyWith(IOCTL_BIOMETRIC_RESET, reply);
        HRESULT hr = unit.sensorAdapter->Reset(pipeline);
        if (reply.size() < sizeof(WINBIO_BLANK_PAYLOAD))
            Expect(FAILED(hr), "a short reset reply is no reset");
    } else {
        unit.sensor->ReplyWith(IOCTL_BIOMETRIC_GET_SENSOR_STATUS, reply);
        WINBIO_SENSOR_STATUS status = 0xEEEE;
        HRESULT hr = unit.sensorAdapter->QueryStatus(pipeline, &status);
        if (reply.size() < sizeof(WINBIO_DIAGNOSTICS))
            Expect(FAILED(hr) && status == WINBIO_SENSOR_STATUS_UNKNOWN,
                   "a short status reply is no status");
    }
}

} // namespace

const moc_fuzz::Harness moc_fuzz::kHarness = {moc_fuzz::kSensor, 1, nullptr, Run};
