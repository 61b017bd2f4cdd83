// Sensor status and reset through the platform's control codes, and the
// sensor's two private control codes: accepted by ControlUnit, forwarded by
// ControlUnitPrivileged on the context's OVERLAPPED.
#include "common/trace.h"
#include "device/device_request.h"
#include "device/driver_interface.h"
#include "sensor/sensor_adapter.h"

namespace {

bool IsSensorPrivateCode(ULONG code) {
    return code == IOCTL_MOC_SENSOR_PRIVATE_SET || code == IOCTL_MOC_SENSOR_PRIVATE_GET;
}

// Steps both control slots share: the pointer tests, the cleared outputs,
// the context.
HRESULT BeginControl(PWINBIO_PIPELINE pipeline, ULONG code, PUCHAR send, SIZE_T sendSize,
                     PUCHAR receive, SIZE_T receiveSize, PSIZE_T received, PULONG status,
                     PWINIBIO_SENSOR_CONTEXT* context) {
    *context = nullptr;
    HRESULT hr = StartControlSlot(pipeline, send, receive, receiveSize, received, status);
    if (SUCCEEDED(hr)) {
        hr = SensorContextOf(pipeline, context);
    }
    if (SUCCEEDED(hr)) {
        MOC_TRACE_INFO(kTraceGuidSensorAdapter, 80,
                       "control code 0x%08X, %llu bytes to send, room for %llu",
                       (*context)->UnitLabel, code, sendSize, receiveSize);
    }
    return hr;
}

} // namespace

HRESULT WINAPI SensorAdapterQueryStatus(PWINBIO_PIPELINE Pipeline, PWINBIO_SENSOR_STATUS Status) {
    if (Pipeline == nullptr || Status == nullptr) {
        return SensorTraced(nullptr, 81, "query status returns %!HRESULT!", E_POINTER);
    }
    *Status = WINBIO_SENSOR_STATUS_UNKNOWN;
    PWINIBIO_SENSOR_CONTEXT context;
    HRESULT hr = SensorContextOf(Pipeline, &context);
    if (FAILED(hr)) {
        return SensorTraced(nullptr, 81, "query status returns %!HRESULT!", hr);
    }
    // The whole record is required: SensorStatus lies past its first bytes.
    WINBIO_DIAGNOSTICS diagnostics;
    hr = SensorRequest(Pipeline, context, IOCTL_BIOMETRIC_GET_SENSOR_STATUS, &diagnostics,
                       sizeof(diagnostics), sizeof(diagnostics));
    if (SUCCEEDED(hr)) {
        *Status = diagnostics.SensorStatus;
    }
    return SensorTraced(context, 81, "query status returns %!HRESULT!", hr);
}

HRESULT WINAPI SensorAdapterReset(PWINBIO_PIPELINE Pipeline) {
    PWINIBIO_SENSOR_CONTEXT context;
    HRESULT hr = SensorContextOf(Pipeline, &context);
    if (FAILED(hr)) {
        return SensorTraced(nullptr, 83, "reset returns %!HRESULT!", hr);
    }
    WINBIO_BLANK_PAYLOAD reply;
    hr = SensorRequest(Pipeline, context, IOCTL_BIOMETRIC_RESET, &reply, sizeof(reply),
                       sizeof(reply));
    return SensorTraced(context, 83, "reset returns %!HRESULT!",
                        FAILED(hr) ? hr : reply.WinBioHresult);
}

HRESULT WINAPI SensorAdapterControlUnit(PWINBIO_PIPELINE Pipeline, ULONG ControlCode,
                                        PUCHAR SendBuffer, SIZE_T SendBufferSize,
                                        PUCHAR ReceiveBuffer, SIZE_T ReceiveBufferSize,
                                        PSIZE_T ReceiveDataSize, PULONG OperationStatus) {
    PWINIBIO_SENSOR_CONTEXT context;
    HRESULT hr = BeginControl(Pipeline, ControlCode, SendBuffer, SendBufferSize, ReceiveBuffer,
                              ReceiveBufferSize, ReceiveDataSize, OperationStatus, &context);
    if (SUCCEEDED(hr)) {
        hr = IsSensorPrivateCode(ControlCode) ? S_OK : E_INVALIDARG;
    }
    return SensorTraced(context, 85, "control unit returns %!HRESULT!", hr);
}

HRESULT WINAPI SensorAdapterControlUnitPrivileged(PWINBIO_PIPELINE Pipeline, ULONG ControlCode,
                                                  PUCHAR SendBuffer, SIZE_T SendBufferSize,
                                                  PUCHAR ReceiveBuffer, SIZE_T ReceiveBufferSize,
                                                  PSIZE_T ReceiveDataSize, PULONG OperationStatus) {
    PWINIBIO_SENSOR_CONTEXT context;
    HRESULT hr = BeginControl(Pipeline, ControlCode, SendBuffer, SendBufferSize, ReceiveBuffer,
                              ReceiveBufferSize, ReceiveDataSize, OperationStatus, &context);
    if (FAILED(hr)) {
        return SensorTraced(context, 86, "privileged control unit returns %!HRESULT!", hr);
    }
    if (ControlCode == IOCTL_MOC_SENSOR_PRIVATE_SET) {
        if (SendBufferSize != 1) {
            return SensorTraced(context, 86, "privileged control unit returns %!HRESULT!",
                                E_INVALIDARG);
        }
    } else if (ControlCode == IOCTL_MOC_SENSOR_PRIVATE_GET) {
        if (ReceiveBufferSize != MOC_SENSOR_PRIVATE_GET_SIZE) {
            return SensorTraced(context, 86, "privileged control unit returns %!HRESULT!",
                                E_INVALIDARG);
        }
    } else {
        return SensorTraced(context, 86, "privileged control unit returns %!HRESULT!",
                            E_INVALIDARG);
    }
    // The request takes 32-bit sizes.
    if (SendBufferSize > 0xFFFFFFFFu || ReceiveBufferSize > 0xFFFFFFFFu) {
        return SensorTraced(context, 86, "privileged control unit returns %!HRESULT!",
                            E_INVALIDARG);
    }
    // The OVERLAPPED is the capture's: a request on it now would take over the
    // outcome that FinishCapture is to read.
    if (context->CaptureInFlight != 0) {
        return SensorTraced(context, 86, "privileged control unit returns %!HRESULT!",
                            WINBIO_E_DEVICE_BUSY);
    }

    DWORD received = 0;
    const DWORD error =
        SendOverlappedAndWait(Pipeline->SensorHandle, &context->CaptureOverlapped, ControlCode,
                              SendBuffer, static_cast<DWORD>(SendBufferSize), ReceiveBuffer,
                              static_cast<DWORD>(ReceiveBufferSize), &received);
    *OperationStatus = error;
    if (error != ERROR_SUCCESS) {
        MOC_TRACE_ERROR(kTraceGuidSensorAdapter, 87, "private request failed: %!WINERROR!",
                        context->UnitLabel, error);
        return SensorTraced(context, 86, "privileged control unit returns %!HRESULT!",
                            WinBioErrorFromWin32(error));
    }
    *ReceiveDataSize = received;
    return SensorTraced(context, 86, "privileged control unit returns %!HRESULT!", S_OK);
}
