// Event objects and the waiter bookkeeping that device I/O shares with them.
#pragma once
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include "internal.h"

namespace platform::detail {

class Event : public HandleObject {
public:
    Event(bool manualReset, bool initialState);
    void Set();
    void Reset();
    // True when the event was signalled within the timeout; an auto-reset event is
    // consumed by the wait that sees it.
    bool Wait(DWORD timeoutMs);
    bool HasWaiters() const { return waiters_.load() > 0; }

private:
    std::mutex mutex_;
    std::condition_variable signalled_;
    const bool manualReset_;
    bool state_;
    // Atomic so that a WaitForWaiter condition can read it without mutex_.
    std::atomic<int> waiters_{0};
};

// Blocks on `cv` under `lock` until `done()`, counted in `waiters` so that a test can see
// the thread is blocked. Returns false on timeout.
bool CountedWait(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                 std::atomic<int>& waiters, DWORD timeoutMs, const std::function<bool()>& done);

// Waits until `condition()` holds, re-checking whenever a counted waiter starts waiting.
// False on timeout.
bool WaitForWaiter(DWORD timeoutMs, const std::function<bool()>& condition);

} // namespace platform::detail
