// Test controls for device I/O: a driver object behind a device handle, and the hooks
// that make capture-and-cancel sequences from two threads deterministic.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>
#include "../windows.h"

namespace platform::test {

// One DeviceIoControl call as the driver sees it. The input is a copy taken when the
// call was made; the output goes to the caller's buffer only when the request completes.
class WINPLATFORM_CPP IoRequest {
public:
    struct Impl;
    explicit IoRequest(std::unique_ptr<Impl> impl);
    ~IoRequest();
    IoRequest(const IoRequest&) = delete;
    IoRequest& operator=(const IoRequest&) = delete;

    DWORD Code() const;
    const std::vector<uint8_t>& Input() const;
    DWORD OutputCapacity() const;
    bool Overlapped() const;

    // Finishes the request: copies min(output.size(), capacity) bytes into the caller's
    // buffer, sets the byte count and, for an overlapped call, Internal/InternalHigh and
    // the event. The output is copied whatever the error, so a driver can script a
    // failure that also wrote bytes. Returns false (and changes nothing) when the request
    // was already completed or cancelled.
    bool Complete(DWORD error, const std::vector<uint8_t>& output = {});
    bool Completed() const;
    // The error it completed with (0 for success); meaningful once Completed().
    DWORD Error() const;

private:
    friend struct IoRequestAccess;
    std::unique_ptr<Impl> impl_;
};

class DeviceDriver {
public:
    virtual ~DeviceDriver() = default;
    // Called on the thread that issued DeviceIoControl, with no lock of the stand-in held,
    // so calls may arrive from several threads at once. Complete the request before
    // returning to answer at once; return without completing to leave it pending (an
    // overlapped caller then gets ERROR_IO_PENDING, a synchronous caller blocks until the
    // request is completed or cancelled).
    virtual void IoControl(const std::shared_ptr<IoRequest>& request) = 0;
};

// A device handle whose requests go to `driver`; closed with CloseHandle, which cancels
// the requests still pending. Returns INVALID_HANDLE_VALUE for a null driver.
WINPLATFORM_CPP HANDLE OpenDevice(std::shared_ptr<DeviceDriver> driver);

// Waits until some thread is blocked on a pending request of this device: in
// GetOverlappedResult(wait), in WaitForSingleObject on the request's event, or in a
// synchronous DeviceIoControl. False on timeout or for a handle that is not a device.
WINPLATFORM_CPP bool WaitForIoWaiter(HANDLE device, DWORD timeoutMs);

// Requests of this device not yet completed or cancelled.
WINPLATFORM_CPP size_t PendingIoCount(HANDLE device);

// Runs `hook` at the start of each DeviceIoControl on a device handle, on the calling
// thread, before the request is pending or the driver sees it: a test may act from
// another thread while a request is on its way out. An empty function removes it, as
// ResetAll does.
WINPLATFORM_CPP void SetDeviceIoControlHook(std::function<void(HANDLE device, DWORD code)> hook);

// The next CreateEventW/CreateEventA returns null with this error.
WINPLATFORM_CPP void FailNextCreateEvent(DWORD error);

} // namespace platform::test
