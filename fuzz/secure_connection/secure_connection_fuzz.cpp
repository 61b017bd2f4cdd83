// The chip's reply to the secure-connection request, in both forms: the full
// reply (nonce, claim with the model certificate and keys, MAC, each behind a
// 16-bit length) and the reconnect reply. Input: byte 0 picks the form (bit
// 0: reconnect; bit 1: a full connection with the same reply first), then
// the reply.
#include "sensor/sensor_adapter.h"
#include "support/fuzz_unit.h"

namespace {

// Through the sensor adapter's slot, whose object holds the embedded chains.
HRESULT Connect(moc_fuzz::Unit& unit, USHORT flags, const moc_fuzz::Bytes& reply,
                PWINBIO_SECURE_CONNECTION_DATA* data) {
    unit.sensor->ReplyWith(IOCTL_BIOMETRIC_CONNECT_SECURE, reply);
    WINBIO_SECURE_CONNECTION_PARAMS params = {};
    params.PayloadSize = sizeof(params);
    params.Version = 1;
    params.Flags = flags;
    *data = nullptr;
    return unit.sensorAdapter->ConnectSecure(&unit.pipeline, &params, data);
}

void Run(moc_fuzz::Unit& unit, const uint8_t* data, size_t size) {
    using moc_fuzz::Expect;
    const moc_fuzz::Bytes reply = moc_fuzz::Rest(data, size, 1);
    PWINBIO_SECURE_CONNECTION_DATA out = nullptr;
    if (data[0] & 2) {
        HRESULT hr = Connect(unit, 0, reply, &out);
        if (hr == S_OK)
            Expect(out != nullptr &&
                       out->Size ==
                           unit.pipeline.SensorContext->SecureConnection->ConnectionDataCapacity,
                   "a full connection hands out its data");
        else
            Expect(out == nullptr, "no data from a failed connection");
    }
    const USHORT flags = (data[0] & 1) ? MOC_SECURE_FLAGS_RECONNECT : 0;
    HRESULT hr = Connect(unit, flags, reply, &out);
    if (hr != S_OK) {
        Expect(out == nullptr, "no data from a failed connection");
    } else if (flags == MOC_SECURE_FLAGS_RECONNECT) {
        Expect(reply.size() >= MOC_RECONNECT_RESPONSE_SIZE, "a short reconnect reply fails");
        Expect(out->Size == MOC_RECONNECT_DATA_SIZE, "reconnect data");
    } else {
        // The data's sizes must describe bytes that lie within it.
        Expect(out->ModelCertificateSize + out->IntermediateCA1Size + out->IntermediateCA2Size +
                       MOC_CONNECTION_DATA_OVERHEAD <=
                   out->Size,
               "the certificates fit the data");
    }
}

} // namespace

const moc_fuzz::Harness moc_fuzz::kHarness = {moc_fuzz::kSensor, 1, nullptr, Run};
