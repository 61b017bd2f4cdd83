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

// Which supported model the record handed out names; traced only.
void TraceModel(PWINIBIO_SENSOR_CONTEXT context, const WINBIO_SECURE_CONNECTION_DATA* data) {
    struct Model {
        const BYTE* certificate;
        DWORD length;
        USHORT message;
    };
    static const Model kModels[] = {
        {kModelCertificate2, kModelCertificate2Length, 100},
        {kModelCertificate0, kModelCertificate0Length, 101},
        {kModelCertificate1, kModelCertificate1Length, 102},
    };
    const BYTE* claimed = reinterpret_cast<const BYTE*>(data) + MOC_CONNECTION_DATA_MODEL_OFFSET;
    for (const Model& model : kModels) {
        if (data->ModelCertificateSize == model.length) {
            if (std::memcmp(claimed, model.certificate, model.length) == 0) {
                MOC_TRACE_INFO(kTraceGuidSensorAdapter, model.message, context->UnitLabel);
            }
            return;
        }
    }
    MOC_TRACE_INFO(kTraceGuidSensorAdapter, 103, context->UnitLabel, data->ModelCertificateSize);
}

} // namespace

HRESULT WINAPI SensorAdapterConnectSecure(PWINBIO_PIPELINE Pipeline,
                                          const WINBIO_SECURE_CONNECTION_PARAMS* ConnectionParams,
                                          PWINBIO_SECURE_CONNECTION_DATA* ConnectionData) {
    if (Pipeline == nullptr || ConnectionParams == nullptr || ConnectionData == nullptr) {
        MOC_TRACE_INFO(kTraceGuidSensorAdapter, 104, E_POINTER);
        return E_POINTER;
    }
    PWINIBIO_SENSOR_CONTEXT context = Pipeline->SensorContext;
    if (context == nullptr || context->SecureConnection == nullptr) {
        MOC_TRACE_INFO(kTraceGuidSensorAdapter, 104, WINBIO_E_INVALID_DEVICE_STATE);
        return WINBIO_E_INVALID_DEVICE_STATE;
    }
    MOC_TRACE_INFO(kTraceGuidSensorAdapter, 105, context->UnitLabel, ConnectionParams->PayloadSize,
                   ConnectionParams->Flags, ConnectionParams->Version);
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
        MOC_TRACE_ERROR(kTraceGuidSensorAdapter, 106, context->UnitLabel, hr);
    }
    MOC_TRACE_INFO(kTraceGuidSensorAdapter, 107, context->UnitLabel, hr);
    return hr;
}
