// The engine's private control codes between a privileged client and the
// driver, power notifications, activation and deactivation.
#include <cstring>
#include <memory>
#include <new>
#include <wtsapi32.h>

#include "common/byte_order.h"
#include "common/file_utils.h"
#include "common/trace.h"
#include "device/device_request.h"
#include "engine/engine_adapter.h"

namespace {

const GUID& kTrace = kTraceGuidEngineControl;

constexpr DWORD kLockStateUnknown = 255;
// Reply bytes beside the match data: the driver's byte 0, the match result
// code and 8 bytes of match detail in front, then the driver's L + 4.
constexpr uint64_t kMatchDataReplyExtra = 14;
constexpr uint64_t kMatchDataDriverExtra = 5;
constexpr DWORD kMatchDataCountExtra = 9;
constexpr BYTE kMatchCodeUnknownId = 11;
constexpr BYTE kMatchCodeOtherFailure = 12;

bool IsEngineControlCode(ULONG code) {
    switch (code) {
    case IOCTL_MOC_SET_MATCH_DATA_LENGTH:
    case IOCTL_MOC_READ_MATCH_DATA:
    case IOCTL_MOC_READ_MATCH_DATA_EX:
    case IOCTL_MOC_PRIVATE_COMMAND_1:
    case IOCTL_MOC_PRIVATE_COMMAND_2:
        return true;
    default:
        return false;
    }
}

HRESULT Finish(USHORT number, TraceText text, PWINIBIO_ENGINE_CONTEXT context, HRESULT hr) {
    return TraceEngineResult(kTrace, number, text, context, hr);
}

// The common start of both control operations; S_OK with the context.
HRESULT StartControl(PWINBIO_PIPELINE pipeline, ULONG code, PUCHAR sendBuffer,
                     SIZE_T sendBufferSize, PUCHAR receiveBuffer, SIZE_T receiveBufferSize,
                     PSIZE_T receiveDataSize, PULONG operationStatus,
                     PWINIBIO_ENGINE_CONTEXT* context) {
    HRESULT hr = StartControlSlot(pipeline, sendBuffer, receiveBuffer, receiveBufferSize,
                                  receiveDataSize, operationStatus);
    if (FAILED(hr)) {
        return hr;
    }
    *context = UsableEngineContext(pipeline);
    if (*context == nullptr) {
        return WINBIO_E_INVALID_DEVICE_STATE;
    }
    MOC_TRACE_INFO(kTrace, 10, "control code 0x%08X, %llu bytes to send, room for %llu",
                   (*context)->UnitLabel, code, sendBufferSize, receiveBufferSize);
    return S_OK;
}

HRESULT ResultOf(PWINIBIO_ENGINE_CONTEXT context, DWORD error, PULONG operationStatus) {
    *operationStatus = error;
    if (error == ERROR_SUCCESS) {
        return S_OK;
    }
    MOC_TRACE_ERROR(kTrace, 11, "control request failed: %!WINERROR!", context->UnitLabel, error);
    return WinBioErrorFromWin32(error);
}

// The result code of the last chip identify, as the match-data reply carries it.
BYTE MatchResultCode(const WINIBIO_ENGINE_CONTEXT& context) {
    if (context.LastMatchResult == S_OK || context.LastMatchResult == WINBIO_E_BAD_CAPTURE) {
        return static_cast<BYTE>(context.LastRejectDetail);
    }
    return context.LastMatchResult == WINBIO_E_UNKNOWN_ID ? kMatchCodeUnknownId
                                                          : kMatchCodeOtherFailure;
}

HRESULT ReadMatchData(PWINBIO_PIPELINE pipeline, PWINIBIO_ENGINE_CONTEXT context, ULONG code,
                      PUCHAR sendBuffer, DWORD sendBufferSize, PUCHAR receiveBuffer,
                      DWORD receiveBufferSize, PSIZE_T receiveDataSize, PULONG operationStatus) {
    const uint64_t length = context->MatchDataLength;
    // The reply is written whole whatever the driver does, so it must fit the
    // caller's buffer before anything is sent; in 64 bits no length wraps.
    if (length + kMatchDataReplyExtra > receiveBufferSize) {
        MOC_TRACE_ERROR(kTrace, 12, "match data of %u bytes does not fit a reply buffer of %u",
                        context->UnitLabel, context->MatchDataLength, receiveBufferSize);
        return E_INVALIDARG;
    }
    const DWORD driverSize = static_cast<DWORD>(length + kMatchDataDriverExtra);
    std::unique_ptr<BYTE[]> answer(new (std::nothrow) BYTE[driverSize]());
    if (!answer) {
        return E_OUTOFMEMORY;
    }
    DWORD count = 0;
    const DWORD error =
        SendOverlappedAndWait(pipeline->SensorHandle, &context->Overlapped, code, sendBuffer,
                              sendBufferSize, answer.get(), driverSize, &count);
    // Built on every outcome, from the zeroed buffer where the driver wrote nothing.
    receiveBuffer[0] = answer[0];
    receiveBuffer[1] = MatchResultCode(*context);
    std::memcpy(receiveBuffer + 2, &context->LastMatchDetail, 8);
    std::memcpy(receiveBuffer + 10, answer.get() + 1, driverSize - 1);
    // Both reads build the same reply, so both report its size the same way.
    *receiveDataSize = static_cast<SIZE_T>(count) + kMatchDataCountExtra;
    return ResultOf(context, error, operationStatus);
}

} // namespace

HRESULT WINAPI EngineAdapterControlUnit(PWINBIO_PIPELINE Pipeline, ULONG ControlCode,
                                        PUCHAR SendBuffer, SIZE_T SendBufferSize,
                                        PUCHAR ReceiveBuffer, SIZE_T ReceiveBufferSize,
                                        PSIZE_T ReceiveDataSize, PULONG OperationStatus) {
    PWINIBIO_ENGINE_CONTEXT context = nullptr;
    HRESULT hr = StartControl(Pipeline, ControlCode, SendBuffer, SendBufferSize, ReceiveBuffer,
                              ReceiveBufferSize, ReceiveDataSize, OperationStatus, &context);
    if (SUCCEEDED(hr)) {
        hr = IsEngineControlCode(ControlCode) ? S_OK : E_INVALIDARG;
    }
    return Finish(13, "control unit returns %!HRESULT!", context, hr);
}

HRESULT WINAPI EngineAdapterControlUnitPrivileged(PWINBIO_PIPELINE Pipeline, ULONG ControlCode,
                                                  PUCHAR SendBuffer, SIZE_T SendBufferSize,
                                                  PUCHAR ReceiveBuffer, SIZE_T ReceiveBufferSize,
                                                  PSIZE_T ReceiveDataSize, PULONG OperationStatus) {
    PWINIBIO_ENGINE_CONTEXT context = nullptr;
    HRESULT hr = StartControl(Pipeline, ControlCode, SendBuffer, SendBufferSize, ReceiveBuffer,
                              ReceiveBufferSize, ReceiveDataSize, OperationStatus, &context);
    if (FAILED(hr)) {
        return Finish(14, "privileged control unit returns %!HRESULT!", context, hr);
    }
    if (!IsEngineControlCode(ControlCode)) {
        return Finish(14, "privileged control unit returns %!HRESULT!", context, E_INVALIDARG);
    }
    // The driver takes 32-bit sizes; a larger one cannot be passed on as it is.
    if (SendBufferSize > 0xFFFFFFFFu || ReceiveBufferSize > 0xFFFFFFFFu) {
        return Finish(14, "privileged control unit returns %!HRESULT!", context, E_INVALIDARG);
    }
    const DWORD sendSize = static_cast<DWORD>(SendBufferSize);
    const DWORD receiveSize = static_cast<DWORD>(ReceiveBufferSize);

    if (ControlCode == IOCTL_MOC_READ_MATCH_DATA || ControlCode == IOCTL_MOC_READ_MATCH_DATA_EX) {
        hr = ReadMatchData(Pipeline, context, ControlCode, SendBuffer, sendSize, ReceiveBuffer,
                           receiveSize, ReceiveDataSize, OperationStatus);
        return Finish(14, "privileged control unit returns %!HRESULT!", context, hr);
    }
    if (ControlCode == IOCTL_MOC_SET_MATCH_DATA_LENGTH) {
        if (sendSize < sizeof(DWORD)) {
            return Finish(14, "privileged control unit returns %!HRESULT!", context, E_INVALIDARG);
        }
        // Kept before the request: the length changes even when the driver fails it.
        context->MatchDataLength = ReadLe32(SendBuffer);
    }
    DWORD count = 0;
    const DWORD error =
        SendOverlappedAndWait(Pipeline->SensorHandle, &context->Overlapped, ControlCode, SendBuffer,
                              sendSize, ReceiveBuffer, receiveSize, &count);
    *ReceiveDataSize = count;
    return Finish(14, "privileged control unit returns %!HRESULT!", context,
                  ResultOf(context, error, OperationStatus));
}

HRESULT WINAPI EngineAdapterNotifyPowerChange(PWINBIO_PIPELINE Pipeline, ULONG PowerEventType) {
    PWINIBIO_ENGINE_CONTEXT context = nullptr;
    HRESULT hr = StartEngineOperation(Pipeline, true, &context);
    if (FAILED(hr)) {
        return Finish(15, "power change returns %!HRESULT!", context, hr);
    }
    const char* label = context->UnitLabel;
    switch (PowerEventType) {
    case PBT_APMSUSPEND:
    case PBT_APMRESUMEAUTOMATIC:
        MOC_TRACE_INFO(kTrace, 16, "power event 0x%X", label, PowerEventType);
        return Finish(15, "power change returns %!HRESULT!", context, S_OK);
    case PBT_APMPOWERSTATUSCHANGE:
        break;
    default:
        return Finish(15, "power change returns %!HRESULT!", context, E_INVALIDARG);
    }
    SYSTEM_POWER_STATUS status;
    if (!GetSystemPowerStatus(&status)) {
        MOC_TRACE_ERROR(kTrace, 17, "power status not read: %!WINERROR!", label, GetLastError());
        return Finish(15, "power change returns %!HRESULT!", context, S_OK);
    }
    switch (status.ACLineStatus) {
    case AC_LINE_OFFLINE:
        MOC_TRACE_INFO(kTrace, 18, "on battery, %u percent left", label, status.BatteryLifePercent);
        break;
    case AC_LINE_ONLINE:
        if (status.BatteryFlag & BATTERY_FLAG_CHARGING) {
            MOC_TRACE_INFO(kTrace, 19, "on AC power: %s", label, "Charging");
        } else if (status.BatteryFlag & BATTERY_FLAG_NO_BATTERY) {
            MOC_TRACE_INFO(kTrace, 19, "on AC power: %s", label, "No system battery");
        } else {
            MOC_TRACE_INFO(kTrace, 20, "on AC power, battery full", label);
        }
        break;
    case AC_LINE_UNKNOWN:
        MOC_TRACE_INFO(kTrace, 21, "AC power state unknown", label);
        break;
    default:
        MOC_TRACE_INFO(kTrace, 22, "AC line status %u", label, status.ACLineStatus);
        break;
    }
    return Finish(15, "power change returns %!HRESULT!", context, S_OK);
}

void TraceConsoleSessionLockState(const char* unitLabel) {
    DWORD state = kLockStateUnknown;
    GetConsoleSessionLockState(&state);
    if (state == WTS_SESSIONSTATE_LOCK) {
        MOC_TRACE_INFO(kTrace, 23, "console session %s", unitLabel, "locked");
    } else if (state == WTS_SESSIONSTATE_UNLOCK) {
        MOC_TRACE_INFO(kTrace, 23, "console session %s", unitLabel, "unlocked");
    } else if (state == kLockStateUnknown) {
        MOC_TRACE_INFO(kTrace, 24, "console session lock state unknown: %!WINERROR!", unitLabel,
                       GetLastError());
    }
}

HRESULT WINAPI EngineAdapterActivate(PWINBIO_PIPELINE Pipeline) {
    MOC_TRACE_INFO(kTrace, 25, "activate");
    PWINIBIO_ENGINE_CONTEXT context = nullptr;
    HRESULT hr = StartEngineOperation(Pipeline, true, &context);
    if (FAILED(hr)) {
        return Finish(26, "activate returns %!HRESULT!", context, hr);
    }
    TraceConsoleSessionLockState(context->UnitLabel);
    // Any open enrollment ends here on the host side, and an authenticated
    // start is forgotten; the chip is not told.
    context->Enrolling = FALSE;
    context->AuthenticatedStartResult = S_OK;
    context->AuthenticatedStartDone = FALSE;
    return Finish(26, "activate returns %!HRESULT!", context, S_OK);
}

HRESULT WINAPI EngineAdapterDeactivate(PWINBIO_PIPELINE Pipeline) {
    MOC_TRACE_INFO(kTrace, 27, "deactivate");
    PWINIBIO_ENGINE_CONTEXT context = nullptr;
    HRESULT hr = StartEngineOperation(Pipeline, true, &context);
    if (FAILED(hr)) {
        return Finish(28, "deactivate returns %!HRESULT!", context, hr);
    }
    DWORD state = kLockStateUnknown;
    GetConsoleSessionLockState(&state);
    MOC_TRACE_INFO(kTrace, 29, "deactivate, console session %s", context->UnitLabel,
                   state == WTS_SESSIONSTATE_LOCK     ? "WTS_SESSIONSTATE_LOCK"
                   : state == WTS_SESSIONSTATE_UNLOCK ? "WTS_SESSIONSTATE_UNLOCK"
                                                      : "UNKNOWN");
    hr = DeviceRequest(Pipeline, IOCTL_MOC_NOTIFY_DEACTIVATE).Send();
    if (FAILED(hr)) {
        MOC_TRACE_ERROR(kTrace, 30, "deactivation notice not sent: %!WINERROR!", context->UnitLabel,
                        Win32ErrorOf(hr));
    } else {
        MOC_TRACE_INFO(kTrace, 31, "the chip was told of the deactivation", context->UnitLabel);
    }
    return Finish(28, "deactivate returns %!HRESULT!", context, S_OK);
}
