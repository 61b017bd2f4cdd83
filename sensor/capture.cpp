// Sample capture and its hand-over: activation, the format negotiation, the
// overlapped capture request on the context's OVERLAPPED, the wait and the
// judgement of the sample, cancel, export and the push to the engine.
#include <cstring>
#include <new>

#include "common/trace.h"
#include "device/capture_data.h"
#include "device/driver_interface.h"
#include "sensor/sensor_adapter.h"

namespace {

// The bits of the context's capture state. StartCapture and Cancel run on
// different threads and change both bits, each change in one atomic step: a
// Cancel either finds the start marked and leaves its bit for it, or comes
// before the start and cancels nothing of it.
constexpr LONG kCaptureStarting = 1;  // StartCapture runs and its request is not out yet
constexpr LONG kCaptureCancelled = 2; // cancelled since the start began; FinishCapture reports it

// Replaces the capture state with next(state) in one atomic step; returns the
// state it replaced.
template <class Next> LONG UpdateCaptureState(PWINIBIO_SENSOR_CONTEXT context, Next next) {
    LONG seen = InterlockedCompareExchange(&context->CaptureState, 0, 0);
    for (;;) {
        const LONG before = seen;
        seen = InterlockedCompareExchange(&context->CaptureState, next(before), before);
        if (seen == before) {
            return before;
        }
    }
}

bool CaptureCancelled(PWINIBIO_SENSOR_CONTEXT context) {
    return (InterlockedCompareExchange(&context->CaptureState, 0, 0) & kCaptureCancelled) != 0;
}

// Clears the cancel bit; true when it was set.
bool ConsumeCancel(PWINIBIO_SENSOR_CONTEXT context) {
    return (UpdateCaptureState(context, [](LONG s) { return s & ~kCaptureCancelled; }) &
            kCaptureCancelled) != 0;
}

// True while the capture sent on the context's OVERLAPPED has not completed.
bool CapturePending(PWINBIO_PIPELINE pipeline, PWINIBIO_SENSOR_CONTEXT context) {
    if (context->CaptureInFlight == 0) {
        return false;
    }
    DWORD bytes = 0;
    if (GetOverlappedResult(pipeline->SensorHandle, &context->CaptureOverlapped, &bytes, FALSE)) {
        return false;
    }
    return GetLastError() == ERROR_IO_INCOMPLETE;
}

// The engine's preferred format if the sensor lists it, else the standard
// one. Kept in the context only once every step has succeeded, so that a
// failed step is tried again at the next capture.
HRESULT NegotiateSampleFormat(PWINBIO_PIPELINE pipeline, PWINIBIO_SENSOR_CONTEXT context) {
    PWINBIO_ENGINE_INTERFACE engine = pipeline->EngineInterface;
    if (engine == nullptr) {
        return E_POINTER;
    }
    if (engine->QueryPreferredFormat == nullptr) {
        return E_NOTIMPL;
    }
    WINBIO_REGISTERED_FORMAT format = context->SampleFormat;
    WINBIO_UUID vendorFormat = context->VendorFormat;
    HRESULT hr = engine->QueryPreferredFormat(pipeline, &format, &vendorFormat);
    if (FAILED(hr)) {
        return hr;
    }
    hr = SensorQueryAttributes(pipeline);
    if (FAILED(hr)) {
        return hr;
    }
    // The record has room for one entry, whatever the count claims.
    const WINBIO_SENSOR_ATTRIBUTES& attributes = context->Attributes;
    constexpr DWORD kRoom =
        sizeof(attributes.SupportedFormat) / sizeof(attributes.SupportedFormat[0]);
    const DWORD entries =
        attributes.SupportedFormatEntries < kRoom ? attributes.SupportedFormatEntries : kRoom;
    bool listed = false;
    for (DWORD i = 0; i < entries && !listed; ++i) {
        listed = attributes.SupportedFormat[i].Owner == format.Owner &&
                 attributes.SupportedFormat[i].Type == format.Type;
    }
    if (!listed) {
        format = {WINBIO_ANSI_381_FORMAT_OWNER, WINBIO_ANSI_381_FORMAT_TYPE};
    }
    context->SampleFormat = format;
    context->VendorFormat = vendorFormat;
    MOC_TRACE_INFO(kTraceGuidSensorAdapter, 40, "sample format: owner 0x%04X, type 0x%04X",
                   context->UnitLabel, format.Owner, format.Type);
    return S_OK;
}

// Cancels the capture request on the context's OVERLAPPED, if it is still
// pending: only this context's request, and one that already completed is not
// found.
void CancelOwnCapture(PWINBIO_PIPELINE pipeline, PWINIBIO_SENSOR_CONTEXT context) {
    if (!CancelIoEx(pipeline->SensorHandle, &context->CaptureOverlapped) &&
        GetLastError() != ERROR_NOT_FOUND) {
        MOC_TRACE_ERROR(kTraceGuidSensorAdapter, 44,
                        "cancel of the own capture request failed: %!WINERROR!", context->UnitLabel,
                        GetLastError());
    }
}

// The verdict of a sample's status byte.
HRESULT JudgeStatus(BYTE status, PWINBIO_REJECT_DETAIL rejectDetail) {
    if (status == MOC_SAMPLE_STATUS_POOR) {
        *rejectDetail = WINBIO_FP_POOR_QUALITY;
        return WINBIO_E_BAD_CAPTURE;
    }
    if (status == MOC_SAMPLE_STATUS_NONE) {
        *rejectDetail = WINBIO_FP_POOR_QUALITY;
        return WINBIO_E_NO_CAPTURE_DATA;
    }
    return S_OK;
}

// Before the first usable enrollment sample of an activation: is there room
// for the template?
HRESULT CheckFreeSlot(PWINBIO_PIPELINE pipeline, PWINIBIO_SENSOR_CONTEXT context) {
    if (context->CapturePurpose != WINBIO_PURPOSE_ENROLL || context->FreeSlotCheckPending == 0) {
        return S_OK;
    }
    // The preset answer stands when the driver writes none.
    BYTE freeSlot = 0xFF;
    HRESULT hr = SensorRequest(pipeline, context, IOCTL_MOC_CHECK_FREE_SLOT, &freeSlot,
                               sizeof(freeSlot), 0, 0xFF);
    if (FAILED(hr)) {
        return hr;
    }
    MOC_TRACE_INFO(kTraceGuidSensorAdapter, 43, "free slot answer %u (0: the chip is full)",
                   context->UnitLabel, freeSlot);
    context->FreeSlotCheckPending = 0;
    return freeSlot == 0 ? WINBIO_E_DATABASE_FULL : S_OK;
}

// Everything StartCapture does once it has cleared the cancel flag: the
// format, the parameters, the buffer and the request. `*sent` tells whether
// the request is out.
HRESULT SendCapture(PWINBIO_PIPELINE pipeline, PWINIBIO_SENSOR_CONTEXT context,
                    WINBIO_BIR_PURPOSE purpose, bool* sent) {
    *sent = false;
    if (context->SampleFormat.Owner == WINBIO_NO_FORMAT_OWNER_AVAILABLE &&
        context->SampleFormat.Type == WINBIO_NO_FORMAT_TYPE_AVAILABLE) {
        HRESULT hr = NegotiateSampleFormat(pipeline, context);
        if (FAILED(hr)) {
            return hr;
        }
    }

    WINBIO_CAPTURE_PARAMETERS params;
    std::memset(&params, 0, sizeof(params));
    params.PayloadSize = sizeof(params);
    params.Purpose = purpose;
    params.Format = context->SampleFormat;
    params.VendorFormat = context->VendorFormat;
    params.Flags = WINBIO_DATA_FLAG_RAW;

    if (context->CaptureBuffer == nullptr) {
        context->CaptureBuffer = new (std::nothrow) BYTE[context->CaptureBufferSize];
        if (context->CaptureBuffer == nullptr) {
            MOC_TRACE_ERROR(kTraceGuidSensorAdapter, 50,
                            "no memory for a capture buffer of %u bytes", context->UnitLabel,
                            context->CaptureBufferSize);
            return E_OUTOFMEMORY;
        }
    }
    // An earlier capture that completed unfinished is dropped with its sample:
    // only a request sent now is there to finish.
    std::memset(context->CaptureBuffer, 0, context->CaptureBufferSize);
    context->SampleSize = 0;
    context->CaptureInFlight = 0;

    // A cancel that came while the format was settled: nothing is sent.
    if (CaptureCancelled(context)) {
        return WINBIO_E_CANCELED;
    }
    OVERLAPPED& overlapped = context->CaptureOverlapped;
    HANDLE event = overlapped.hEvent;
    std::memset(&overlapped, 0, sizeof(overlapped));
    overlapped.hEvent = event;
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(pipeline->SensorHandle, IOCTL_BIOMETRIC_CAPTURE_DATA, &params,
                              sizeof(params), context->CaptureBuffer, context->CaptureBufferSize,
                              &returned, &overlapped);
    DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    if (ok || error == ERROR_IO_PENDING) {
        context->CaptureInFlight = 1;
        *sent = true;
        return S_OK;
    }
    MOC_TRACE_ERROR(kTraceGuidSensorAdapter, 51, "capture request not sent: %!WINERROR!",
                    context->UnitLabel, error);
    return WinBioErrorFromWin32(error);
}

} // namespace

void SensorResetCaptureState(PWINIBIO_SENSOR_CONTEXT Context) {
    Context->CapturePurpose = WINBIO_NO_PURPOSE_AVAILABLE;
    Context->FreeSlotCheckPending = 1;
    Context->CaptureDone = 0;
    Context->CaptureStatus = MOC_SAMPLE_STATUS_NONE;
}

void SensorDrainCapture(PWINBIO_PIPELINE Pipeline, PWINIBIO_SENSOR_CONTEXT Context) {
    if (Context->CaptureInFlight == 0) {
        return;
    }
    Context->CaptureInFlight = 0;
    Context->SampleSize = 0;
    CancelOwnCapture(Pipeline, Context);
    DWORD bytes = 0;
    GetOverlappedResult(Pipeline->SensorHandle, &Context->CaptureOverlapped, &bytes, TRUE);
}

HRESULT WINAPI SensorAdapterActivate(PWINBIO_PIPELINE Pipeline) {
    PWINIBIO_SENSOR_CONTEXT context;
    HRESULT hr = SensorContextOf(Pipeline, &context);
    if (SUCCEEDED(hr) && Pipeline->SensorHandle == INVALID_HANDLE_VALUE) {
        hr = WINBIO_E_INVALID_DEVICE_STATE;
    }
    if (SUCCEEDED(hr)) {
        SensorResetCaptureState(context);
        ConsumeCancel(context);
    }
    return SensorTraced(context, 45, "activate returns %!HRESULT!", hr);
}

HRESULT WINAPI SensorAdapterDeactivate(PWINBIO_PIPELINE Pipeline) {
    PWINIBIO_SENSOR_CONTEXT context;
    HRESULT hr = SensorContextOf(Pipeline, &context);
    if (SUCCEEDED(hr)) {
        SensorDrainCapture(Pipeline, context);
        delete[] context->CaptureBuffer;
        context->CaptureBuffer = nullptr;
        context->SampleSize = 0;
    }
    return SensorTraced(context, 46, "deactivate returns %!HRESULT!", hr);
}

HRESULT SensorQueryAttributes(PWINBIO_PIPELINE Pipeline) {
    PWINIBIO_SENSOR_CONTEXT context;
    HRESULT hr = SensorContextOf(Pipeline, &context);
    if (FAILED(hr)) {
        return hr;
    }
    const DWORD capacity = context->AttributesCapacity < sizeof(context->Attributes)
                               ? context->AttributesCapacity
                               : static_cast<DWORD>(sizeof(context->Attributes));
    hr = SensorRequest(Pipeline, context, IOCTL_BIOMETRIC_GET_ATTRIBUTES, &context->Attributes,
                       capacity, sizeof(context->Attributes));
    return FAILED(hr) ? hr : context->Attributes.WinBioHresult;
}

HRESULT WINAPI SensorAdapterStartCapture(PWINBIO_PIPELINE Pipeline, WINBIO_BIR_PURPOSE Purpose,
                                         LPOVERLAPPED* Overlapped) {
    if (Pipeline == nullptr || Purpose == WINBIO_NO_PURPOSE_AVAILABLE || Overlapped == nullptr) {
        return SensorTraced(nullptr, 48, "start capture returns %!HRESULT!", E_POINTER);
    }
    *Overlapped = nullptr;
    PWINIBIO_SENSOR_CONTEXT context;
    HRESULT hr = SensorContextOf(Pipeline, &context);
    if (FAILED(hr)) {
        return SensorTraced(nullptr, 48, "start capture returns %!HRESULT!", hr);
    }
    // Marked before anything else, in the step that drops the cancel of an
    // earlier capture: from here on a Cancel is this capture's.
    const LONG before = UpdateCaptureState(
        context, [](LONG s) { return (s & kCaptureStarting) != 0 ? s : kCaptureStarting; });
    MOC_TRACE_INFO(kTraceGuidSensorAdapter, 49, "start capture for purpose 0x%02X",
                   context->UnitLabel, Purpose);
    if ((before & kCaptureStarting) != 0) {
        return SensorTraced(context, 48, "start capture returns %!HRESULT!", WINBIO_E_DEVICE_BUSY);
    }
    // A second request on the OVERLAPPED would leave the first one writing
    // into the buffer that this one clears. The capture in flight keeps the
    // cancel it had, and any that came since.
    if (CapturePending(Pipeline, context)) {
        UpdateCaptureState(context, [before](LONG s) {
            return (s & ~kCaptureStarting) | (before & kCaptureCancelled);
        });
        return SensorTraced(context, 48, "start capture returns %!HRESULT!", WINBIO_E_DEVICE_BUSY);
    }
    context->CapturePurpose = Purpose;
    bool sent = false;
    hr = SendCapture(Pipeline, context, Purpose, &sent);
    // Nothing out: the capture ends here, and so does a cancel of it. Out: a
    // cancel stays for FinishCapture to report however the request ends.
    const LONG after =
        UpdateCaptureState(context, [sent](LONG s) { return sent ? s & ~kCaptureStarting : 0; });
    if ((after & kCaptureCancelled) != 0) {
        if (!sent) {
            hr = WINBIO_E_CANCELED;
        } else {
            // The cancel may have come before the request was pending, when
            // CancelIoEx had nothing to find.
            CancelOwnCapture(Pipeline, context);
        }
    }
    if (SUCCEEDED(hr)) {
        *Overlapped = &context->CaptureOverlapped;
    }
    return SensorTraced(context, 48, "start capture returns %!HRESULT!", hr);
}

HRESULT WINAPI SensorAdapterFinishCapture(PWINBIO_PIPELINE Pipeline,
                                          PWINBIO_REJECT_DETAIL RejectDetail) {
    if (Pipeline == nullptr || RejectDetail == nullptr) {
        return SensorTraced(nullptr, 52, "finish capture returns %!HRESULT!", E_POINTER);
    }
    *RejectDetail = 0;
    PWINIBIO_SENSOR_CONTEXT context;
    HRESULT hr = SensorContextOf(Pipeline, &context);
    if (FAILED(hr)) {
        return SensorTraced(nullptr, 52, "finish capture returns %!HRESULT!", hr);
    }
    // Without a capture of its own to wait for, the OVERLAPPED would report
    // the last request's outcome, and the buffer a stale or cleared sample.
    if (context->CaptureBuffer == nullptr || context->CaptureInFlight == 0) {
        return SensorTraced(context, 52, "finish capture returns %!HRESULT!",
                            WINBIO_E_NO_CAPTURE_DATA);
    }

    SetLastError(ERROR_SUCCESS);
    DWORD returned = 0;
    BOOL ok =
        GetOverlappedResult(Pipeline->SensorHandle, &context->CaptureOverlapped, &returned, TRUE);
    DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    context->CaptureInFlight = 0;
    CaptureSample sample;
    bool held = false;
    HRESULT verdict = S_OK; // of the sample's status byte, when there is a sample
    if (!ok) {
        MOC_TRACE_ERROR(kTraceGuidSensorAdapter, 53, "capture request failed: %!WINERROR!",
                        context->UnitLabel, error);
        hr = error == ERROR_DEVICE_NOT_AVAILABLE ? HRESULT_FROM_WIN32(error)
                                                 : WinBioErrorFromWin32(error);
    } else if (!ParseCaptureReply(context->CaptureBuffer, context->CaptureBufferSize, returned,
                                  &sample)) {
        MOC_TRACE_ERROR(kTraceGuidSensorAdapter, 41, "capture reply of %u bytes is malformed",
                        context->UnitLabel, returned);
        context->CaptureStatus = MOC_SAMPLE_STATUS_NONE;
        hr = WINBIO_E_DEVICE_FAILURE;
    } else {
        held = true;
        context->CaptureStatus = sample.Status;
        hr = verdict = JudgeStatus(sample.Status, RejectDetail);
        if (SUCCEEDED(hr)) {
            hr = CheckFreeSlot(Pipeline, context);
        }
    }
    SensorTraced(context, 52, "finish capture returns %!HRESULT!", hr);

    if (ConsumeCancel(context) && hr != WINBIO_E_CANCELED) {
        MOC_TRACE_INFO(kTraceGuidSensorAdapter, 54,
                       "a cancel came during the capture, which ended with %!HRESULT!",
                       context->UnitLabel, hr);
        hr = WINBIO_E_CANCELED;
    }
    // The sample goes on to export and push only under its own verdict: a
    // cancel, a full database or a failed free-slot request ends the capture
    // without one.
    if (held && hr == verdict) {
        context->CaptureDone = 1;
        context->SampleSize = sample.BirSize;
    }
    return hr;
}

HRESULT WINAPI SensorAdapterExportSensorData(PWINBIO_PIPELINE Pipeline, PWINBIO_BIR* SampleBuffer,
                                             PSIZE_T SampleSize) {
    if (Pipeline == nullptr || SampleBuffer == nullptr || SampleSize == nullptr) {
        return SensorTraced(nullptr, 55, "export sensor data returns %!HRESULT!", E_POINTER);
    }
    *SampleBuffer = nullptr;
    *SampleSize = 0;
    PWINIBIO_SENSOR_CONTEXT context;
    HRESULT hr = SensorContextOf(Pipeline, &context);
    if (FAILED(hr)) {
        return SensorTraced(nullptr, 55, "export sensor data returns %!HRESULT!", hr);
    }
    if (context->CaptureBuffer == nullptr || context->SampleSize == 0) {
        return SensorTraced(context, 55, "export sensor data returns %!HRESULT!",
                            WINBIO_E_NO_CAPTURE_DATA);
    }
    // Grown to the sample, so that a later, larger sample never runs past it.
    const DWORD size = context->SampleSize;
    if (context->ExportBuffer == nullptr || context->ExportBufferSize < size) {
        BYTE* grown = new (std::nothrow) BYTE[size];
        if (grown == nullptr) {
            return SensorTraced(context, 55, "export sensor data returns %!HRESULT!",
                                E_OUTOFMEMORY);
        }
        delete[] context->ExportBuffer;
        context->ExportBuffer = grown;
        context->ExportBufferSize = size;
    }
    std::memcpy(context->ExportBuffer, context->CaptureBuffer + MOC_CAPTURE_BIR_OFFSET, size);
    *SampleBuffer = reinterpret_cast<PWINBIO_BIR>(context->ExportBuffer);
    *SampleSize = size;
    MOC_TRACE_INFO(kTraceGuidSensorAdapter, 56, "exported a sample of %u bytes", context->UnitLabel,
                   size);
    return SensorTraced(context, 55, "export sensor data returns %!HRESULT!", S_OK);
}

HRESULT WINAPI SensorAdapterCancel(PWINBIO_PIPELINE Pipeline) {
    MOC_TRACE_INFO(kTraceGuidSensorAdapter, 57, "cancel");
    if (Pipeline == nullptr) {
        return SensorTraced(nullptr, 58, "cancel returns %!HRESULT!", E_POINTER);
    }
    PWINIBIO_SENSOR_CONTEXT context = Pipeline->SensorContext;
    if (Pipeline->SensorHandle == INVALID_HANDLE_VALUE || context == nullptr) {
        return SensorTraced(nullptr, 58, "cancel returns %!HRESULT!",
                            WINBIO_E_INVALID_DEVICE_STATE);
    }
    // A capture still being set up has no request for CancelIoEx to find; the
    // bit, set in the step that finds the start marked, tells StartCapture to
    // send nothing, or to cancel what it has just sent.
    UpdateCaptureState(
        context, [](LONG s) { return (s & kCaptureStarting) != 0 ? s | kCaptureCancelled : s; });
    // Every request of the process on the handle, as the framework expects;
    // the bit tells FinishCapture, on whatever thread it waits.
    if (CancelIoEx(Pipeline->SensorHandle, nullptr)) {
        UpdateCaptureState(context, [](LONG s) { return s | kCaptureCancelled; });
        return SensorTraced(context, 58, "cancel returns %!HRESULT!", S_OK);
    }
    DWORD error = GetLastError();
    if (error == ERROR_NOT_FOUND) {
        return SensorTraced(context, 58, "cancel returns %!HRESULT!", S_OK);
    }
    MOC_TRACE_ERROR(kTraceGuidSensorAdapter, 59, "cancel of the requests failed: %!WINERROR!",
                    context->UnitLabel, error);
    return SensorTraced(context, 58, "cancel returns %!HRESULT!", WinBioErrorFromWin32(error));
}

HRESULT WINAPI SensorAdapterPushDataToEngine(PWINBIO_PIPELINE Pipeline, WINBIO_BIR_PURPOSE Purpose,
                                             WINBIO_BIR_DATA_FLAGS Flags,
                                             PWINBIO_REJECT_DETAIL RejectDetail) {
    if (Pipeline == nullptr || RejectDetail == nullptr) {
        return SensorTraced(nullptr, 60, "push data to engine returns %!HRESULT!", E_POINTER);
    }
    if (Purpose == WINBIO_NO_PURPOSE_AVAILABLE) {
        return SensorTraced(nullptr, 60, "push data to engine returns %!HRESULT!", E_INVALIDARG);
    }
    *RejectDetail = 0;
    PWINIBIO_SENSOR_CONTEXT context;
    HRESULT hr = SensorContextOf(Pipeline, &context);
    if (FAILED(hr)) {
        return SensorTraced(nullptr, 60, "push data to engine returns %!HRESULT!", hr);
    }
    MOC_TRACE_INFO(kTraceGuidSensorAdapter, 61,
                   "push data to engine for purpose 0x%02X, flags 0x%02X", context->UnitLabel,
                   Purpose, Flags);
    // The sample of this capture, not one of an earlier capture whose buffer
    // has been cleared since.
    if (context->CaptureDone == 0 || context->SampleSize == 0 ||
        context->CaptureBuffer == nullptr) {
        return SensorTraced(context, 60, "push data to engine returns %!HRESULT!",
                            WINBIO_E_NO_CAPTURE_DATA);
    }
    if (context->CaptureStatus == MOC_SAMPLE_STATUS_POOR ||
        context->CaptureStatus == MOC_SAMPLE_STATUS_NONE) {
        *RejectDetail = WINBIO_FP_POOR_QUALITY;
        return SensorTraced(context, 60, "push data to engine returns %!HRESULT!",
                            WINBIO_E_BAD_CAPTURE);
    }
    MOC_TRACE_INFO(kTraceGuidSensorAdapter, 62, "hands a sample of %u bytes to the engine",
                   context->UnitLabel, context->SampleSize);
    PWINBIO_ENGINE_INTERFACE engine = Pipeline->EngineInterface;
    if (engine == nullptr) {
        return SensorTraced(context, 60, "push data to engine returns %!HRESULT!", E_POINTER);
    }
    if (engine->AcceptSampleData == nullptr) {
        return SensorTraced(context, 60, "push data to engine returns %!HRESULT!", E_NOTIMPL);
    }
    hr = engine->AcceptSampleData(
        Pipeline, reinterpret_cast<PWINBIO_BIR>(context->CaptureBuffer + MOC_CAPTURE_BIR_OFFSET),
        context->SampleSize, Purpose, RejectDetail);
    return SensorTraced(context, 60, "push data to engine returns %!HRESULT!", hr);
}
