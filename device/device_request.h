// The one request path of the device channel: every control code goes through
// DeviceRequest, which clears (or presets) the reply buffer, sends the request
// synchronously on the pipeline's SensorHandle and turns a failure or a reply
// shorter than the fields the caller reads into the operation's failure family.
#pragma once
#include <windows.h>
#include <winbio_adapter.h>
#include "device/driver_interface.h"

// The Win32 error in the low half of a failed request's result, whichever
// family (or HRESULT_FROM_WIN32) carries it.
inline DWORD Win32ErrorOf(HRESULT failure) {
    return static_cast<DWORD>(failure) & 0xFFFFu;
}

// A privileged client's control code, sent on an adapter's own `overlapped`
// (its event kept, the rest cleared) and waited for when it pends. Returns 0
// or the Win32 error, never 0 for a failure even when the platform left no
// error behind. `*count` is the driver's byte count, never more than
// `outSize`, so that it can be handed on as the caller's received size.
DWORD SendOverlappedAndWait(HANDLE device, OVERLAPPED* overlapped, DWORD code, void* in,
                            DWORD inSize, void* out, DWORD outSize, DWORD* count);

class DeviceRequest {
public:
    // `family` is the MOC_E_ value the request reports its failures under.
    DeviceRequest(PWINBIO_PIPELINE pipeline, DWORD controlCode, HRESULT family);
    // For the platform's own codes, whose senders map the Win32 error themselves:
    // Send reports a failure as HRESULT_FROM_WIN32 of it.
    DeviceRequest(PWINBIO_PIPELINE pipeline, DWORD controlCode);

    DeviceRequest& Input(const void* data, DWORD size);
    template <class Record> DeviceRequest& Input(const Record& record) {
        return Input(&record, sizeof(Record));
    }

    // The reply buffer is filled with `fill` before the request. A successful
    // reply of fewer than `required` bytes fails with ERROR_INVALID_DATA; a
    // `required` of 0 keeps the preset bytes as the answer the driver left.
    DeviceRequest& Output(void* buffer, DWORD capacity, DWORD required, BYTE fill = 0);
    template <class Record> DeviceRequest& Output(Record* record) {
        return Output(record, sizeof(Record), sizeof(Record));
    }

    // 0, or the family with the Win32 error in its low half.
    HRESULT Send();

    DWORD BytesReturned() const { return returned_; }
    // The Win32 error of the last Send: 0 on success, ERROR_INVALID_DATA for a
    // reply shorter than required or longer than the buffer.
    DWORD Error() const { return error_; }

private:
    PWINBIO_PIPELINE pipeline_;
    DWORD code_;
    HRESULT family_;
    const void* in_ = nullptr;
    DWORD inSize_ = 0;
    void* out_ = nullptr;
    DWORD outCapacity_ = 0;
    DWORD required_ = 0;
    BYTE fill_ = 0;
    DWORD returned_ = 0;
    DWORD error_ = 0;

    HRESULT Fail(DWORD error);
};
