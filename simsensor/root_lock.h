// One holder at a time for the simulated sensor of a root, across processes.
//
//   simsensor::RootLock lock;
//   if (DWORD error = lock.Take(root, simsensor::kRootLockWait, &why)) ...
//
// On the platform one biometric service holds the sensor, and a second process that opens
// it is refused. Two processes that drove one simulated chip would each load its saved
// state and save over the other's changes, so the sensor of a root is held the same way:
// by an exclusive lock on the root folder, which goes with the RootLock or with the
// process, however it ends.
#pragma once
#include <windows.h>
#include <chrono>
#include <string>

namespace simsensor {

// How long a second opener waits for the holder to let go: long enough for a command that
// is about to finish, short enough that a person is told soon.
constexpr std::chrono::milliseconds kRootLockWait{2000};

class RootLock {
public:
    RootLock() = default;
    ~RootLock();
    RootLock(const RootLock&) = delete;
    RootLock& operator=(const RootLock&) = delete;

    // Takes the lock of `root`, an existing folder, waiting up to `wait` while another
    // holder keeps it. Returns 0; ERROR_SHARING_VIOLATION when the wait ran out, as the
    // platform refuses a second opener; or the error that kept the folder from being
    // opened, with `why` telling it (also for the sharing violation).
    DWORD Take(const std::string& root, std::chrono::milliseconds wait, std::string* why);
    bool Held() const { return fd_ >= 0; }
    void Release();

private:
    int fd_ = -1;
};

} // namespace simsensor
