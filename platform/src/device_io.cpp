#include <algorithm>
#include <cstring>
#include <list>
#include <thread>
#include "event_object.h"
#include "platform/test_device.h"

using platform::test::DeviceDriver;
using platform::test::IoRequest;

namespace platform::detail {
namespace {

// Internal of a completed OVERLAPPED: the low 32 bits hold a status as the platform
// writes it (0, or an error status in the Win32 facility), so HasOverlappedIoCompleted
// works; the full error is kept in the high 32 bits because the status form has room for
// only 16 bits of it.
constexpr ULONG_PTR kStatusWin32Error = 0xC0070000u;

ULONG_PTR InternalFromError(DWORD error) {
    if (error == ERROR_SUCCESS)
        return 0;
    return (static_cast<ULONG_PTR>(error) << 32) | kStatusWin32Error | (error & 0xFFFFu);
}

DWORD ErrorFromInternal(ULONG_PTR internal) {
    DWORD status = static_cast<DWORD>(internal);
    if (status == 0)
        return ERROR_SUCCESS;
    DWORD full = static_cast<DWORD>(internal >> 32);
    if (full != 0)
        return full;
    if ((status & 0xFFFF0000u) == kStatusWin32Error)
        return status & 0xFFFFu;
    return ERROR_GEN_FAILURE;
}

// What a request shares with its device. It holds no reference to the driver: drivers
// keep requests, and a reference back would make a cycle that is never freed.
struct DeviceCore {
    std::mutex mutex;
    std::list<std::shared_ptr<IoRequest>> pending;
    bool closed = false;
};

using IoControlHook = std::function<void(HANDLE, DWORD)>;

struct IoControlHookSlot {
    std::mutex mutex;
    std::shared_ptr<const IoControlHook> hook;
};

IoControlHookSlot& ioControlHook() {
    static IoControlHookSlot& slot = *new IoControlHookSlot;
    return slot;
}

// Taken under the slot's lock and run without it, so that the hook may issue
// requests itself or wait for a thread that does.
std::shared_ptr<const IoControlHook> CurrentIoControlHook() {
    IoControlHookSlot& slot = ioControlHook();
    std::lock_guard<std::mutex> lock(slot.mutex);
    return slot.hook;
}

ResetHook g_ioControlHookReset([] {
    IoControlHookSlot& slot = ioControlHook();
    std::lock_guard<std::mutex> lock(slot.mutex);
    slot.hook.reset();
});

} // namespace
} // namespace platform::detail

namespace platform::test {

struct IoRequest::Impl {
    std::shared_ptr<detail::DeviceCore> core;
    DWORD code = 0;
    std::vector<uint8_t> input;
    DWORD capacity = 0;
    uint8_t* output = nullptr;
    LPOVERLAPPED overlapped = nullptr;
    std::shared_ptr<detail::Event> event;
    std::thread::id issuer;

    // Guarded by core->mutex.
    bool completed = false;
    DWORD error = ERROR_SUCCESS;
    DWORD bytes = 0;
    std::condition_variable done;
    std::atomic<int> waiters{0};
};

// The stand-in's own view of a request, beside the driver-facing methods.
struct IoRequestAccess {
    static IoRequest::Impl& Of(IoRequest& request) { return *request.impl_; }
};

IoRequest::IoRequest(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
IoRequest::~IoRequest() = default;
DWORD IoRequest::Code() const {
    return impl_->code;
}
const std::vector<uint8_t>& IoRequest::Input() const {
    return impl_->input;
}
DWORD IoRequest::OutputCapacity() const {
    return impl_->capacity;
}
bool IoRequest::Overlapped() const {
    return impl_->overlapped != nullptr;
}

bool IoRequest::Completed() const {
    std::lock_guard<std::mutex> lock(impl_->core->mutex);
    return impl_->completed;
}

DWORD IoRequest::Error() const {
    std::lock_guard<std::mutex> lock(impl_->core->mutex);
    return impl_->error;
}

bool IoRequest::Complete(DWORD error, const std::vector<uint8_t>& output) {
    Impl& r = *impl_;
    // Taken out of the pending list into this local, so that the list's reference is
    // dropped only after the lock is released.
    std::list<std::shared_ptr<IoRequest>> removed;
    auto core = r.core;
    {
        std::lock_guard<std::mutex> lock(core->mutex);
        if (r.completed)
            return false;
        DWORD count = static_cast<DWORD>(std::min<size_t>(output.size(), r.capacity));
        if (count != 0)
            std::memcpy(r.output, output.data(), count);
        r.completed = true;
        r.error = error;
        r.bytes = count;
        if (r.overlapped) {
            r.overlapped->InternalHigh = count;
            r.overlapped->Internal = detail::InternalFromError(error);
        }
        for (auto it = core->pending.begin(); it != core->pending.end(); ++it) {
            if (it->get() == this) {
                removed.splice(removed.begin(), core->pending, it);
                break;
            }
        }
    }
    r.done.notify_all();
    if (r.event)
        r.event->Set();
    return true;
}

} // namespace platform::test

namespace platform::detail {
namespace {

struct DeviceObject : HandleObject {
    explicit DeviceObject(std::shared_ptr<DeviceDriver> d)
        : core(std::make_shared<DeviceCore>()), driver(std::move(d)) {}
    // Closing the last handle of a device cancels what is still pending on it, so no
    // request can write into a caller's buffer after its handle is gone.
    bool Close() override {
        std::list<std::shared_ptr<IoRequest>> pending;
        {
            std::lock_guard<std::mutex> lock(core->mutex);
            core->closed = true;
            pending = core->pending;
        }
        for (auto& request : pending)
            request->Complete(ERROR_OPERATION_ABORTED);
        return true;
    }
    std::shared_ptr<DeviceCore> core;
    std::shared_ptr<DeviceDriver> driver;
};

std::shared_ptr<DeviceCore> LookupDevice(HANDLE handle) {
    auto device = LookupHandleAs<DeviceObject>(handle);
    return device ? device->core : nullptr;
}

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

std::shared_ptr<IoRequest> FindPending(DeviceCore& core, LPOVERLAPPED overlapped) {
    for (auto& request : core.pending)
        if (platform::test::IoRequestAccess::Of(*request).overlapped == overlapped)
            return request;
    return nullptr;
}

// Blocks until the request is completed or cancelled; the caller holds core.mutex.
void WaitCompleted(std::unique_lock<std::mutex>& lock, IoRequest::Impl& r) {
    CountedWait(lock, r.done, r.waiters, INFINITE, [&r] { return r.completed; });
}

BOOL CancelMatching(HANDLE handle, const std::function<bool(IoRequest::Impl&)>& match,
                    bool failWhenNone) {
    auto core = LookupDevice(handle);
    if (!core)
        return Fail(ERROR_INVALID_HANDLE);
    std::vector<std::shared_ptr<IoRequest>> chosen;
    {
        std::lock_guard<std::mutex> lock(core->mutex);
        for (auto& request : core->pending)
            if (match(platform::test::IoRequestAccess::Of(*request)))
                chosen.push_back(request);
    }
    bool cancelled = false;
    for (auto& request : chosen)
        cancelled = request->Complete(ERROR_OPERATION_ABORTED) || cancelled;
    if (!cancelled && failWhenNone)
        return Fail(ERROR_NOT_FOUND);
    return TRUE;
}

} // namespace
} // namespace platform::detail

using namespace platform::detail;
using platform::test::IoRequestAccess;

extern "C" BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID inBuffer, DWORD inSize,
                                LPVOID outBuffer, DWORD outSize, LPDWORD bytesReturned,
                                LPOVERLAPPED overlapped) {
    auto object = LookupHandleAs<DeviceObject>(device);
    if (!object)
        return Fail(ERROR_INVALID_HANDLE);
    if (auto hook = CurrentIoControlHook())
        (*hook)(device, code);
    auto core = object->core;
    // A synchronous call has nowhere else to report its byte count, so the
    // platform refuses it before the driver sees anything.
    if (!overlapped && !bytesReturned)
        return Fail(ERROR_INVALID_PARAMETER);
    // The platform probes both buffers before the driver sees the request.
    if ((inSize != 0 && !inBuffer) || (outSize != 0 && !outBuffer))
        return Fail(ERROR_NOACCESS);
    std::shared_ptr<Event> event;
    if (overlapped && overlapped->hEvent) {
        event = LookupHandleAs<Event>(overlapped->hEvent);
        if (!event)
            return Fail(ERROR_INVALID_HANDLE);
    }

    auto impl = std::make_unique<IoRequest::Impl>();
    impl->core = core;
    impl->code = code;
    if (inSize != 0) {
        const auto* in = static_cast<const uint8_t*>(inBuffer);
        impl->input.assign(in, in + inSize);
    }
    impl->capacity = outSize;
    impl->output = static_cast<uint8_t*>(outBuffer);
    impl->overlapped = overlapped;
    impl->event = event;
    impl->issuer = std::this_thread::get_id();
    auto request = std::make_shared<IoRequest>(std::move(impl));
    IoRequest::Impl& r = IoRequestAccess::Of(*request);

    if (event)
        event->Reset();
    {
        std::lock_guard<std::mutex> lock(core->mutex);
        if (core->closed)
            return Fail(ERROR_INVALID_HANDLE);
        if (overlapped) {
            overlapped->Internal = STATUS_PENDING;
            overlapped->InternalHigh = 0;
        }
        core->pending.push_back(request);
    }

    object->driver->IoControl(request);

    std::unique_lock<std::mutex> lock(core->mutex);
    if (!r.completed && overlapped) {
        if (bytesReturned)
            *bytesReturned = 0;
        lock.unlock();
        return Fail(ERROR_IO_PENDING);
    }
    WaitCompleted(lock, r);
    if (bytesReturned)
        *bytesReturned = r.bytes;
    DWORD error = r.error;
    lock.unlock();
    return error == ERROR_SUCCESS ? TRUE : Fail(error);
}

extern "C" BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD bytesTransferred,
                                    BOOL wait) {
    auto core = LookupDevice(file);
    if (!core)
        return Fail(ERROR_INVALID_HANDLE);
    if (!overlapped)
        return Fail(ERROR_INVALID_PARAMETER);

    std::unique_lock<std::mutex> lock(core->mutex);
    auto request = FindPending(*core, overlapped);
    if (request) {
        if (!wait) {
            lock.unlock();
            return Fail(ERROR_IO_INCOMPLETE);
        }
        IoRequest::Impl& r = IoRequestAccess::Of(*request);
        if (r.event) {
            // The platform waits on the event, so a waiter on an auto-reset event
            // consumes the signal, as it would there.
            lock.unlock();
            r.event->Wait(INFINITE);
            lock.lock();
        }
        // Without an event, or when someone else set the event early.
        WaitCompleted(lock, r);
    } else if (static_cast<DWORD>(overlapped->Internal) == STATUS_PENDING) {
        // Not a pending request of this handle: waiting could never end.
        lock.unlock();
        return Fail(ERROR_IO_INCOMPLETE);
    }
    // Read under the device lock, which the completion held while writing them.
    DWORD bytes = static_cast<DWORD>(overlapped->InternalHigh);
    DWORD error = ErrorFromInternal(overlapped->Internal);
    lock.unlock();
    if (bytesTransferred)
        *bytesTransferred = bytes;
    return error == ERROR_SUCCESS ? TRUE : Fail(error);
}

extern "C" BOOL CancelIoEx(HANDLE file, LPOVERLAPPED overlapped) {
    return CancelMatching(
        file,
        [overlapped](IoRequest::Impl& r) { return !overlapped || r.overlapped == overlapped; },
        true);
}

extern "C" BOOL CancelIo(HANDLE file) {
    auto self = std::this_thread::get_id();
    return CancelMatching(
        file, [self](IoRequest::Impl& r) { return r.issuer == self; }, false);
}

namespace platform::test {

HANDLE OpenDevice(std::shared_ptr<DeviceDriver> driver) {
    if (!driver)
        return INVALID_HANDLE_VALUE;
    return InsertHandle(std::make_shared<DeviceObject>(std::move(driver)));
}

bool WaitForIoWaiter(HANDLE device, DWORD timeoutMs) {
    auto core = LookupDevice(device);
    if (!core)
        return false;
    return WaitForWaiter(timeoutMs, [&core] {
        std::lock_guard<std::mutex> lock(core->mutex);
        for (auto& request : core->pending) {
            IoRequest::Impl& r = IoRequestAccess::Of(*request);
            if (r.waiters.load() > 0 || (r.event && r.event->HasWaiters()))
                return true;
        }
        return false;
    });
}

void SetDeviceIoControlHook(std::function<void(HANDLE, DWORD)> hook) {
    IoControlHookSlot& slot = ioControlHook();
    std::lock_guard<std::mutex> lock(slot.mutex);
    if (hook)
        slot.hook = std::make_shared<const IoControlHook>(std::move(hook));
    else
        slot.hook.reset();
}

size_t PendingIoCount(HANDLE device) {
    auto core = LookupDevice(device);
    if (!core)
        return 0;
    std::lock_guard<std::mutex> lock(core->mutex);
    return core->pending.size();
}

} // namespace platform::test
