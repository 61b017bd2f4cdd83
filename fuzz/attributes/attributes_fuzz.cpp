// The driver's sensor attributes, read by the sensor adapter when the first
// capture after an attach settles the sample format against the formats the
// attributes list. Input: the reply.
#include "sensor/sensor_adapter.h"
#include "support/fuzz_unit.h"

namespace {

void Run(moc_fuzz::Unit& unit, const uint8_t* data, size_t size) {
    using moc_fuzz::Expect;
    // A fresh attach, whose first capture settles the format anew.
    Expect(unit.AttachSensor() == S_OK, "sensor attach");
    PWINBIO_PIPELINE pipeline = &unit.pipeline;
    unit.sensor->ReplyWith(IOCTL_BIOMETRIC_GET_ATTRIBUTES, moc_fuzz::Bytes(data, data + size));
    LPOVERLAPPED overlapped = nullptr;
    HRESULT hr = unit.sensorAdapter->StartCapture(pipeline, WINBIO_PURPOSE_IDENTIFY, &overlapped);
    if (size < sizeof(WINBIO_SENSOR_ATTRIBUTES))
        Expect(FAILED(hr), "short attributes settle no format");
    if (hr == S_OK) {
        const WINBIO_REGISTERED_FORMAT format = pipeline->SensorContext->SampleFormat;
        Expect(format.Owner != WINBIO_NO_FORMAT_OWNER_AVAILABLE ||
                   format.Type != WINBIO_NO_FORMAT_TYPE_AVAILABLE,
               "a started capture has a format");
        // The capture waits for a finger; this one ends it.
        simsensor::Presentation finger;
        finger.finger = 1;
        unit.sensor->PresentFinger(finger);
        WINBIO_REJECT_DETAIL reject = 0;
        Expect(unit.sensorAdapter->FinishCapture(pipeline, &reject) == S_OK, "the capture ends");
    }
    unit.DetachSensor();
}

} // namespace

const moc_fuzz::Harness moc_fuzz::kHarness = {moc_fuzz::kEngine, 0, nullptr, Run};
