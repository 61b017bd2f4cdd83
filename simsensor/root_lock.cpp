#include "simsensor/root_lock.h"

#include <cerrno>
#include <cstring>
#include <thread>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace simsensor {
namespace {

DWORD OpenError(int err) {
    switch (err) {
    case ENOENT:
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
        return ERROR_ACCESS_DENIED;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    default:
        return ERROR_GEN_FAILURE;
    }
}

} // namespace

RootLock::~RootLock() {
    Release();
}

void RootLock::Release() {
    if (fd_ >= 0) {
        // Closing the only descriptor of the open folder lets the lock go.
        ::close(fd_);
        fd_ = -1;
    }
}

DWORD RootLock::Take(const std::string& root, std::chrono::milliseconds wait, std::string* why) {
    Release();
    // A lock of the open folder (flock, not a record lock) holds against every other
    // open of it, in this process as in another, and the system drops it when the
    // process ends.
    int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        *why = "cannot open the root " + root + ": " + std::strerror(err);
        return OpenError(err);
    }
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        if (err == EINTR)
            continue;
        if (err != EWOULDBLOCK) {
            ::close(fd);
            *why = "cannot lock the root " + root + ": " + std::strerror(err);
            return ERROR_GEN_FAILURE;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            ::close(fd);
            *why = "the root " + root + " is held by another process";
            return ERROR_SHARING_VIOLATION;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    fd_ = fd;
    return 0;
}

} // namespace simsensor
