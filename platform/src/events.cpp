#include <chrono>
#include "event_object.h"
#include "platform/test_device.h"

namespace platform::detail {
namespace {
struct WaiterWatch {
    std::mutex mutex;
    std::condition_variable changed;
    uint64_t generation = 0;
};
WaiterWatch& watch() {
    static WaiterWatch& w = *new WaiterWatch;
    return w;
}

// Called with the waiter's own lock held. A watcher that then sees the count and signals
// needs that lock too, so it can only signal once the waiter is inside its wait.
void AnnounceWaiter() {
    WaiterWatch& w = watch();
    {
        std::lock_guard<std::mutex> lock(w.mutex);
        ++w.generation;
    }
    w.changed.notify_all();
}

std::mutex g_failMutex;
DWORD g_failNextCreate = 0;

ResetHook g_reset([] {
    std::lock_guard<std::mutex> lock(g_failMutex);
    g_failNextCreate = 0;
});

HANDLE CreateEventCommon(BOOL manualReset, BOOL initialState) {
    {
        std::lock_guard<std::mutex> lock(g_failMutex);
        if (g_failNextCreate != 0) {
            SetLastError(g_failNextCreate);
            g_failNextCreate = 0;
            return nullptr;
        }
    }
    return InsertHandle(std::make_shared<Event>(manualReset != FALSE, initialState != FALSE));
}
} // namespace

bool CountedWait(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                 std::atomic<int>& waiters, DWORD timeoutMs, const std::function<bool()>& done) {
    if (done())
        return true;
    if (timeoutMs == 0)
        return false;
    ++waiters;
    AnnounceWaiter();
    bool ok = true;
    if (timeoutMs == INFINITE)
        cv.wait(lock, done);
    else
        ok = cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), done);
    --waiters;
    return ok;
}

// The condition runs without the watch lock: it takes device and request locks, and
// waiters take the watch lock while holding those, so holding it here could deadlock.
// The generation read before each check makes sure no announcement is missed.
bool WaitForWaiter(DWORD timeoutMs, const std::function<bool()>& condition) {
    WaiterWatch& w = watch();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        uint64_t seen;
        {
            std::lock_guard<std::mutex> lock(w.mutex);
            seen = w.generation;
        }
        if (condition())
            return true;
        std::unique_lock<std::mutex> lock(w.mutex);
        auto changed = [&] { return w.generation != seen; };
        if (timeoutMs == INFINITE)
            w.changed.wait(lock, changed);
        else if (!w.changed.wait_until(lock, deadline, changed))
            return false;
    }
}

Event::Event(bool manualReset, bool initialState)
    : manualReset_(manualReset), state_(initialState) {}

void Event::Set() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        state_ = true;
    }
    signalled_.notify_all();
}

void Event::Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    state_ = false;
}

bool Event::Wait(DWORD timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    bool ok = CountedWait(lock, signalled_, waiters_, timeoutMs, [this] { return state_; });
    if (ok && !manualReset_)
        state_ = false;
    return ok;
}

} // namespace platform::detail

using namespace platform::detail;

extern "C" HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState,
                               LPCWSTR) {
    return CreateEventCommon(manualReset, initialState);
}

extern "C" HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCSTR) {
    return CreateEventCommon(manualReset, initialState);
}

extern "C" BOOL SetEvent(HANDLE handle) {
    auto event = LookupHandleAs<Event>(handle);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    event->Set();
    return TRUE;
}

extern "C" BOOL ResetEvent(HANDLE handle) {
    auto event = LookupHandleAs<Event>(handle);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    event->Reset();
    return TRUE;
}

extern "C" DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    auto event = LookupHandleAs<Event>(handle);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return event->Wait(milliseconds) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

namespace platform::test {
void FailNextCreateEvent(DWORD error) {
    std::lock_guard<std::mutex> lock(g_failMutex);
    g_failNextCreate = error;
}
} // namespace platform::test
