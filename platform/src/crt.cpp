// The C runtime calls of the platform's CRT that glibc lacks, over mapped paths.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <io.h>
#include <direct.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>
#include "files_internal.h"
#include "platform/native_path.h"

using namespace platform::detail;

namespace {
bool InjectedErrno(const char* function, int* err) {
    DWORD error = TakeFileCallFailure(function);
    if (error == 0)
        return false;
    *err = ErrnoFromWin32(error);
    return true;
}
} // namespace

extern "C" int _access(const char* path, int mode) {
    FileCallScope scope;
    int err = 0;
    if (InjectedErrno("_access", &err) || path == nullptr || (mode & ~6) != 0) {
        errno = err != 0 ? err : EINVAL;
        return -1;
    }
    std::string native = platform::NativePath(path);
    struct stat st {};
    if (native.empty() || LookUpName(native, &st) != 0) {
        errno = ENOENT;
        return -1;
    }
    // Mode 2 asks for write access, which a read-only file denies even to root here.
    if ((mode & 2) && !S_ISDIR(st.st_mode) && MarkedReadOnly(native, st)) {
        errno = EACCES;
        return -1;
    }
    return 0;
}

extern "C" int _mkdir(const char* path) {
    FileCallScope scope;
    int err = 0;
    if (InjectedErrno("_mkdir", &err) || path == nullptr) {
        errno = err != 0 ? err : EINVAL;
        return -1;
    }
    std::string native = platform::NativePath(path);
    if (native.empty()) {
        errno = ENOENT;
        return -1;
    }
    return ::mkdir(native.c_str(), 0777) == 0 ? 0 : -1;
}

namespace {

// The stream of fopen_s: a file descriptor that holds its share record until
// fclose, so that no one else opens the file meanwhile.
struct ExclusiveStream {
    int fd = -1;
    FileKey key{};
    uint64_t openId = 0;
};

ssize_t StreamRead(void* cookie, char* buffer, size_t size) {
    return ::read(static_cast<ExclusiveStream*>(cookie)->fd, buffer, size);
}
ssize_t StreamWrite(void* cookie, const char* buffer, size_t size) {
    if (PowerIsOff()) {
        errno = EIO;
        return -1;
    }
    auto* stream = static_cast<ExclusiveStream*>(cookie);
    const ssize_t n = ::write(stream->fd, buffer, size);
    if (n > 0)
        CacheWritten(stream->key, stream->fd);
    return n;
}
int StreamSeek(void* cookie, off64_t* offset, int whence) {
    off64_t at = ::lseek64(static_cast<ExclusiveStream*>(cookie)->fd, *offset, whence);
    if (at < 0)
        return -1;
    *offset = at;
    return 0;
}
int StreamClose(void* cookie) {
    auto* stream = static_cast<ExclusiveStream*>(cookie);
    int result = ::close(stream->fd);
    EndOpen(stream->key, stream->openId);
    delete stream;
    return result;
}

// The open flags and the access for the share check of an fopen mode
// ("r", "w", "a", each with an optional "+", "b" or "t"); false when invalid.
bool ParseMode(const char* mode, int* flags, DWORD* access) {
    bool plus = std::strchr(mode, '+') != nullptr;
    switch (mode[0]) {
    case 'r':
        *flags = plus ? O_RDWR : O_RDONLY;
        *access = plus ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ;
        break;
    case 'w':
        *flags = (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
        *access = plus ? GENERIC_READ | GENERIC_WRITE : GENERIC_WRITE;
        break;
    case 'a':
        *flags = (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
        *access = plus ? GENERIC_READ | GENERIC_WRITE : GENERIC_WRITE;
        break;
    default:
        return false;
    }
    return std::strspn(mode + 1, "+bt") == std::strlen(mode + 1);
}

} // namespace

// The platform's fopen_s opens a file that it does not share: it fails while
// another handle has the file open, and no one else opens it until fclose.
extern "C" errno_t fopen_s(FILE** stream, const char* path, const char* mode) {
    FileCallScope scope;
    if (stream == nullptr)
        return EINVAL;
    *stream = nullptr;
    int err = 0;
    if (InjectedErrno("fopen_s", &err))
        return err;
    int flags = 0;
    DWORD access = 0;
    if (path == nullptr || mode == nullptr || !ParseMode(mode, &flags, &access))
        return EINVAL;
    std::string native = platform::NativePath(path);
    if (native.empty())
        return ENOENT;
    struct stat st {};
    bool exists = ::stat(native.c_str(), &st) == 0;
    DWORD refused = exists ? NotAFileError(native, st, false) : 0;
    if (refused != 0)
        return ErrnoFromWin32(refused);
    if (exists && (access & GENERIC_WRITE) && IsReadOnlyMode(st.st_mode))
        return EACCES;

    // Truncation waits until the share check has passed: a refused open must
    // leave the file as the other holder has it.
    int fd = OpenWithoutWaiting(native, flags & ~O_TRUNC, 0666, false, &st, &refused);
    if (fd < 0)
        return refused != 0 ? ErrnoFromWin32(refused) : errno != 0 ? errno : EINVAL;
    auto* cookie = new ExclusiveStream{fd, FileKey(st.st_dev, st.st_ino), 0};
    if (!BeginOpen(cookie->key, access, 0, &cookie->openId)) {
        ::close(fd);
        delete cookie;
        return EACCES;
    }
    if ((access & GENERIC_WRITE) || !exists)
        CacheWriteOpen(native, cookie->key, !exists);
    // As O_TRUNC would: only a regular file is emptied.
    if ((flags & O_TRUNC) && S_ISREG(st.st_mode)) {
        if (::ftruncate(fd, 0) != 0) {
            int e = errno;
            StreamClose(cookie);
            return e;
        }
        CacheWritten(cookie->key, fd);
    }
    FILE* file = fopencookie(cookie, mode, {StreamRead, StreamWrite, StreamSeek, StreamClose});
    if (file == nullptr) {
        int e = errno != 0 ? errno : ENOMEM;
        StreamClose(cookie);
        return e;
    }
    *stream = file;
    return 0;
}
