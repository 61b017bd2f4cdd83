#include "sensor/sensor_adapter.h"

#include <cstring>

#include "common/trace.h"
#include "device/driver_interface.h"
#include "device/device_request.h"
#include "device/capture_data.h"
#include "sensor/certificate_chains.h"

namespace {

// Attach is written in by the export, as the platform's loader expects of it.
WINBIO_SENSOR_INTERFACE g_SensorInterface = {
    WINBIO_SENSOR_INTERFACE_VERSION_6,
    WINBIO_ADAPTER_TYPE_SENSOR,
    sizeof(WINBIO_SENSOR_INTERFACE),
    SensorAdapterId,
    nullptr,
    SensorAdapterDetach,
    SensorAdapterClearContext,
    SensorAdapterQueryStatus,
    SensorAdapterReset,
    SensorAdapterSetMode,
    SensorAdapterSetIndicatorStatus,
    SensorAdapterGetIndicatorStatus,
    SensorAdapterStartCapture,
    SensorAdapterFinishCapture,
    SensorAdapterExportSensorData,
    SensorAdapterCancel,
    SensorAdapterPushDataToEngine,
    SensorAdapterControlUnit,
    SensorAdapterControlUnitPrivileged,
    SensorAdapterNotifyPowerChange,
    SensorAdapterPipelineInit,
    SensorAdapterPipelineCleanup,
    SensorAdapterActivate,
    SensorAdapterDeactivate,
    SensorAdapterQueryExtendedInfo,
    SensorAdapterQueryCalibrationFormats,
    SensorAdapterSetCalibrationFormat,
    SensorAdapterAcceptCalibrationData,
    SensorAdapterAsyncImportRawBuffer,
    SensorAdapterAsyncImportSecureBuffer,
    SensorAdapterQueryPrivateSensorType,
    SensorAdapterConnectSecure,
    SensorAdapterStartCaptureEx,
    SensorAdapterStartNotifyWake,
    SensorAdapterFinishNotifyWake,
};

constexpr DWORD kGenericSensorCapabilities = 0x311;

// The slots the adapter does not support look at no argument.
HRESULT NotImplemented(USHORT message) {
    MOC_TRACE_INFO(kTraceGuidSensorAdapter, message, "not supported by this adapter");
    return E_NOTIMPL;
}

} // namespace

HRESULT SensorContextOf(PWINBIO_PIPELINE pipeline, PWINIBIO_SENSOR_CONTEXT* context) {
    *context = nullptr;
    if (pipeline == nullptr) {
        return E_POINTER;
    }
    if (pipeline->SensorContext == nullptr) {
        return WINBIO_E_INVALID_DEVICE_STATE;
    }
    *context = pipeline->SensorContext;
    return S_OK;
}

HRESULT SensorTraced(PWINIBIO_SENSOR_CONTEXT context, USHORT message, TraceText text, HRESULT hr) {
    MOC_TRACE_INFO_FORWARDED(kTraceGuidSensorAdapter, message, text,
                             context != nullptr ? context->UnitLabel : nullptr, hr);
    return hr;
}

HRESULT SensorRequest(PWINBIO_PIPELINE pipeline, PWINIBIO_SENSOR_CONTEXT context, DWORD code,
                      void* reply, DWORD size, DWORD required, BYTE fill) {
    DeviceRequest request(pipeline, code);
    if (FAILED(request.Output(reply, size, required, fill).Send())) {
        MOC_TRACE_ERROR(kTraceGuidSensorAdapter, 31, "request 0x%08X failed: %!WINERROR!",
                        context->UnitLabel, code, request.Error());
        return WinBioErrorFromWin32(request.Error());
    }
    return S_OK;
}

extern "C" HRESULT WINAPI WbioQuerySensorInterface(PWINBIO_SENSOR_INTERFACE* SensorInterface) {
    if (SensorInterface == nullptr) {
        return E_POINTER;
    }
    g_SensorInterface.Attach = SensorAdapterAttach;
    *SensorInterface = &g_SensorInterface;
    return S_OK;
}

// ---------------------------------------------------------------------------
// Attach, detach, clear context
// ---------------------------------------------------------------------------

HRESULT WINAPI SensorAdapterAttach(PWINBIO_PIPELINE Pipeline) {
    MOC_TRACE_INFO(kTraceGuidSensorAttach, 10, "attach");
    if (Pipeline == nullptr) {
        MOC_TRACE_INFO(kTraceGuidSensorAttach, 11, "refused: %!HRESULT!", E_POINTER);
        return E_POINTER;
    }
    // The context already there stays, with everything it holds.
    if (Pipeline->SensorContext != nullptr) {
        MOC_TRACE_INFO(kTraceGuidSensorAttach, 11, "refused: %!HRESULT!",
                       WINBIO_E_INVALID_DEVICE_STATE);
        return WINBIO_E_INVALID_DEVICE_STATE;
    }
    auto* context =
        static_cast<PWINIBIO_SENSOR_CONTEXT>(ProcessHeapAlloc(sizeof(*Pipeline->SensorContext)));
    if (context == nullptr) {
        Pipeline->SensorContext = nullptr;
        MOC_TRACE_ERROR(kTraceGuidSensorAttach, 12, "no memory for the context: %!HRESULT!",
                        E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }

    HRESULT hr = S_OK;
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) {
        MOC_TRACE_ERROR(kTraceGuidSensorAttach, 13, "capture event not created: %!WINERROR!",
                        GetLastError());
        hr = E_OUTOFMEMORY;
    } else {
        context->CaptureOverlapped.hEvent = event;
        SensorResetCaptureState(context);
        context->AttributesCapacity = sizeof(context->Attributes);
        context->CaptureBuffer = nullptr;
        context->CaptureBufferSize = MOC_CAPTURE_BUFFER_SIZE;
        context->SampleFormat = {WINBIO_NO_FORMAT_OWNER_AVAILABLE, WINBIO_NO_FORMAT_TYPE_AVAILABLE};
        context->ExportBuffer = nullptr;

        // A chip that does not answer still gets a unit: its label is that of
        // the preset identifier.
        MocSensorId sensorId;
        DeviceRequest request(Pipeline, IOCTL_MOC_GET_SENSOR_ID);
        if (FAILED(request.Output(&sensorId, sizeof(sensorId), sizeof(sensorId), 0xFF).Send())) {
            MOC_TRACE_INFO(
                kTraceGuidSensorAttach, 14,
                "sensor id not read (%!WINERROR!): the unit is named after the preset id",
                request.Error());
            std::memset(&sensorId, 0xFF, sizeof(sensorId));
        }
        if (!Sha256Digest(sensorId.Bytes, sizeof(sensorId.Bytes), context->SensorIdDigest)) {
            MOC_TRACE_ERROR(kTraceGuidSensorAttach, 15, "the digest of the sensor id failed");
        }
        HashToHex(context->SensorIdDigest, context->UnitLabel);

        CertificateChain chains[kEmbeddedChainCount];
        BuildCertificateChains(chains);
        hr = MocCreateSecureConnection(Pipeline, chains, kEmbeddedChainCount,
                                       &context->SecureConnection);
        if (FAILED(hr)) {
            MOC_TRACE_ERROR(kTraceGuidSensorAttach, 16, "secure connection not created: %!HRESULT!",
                            context->UnitLabel, hr);
        }
    }
    MOC_TRACE_INFO(kTraceGuidSensorAttach, 17, "attach returns %!HRESULT!", context->UnitLabel, hr);
    Pipeline->SensorContext = context;
    return hr;
}

HRESULT WINAPI SensorAdapterDetach(PWINBIO_PIPELINE Pipeline) {
    MOC_TRACE_INFO(kTraceGuidSensorAdapter, 10, "detach");
    PWINIBIO_SENSOR_CONTEXT context;
    HRESULT hr = SensorContextOf(Pipeline, &context);
    if (FAILED(hr)) {
        return SensorTraced(nullptr, 11, "detach refused: %!HRESULT!", hr);
    }
    SensorDrainCapture(Pipeline, context);

    // Overwritten through a volatile pointer, so that the wipe is not dropped
    // as a store to memory about to be freed.
    volatile BYTE* attributes = reinterpret_cast<volatile BYTE*>(&context->Attributes);
    const DWORD wipe = context->AttributesCapacity < sizeof(context->Attributes)
                           ? context->AttributesCapacity
                           : static_cast<DWORD>(sizeof(context->Attributes));
    for (DWORD i = 0; i < wipe; ++i) {
        attributes[i] = 0;
    }
    context->AttributesCapacity = 0;

    if (context->CaptureOverlapped.hEvent != nullptr) {
        CloseHandle(context->CaptureOverlapped.hEvent);
        context->CaptureOverlapped.hEvent = nullptr;
    }
    delete[] context->CaptureBuffer;
    context->CaptureBuffer = nullptr;
    delete[] context->ExportBuffer;
    context->ExportBuffer = nullptr;
    if (context->SecureConnection != nullptr) {
        MocDestroySecureConnection(context->SecureConnection);
        context->SecureConnection = nullptr;
    }
    MOC_TRACE_INFO(kTraceGuidSensorAdapter, 12, "context freed", context->UnitLabel);
    ProcessHeapFree(context);
    Pipeline->SensorContext = nullptr;
    return S_OK;
}

HRESULT WINAPI SensorAdapterClearContext(PWINBIO_PIPELINE Pipeline) {
    PWINIBIO_SENSOR_CONTEXT context;
    HRESULT hr = SensorContextOf(Pipeline, &context);
    return SensorTraced(context, 13, "clear context returns %!HRESULT!", hr);
}

// ---------------------------------------------------------------------------
// Slots that send nothing
// ---------------------------------------------------------------------------

HRESULT WINAPI SensorAdapterSetMode(PWINBIO_PIPELINE Pipeline, WINBIO_SENSOR_MODE Mode) {
    PWINIBIO_SENSOR_CONTEXT context;
    HRESULT hr = SensorContextOf(Pipeline, &context);
    if (SUCCEEDED(hr)) {
        MOC_TRACE_INFO(kTraceGuidSensorAdapter, 14, "set mode %u", context->UnitLabel, Mode);
        hr = Mode <= WINBIO_SENSOR_SLEEP_MODE ? S_OK : WINBIO_E_INVALID_SENSOR_MODE;
    }
    return SensorTraced(context, 15, "set mode returns %!HRESULT!", hr);
}

HRESULT WINAPI SensorAdapterSetIndicatorStatus(PWINBIO_PIPELINE Pipeline,
                                               WINBIO_INDICATOR_STATUS IndicatorStatus) {
    PWINIBIO_SENSOR_CONTEXT context;
    HRESULT hr;
    // A status of 0 is refused as a missing argument.
    if (Pipeline == nullptr || IndicatorStatus == 0) {
        hr = E_POINTER;
        context = nullptr;
    } else {
        hr = SensorContextOf(Pipeline, &context);
    }
    if (SUCCEEDED(hr)) {
        hr = IndicatorStatus == WINBIO_INDICATOR_ON || IndicatorStatus == WINBIO_INDICATOR_OFF
                 ? S_OK
                 : E_INVALIDARG;
    }
    return SensorTraced(context, 16, "set indicator status returns %!HRESULT!", hr);
}

HRESULT WINAPI SensorAdapterGetIndicatorStatus(PWINBIO_PIPELINE, PWINBIO_INDICATOR_STATUS) {
    return NotImplemented(17);
}

HRESULT WINAPI SensorAdapterNotifyPowerChange(PWINBIO_PIPELINE Pipeline, ULONG PowerEventType) {
    PWINIBIO_SENSOR_CONTEXT context;
    HRESULT hr = SensorContextOf(Pipeline, &context);
    if (SUCCEEDED(hr)) {
        hr = PowerEventType == PBT_APMSUSPEND || PowerEventType == PBT_APMPOWERSTATUSCHANGE ||
                     PowerEventType == PBT_APMRESUMEAUTOMATIC
                 ? S_OK
                 : E_INVALIDARG;
    }
    return SensorTraced(context, 18, "power change returns %!HRESULT!", hr);
}

HRESULT WINAPI SensorAdapterPipelineInit(PWINBIO_PIPELINE Pipeline) {
    PWINIBIO_SENSOR_CONTEXT context;
    HRESULT hr = SensorContextOf(Pipeline, &context);
    return SensorTraced(context, 19, "pipeline init returns %!HRESULT!", hr);
}

HRESULT WINAPI SensorAdapterPipelineCleanup(PWINBIO_PIPELINE Pipeline) {
    PWINIBIO_SENSOR_CONTEXT context;
    HRESULT hr = SensorContextOf(Pipeline, &context);
    return SensorTraced(context, 20, "pipeline cleanup returns %!HRESULT!", hr);
}

HRESULT WINAPI SensorAdapterQueryExtendedInfo(PWINBIO_PIPELINE Pipeline,
                                              PWINBIO_EXTENDED_SENSOR_INFO SensorInfo,
                                              SIZE_T SensorInfoSize) {
    PWINIBIO_SENSOR_CONTEXT context = nullptr;
    HRESULT hr = SensorInfo == nullptr ? E_POINTER : SensorContextOf(Pipeline, &context);
    if (SUCCEEDED(hr)) {
        // Only the two leading fields are written; the rest is the caller's.
        if (SensorInfoSize < 2 * sizeof(ULONG)) {
            hr = E_INVALIDARG;
        } else {
            SensorInfo->GenericSensorCapabilities = kGenericSensorCapabilities;
            SensorInfo->Factor = WINBIO_TYPE_FINGERPRINT;
        }
    }
    return SensorTraced(context, 21, "query extended info returns %!HRESULT!", hr);
}

HRESULT WINAPI SensorAdapterQueryCalibrationFormats(PWINBIO_PIPELINE, PWINBIO_UUID, SIZE_T,
                                                    PSIZE_T) {
    return NotImplemented(22);
}

HRESULT WINAPI SensorAdapterSetCalibrationFormat(PWINBIO_PIPELINE, PWINBIO_UUID) {
    return NotImplemented(23);
}

HRESULT WINAPI SensorAdapterAcceptCalibrationData(PWINBIO_PIPELINE, PUCHAR, SIZE_T) {
    return NotImplemented(24);
}

HRESULT WINAPI SensorAdapterAsyncImportRawBuffer(PWINBIO_PIPELINE, PUCHAR, SIZE_T, PUCHAR*,
                                                 PSIZE_T) {
    return NotImplemented(25);
}

HRESULT WINAPI SensorAdapterAsyncImportSecureBuffer(PWINBIO_PIPELINE, GUID, PUCHAR, SIZE_T, PUCHAR*,
                                                    PSIZE_T) {
    return NotImplemented(26);
}

HRESULT WINAPI SensorAdapterQueryPrivateSensorType(PWINBIO_PIPELINE, PUCHAR, SIZE_T, PSIZE_T) {
    return NotImplemented(27);
}

HRESULT WINAPI SensorAdapterStartCaptureEx(PWINBIO_PIPELINE, WINBIO_BIR_PURPOSE, const void*,
                                           SIZE_T, UCHAR, LPOVERLAPPED*) {
    return NotImplemented(28);
}

HRESULT WINAPI SensorAdapterStartNotifyWake(PWINBIO_PIPELINE, LPOVERLAPPED*) {
    return NotImplemented(29);
}

HRESULT WINAPI SensorAdapterFinishNotifyWake(PWINBIO_PIPELINE, PWINBIO_REJECT_DETAIL) {
    return NotImplemented(30);
}
