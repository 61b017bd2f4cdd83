// The driver's capture reply (a WINBIO_CAPTURE_DATA with the sample record
// and the sample's status byte in it), from the sensor adapter's capture
// through its judgement, the export and the push to the engine, which takes
// the record apart again. Input: byte 0 picks the purpose (bits 0-2) and
// whether the sample goes on to the engine (bit 3), then the reply.
#include "device/capture_data.h"
#include "sensor/sensor_adapter.h"
#include "support/fuzz_unit.h"

namespace {

const WINBIO_BIR_PURPOSE kPurposes[] = {
    WINBIO_PURPOSE_IDENTIFY, WINBIO_PURPOSE_VERIFY,
    WINBIO_PURPOSE_ENROLL,   WINBIO_PURPOSE_ENROLL_FOR_IDENTIFICATION,
    WINBIO_PURPOSE_AUDIT,    WINBIO_PURPOSE_IDENTIFY | WINBIO_PURPOSE_VERIFY,
    WINBIO_PURPOSE_ENROLL,   WINBIO_PURPOSE_IDENTIFY,
};

void Run(moc_fuzz::Unit& unit, const uint8_t* data, size_t size) {
    using moc_fuzz::Expect;
    PWINBIO_PIPELINE pipeline = &unit.pipeline;
    PWINBIO_SENSOR_INTERFACE sensor = unit.sensorAdapter;
    const moc_fuzz::Bytes reply = moc_fuzz::Rest(data, size, 1);
    const WINBIO_BIR_PURPOSE purpose = kPurposes[data[0] & 7];
    Expect(sensor->Activate(pipeline) == S_OK, "activate");
    unit.sensor->ReplyWith(IOCTL_BIOMETRIC_CAPTURE_DATA, reply);

    LPOVERLAPPED overlapped = nullptr;
    if (sensor->StartCapture(pipeline, purpose, &overlapped) != S_OK)
        moc_fuzz::Broken("a capture starts");
    WINBIO_REJECT_DETAIL reject = 0;
    HRESULT finished = sensor->FinishCapture(pipeline, &reject);
    if (reply.size() < MOC_CAPTURE_BIR_OFFSET)
        Expect(FAILED(finished), "a reply without a sample is no capture");

    PWINBIO_BIR sample = nullptr;
    SIZE_T sampleSize = 0;
    if (sensor->ExportSensorData(pipeline, &sample, &sampleSize) == S_OK) {
        Expect(sample != nullptr && sampleSize != 0 &&
                   sampleSize + MOC_CAPTURE_BIR_OFFSET <= reply.size(),
               "the exported sample lies within the reply");
        // Every byte handed out must be readable.
        volatile BYTE sum = 0;
        for (SIZE_T i = 0; i < sampleSize; ++i)
            sum = sum + reinterpret_cast<const BYTE*>(sample)[i];
    }
    if (data[0] & 8) {
        reject = 0;
        sensor->PushDataToEngine(pipeline, purpose, WINBIO_DATA_FLAG_RAW, &reject);
    }
}

} // namespace

const moc_fuzz::Harness moc_fuzz::kHarness = {moc_fuzz::kEngine | moc_fuzz::kSensor, 1, nullptr,
                                              Run};
