// The embedded certificate chains and the secure-connection slot that
// matches the chip's claim against them.
#include "sensor/certificate_chains.h"

#include <cstring>

#include "common/trace.h"
#include "sensor/sensor_adapter.h"

void BuildCertificateChains(CertificateChain (&chains)[kEmbeddedChainCount]) {
    chains[0] = {kModelCertificate0,       kIntermediateCA1A,       kIntermediateCA2,
                 kModelCertificate0Length, kIntermediateCA1ALength, kIntermediateCA2Length};
    chains[1] = {kModelCertificate1,       kIntermediateCA1A,       kIntermediateCA2,
                 kModelCertificate1Length, kIntermediateCA1ALength, kIntermediateCA2Length};
    chains[2] = {kModelCertificate2,       kIntermediateCA1B,       kIntermediateCA2,
                 kModelCertificate2Length, kIntermediateCA1BLength, kIntermediateCA2Length};
}

namespace {

// Which supported model the record handed out names; traced only. The first
// model of the claimed length decides.
void TraceModel(PWINIBIO_SENSOR_CONTEXT context, const WINBIO_SECURE_CONNECTION_DATA* data) {
    struct Model {
        const BYTE* certificate;
        DWORD length;
    };
    static const Model kModels[] = {
        {kModelCertificate2, kModelCertificate2Length},
        {kModelCertificate0, kModelCertificate0Length},
        {kModelCertificate1, kModelCertificate1Length},
    };
    constexpr size_t kModelCount = sizeof(kModels) / sizeof(kModels[0]);
    size_t model = 0;
    while (model < kModelCount && data->ModelCertificateSize != kModels[model].length) {
        ++model;
    }
    if (model == kModelCount) {
        MOC_TRACE_INFO(kTraceGuidSensorAdapter, 103,
                       "the connection names no supported model: a certificate of %u bytes",
                       context->UnitLabel, data->ModelCertificateSize);
        return;
    }
    const BYTE* claimed = reinterpret_cast<const BYTE*>(data) + MOC_CONNECTION_DATA_MODEL_OFFSET;
    if (std::memcmp(claimed, kModels[model].certificate, kModels[model].length) != 0) {
        return;
    }
    // Each model under a number and text of its own, which a decoder reads
    // from here.
    switch (model) {
    case 0:
        MOC_TRACE_INFO(kTraceGuidSensorAdapter, 100, "the connection names model 2",
                       context->UnitLabel);
        break;
    case 1:
        MOC_TRACE_INFO(kTraceGuidSensorAdapter, 101, "the connection names model 0",
                       context->UnitLabel);
        break;
    default:
        MOC_TRACE_INFO(kTraceGuidSensorAdapter, 102, "the connection names model 1",
                       context->UnitLabel);
        break;
    }
}

} // namespace

HRESULT WINAPI SensorAdapterConnectSecure(PWINBIO_PIPELINE Pipeline,
                                          const WINBIO_SECURE_CONNECTION_PARAMS* ConnectionParams,
                                          PWINBIO_SECURE_CONNECTION_DATA* ConnectionData) {
    if (Pipeline == nullptr || ConnectionParams == nullptr || ConnectionData == nullptr) {
        MOC_TRACE_INFO(kTraceGuidSensorAdapter, 104, "connect secure refused: %!HRESULT!",
                       E_POINTER);
        return E_POINTER;
    }
    PWINIBIO_SENSOR_CONTEXT context = Pipeline->SensorContext;
    if (context == nullptr || context->SecureConnection == nullptr) {
        MOC_TRACE_INFO(kTraceGuidSensorAdapter, 104, "connect secure refused: %!HRESULT!",
                       WINBIO_E_INVALID_DEVICE_STATE);
        return WINBIO_E_INVALID_DEVICE_STATE;
    }
    MOC_TRACE_INFO(kTraceGuidSensorAdapter, 105,
                   "connect secure: payload of %u bytes, flags 0x%04X, version %u",
                   context->UnitLabel, ConnectionParams->PayloadSize, ConnectionParams->Flags,
                   ConnectionParams->Version);
    // The parameters go to the driver as PayloadSize bytes; fewer than their
    // own record would send a head the driver cannot read.
    HRESULT hr;
    if (ConnectionParams->PayloadSize < sizeof(WINBIO_SECURE_CONNECTION_PARAMS)) {
        hr = E_INVALIDARG;
    } else {
        hr = MocConnectSecure(context->SecureConnection, ConnectionParams, ConnectionData);
    }
    if (SUCCEEDED(hr)) {
        TraceModel(context, *ConnectionData);
    } else {
        MOC_TRACE_ERROR(kTraceGuidSensorAdapter, 106, "secure connection failed: %!HRESULT!",
                        context->UnitLabel, hr);
    }
    MOC_TRACE_INFO(kTraceGuidSensorAdapter, 107, "connect secure returns %!HRESULT!",
                   context->UnitLabel, hr);
    return hr;
}
