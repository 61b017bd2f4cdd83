#include "device/device_request.h"

#include <cstring>

#include "common/trace.h"

DeviceRequest::DeviceRequest(PWINBIO_PIPELINE pipeline, DWORD controlCode, HRESULT family)
    : pipeline_(pipeline), code_(controlCode), family_(family) {}

DeviceRequest::DeviceRequest(PWINBIO_PIPELINE pipeline, DWORD controlCode)
    : pipeline_(pipeline), code_(controlCode), family_(S_OK) {}

HRESULT DeviceRequest::Fail(DWORD error) {
    error_ = error;
    return family_ == S_OK ? HRESULT_FROM_WIN32(error) : MocFailure(family_, error);
}

DeviceRequest& DeviceRequest::Input(const void* data, DWORD size) {
    in_ = data;
    inSize_ = data != nullptr ? size : 0;
    return *this;
}

DeviceRequest& DeviceRequest::Output(void* buffer, DWORD capacity, DWORD required, BYTE fill) {
    out_ = buffer;
    outCapacity_ = buffer != nullptr ? capacity : 0;
    required_ = required;
    fill_ = fill;
    return *this;
}

HRESULT DeviceRequest::Send() {
    returned_ = 0;
    error_ = 0;
    // Cleared on every path, so that a failed request leaves known bytes and
    // no reply of an earlier request can be read as this one's.
    if (out_ != nullptr && outCapacity_ != 0) {
        std::memset(out_, fill_, outCapacity_);
    }
    if (pipeline_ == nullptr || pipeline_->SensorHandle == nullptr ||
        pipeline_->SensorHandle == INVALID_HANDLE_VALUE) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (required_ > outCapacity_) {
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    DWORD returned = 0;
    // DeviceIoControl only reads a buffered request; its parameter is not const.
    BOOL ok = DeviceIoControl(pipeline_->SensorHandle, code_, const_cast<void*>(in_), inSize_, out_,
                              outCapacity_, &returned, nullptr);
    if (!ok) {
        // A driver that fails without an error still failed.
        DWORD error = GetLastError();
        return Fail(error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE);
    }
    returned_ = returned;
    // A driver that claims more than the buffer holds cannot be trusted for
    // any of it.
    if (returned > outCapacity_ || returned < required_) {
        MOC_TRACE_ERROR(
            kTraceGuidDeviceChannel, 10,
            "request 0x%08X: reply of %u bytes does not fit (%u needed, or more than the buffer)",
            code_, returned, required_);
        return Fail(ERROR_INVALID_DATA);
    }
    return S_OK;
}

DWORD SendOverlappedAndWait(HANDLE device, OVERLAPPED* overlapped, DWORD code, void* in,
                            DWORD inSize, void* out, DWORD outSize, DWORD* count) {
    const HANDLE event = overlapped->hEvent;
    std::memset(overlapped, 0, sizeof(*overlapped));
    overlapped->hEvent = event;
    DWORD bytes = 0;
    BOOL ok = DeviceIoControl(device, code, in, inSize, out, outSize, &bytes, overlapped);
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
        SetLastError(ERROR_SUCCESS);
        ok = GetOverlappedResult(device, overlapped, &bytes, TRUE);
    }
    *count = bytes <= outSize ? bytes : outSize;
    if (ok) {
        return ERROR_SUCCESS;
    }
    const DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? error : static_cast<DWORD>(ERROR_GEN_FAILURE);
}
