// The C runtime calls of the platform's CRT that glibc lacks, over mapped paths.
#include <cerrno>
#include <cstring>
#include <io.h>
#include <direct.h>
#include <sys/stat.h>
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
    int err = 0;
    if (InjectedErrno("_access", &err) || path == nullptr || (mode & ~6) != 0) {
        errno = err != 0 ? err : EINVAL;
        return -1;
    }
    std::string native = platform::NativePath(path);
    struct stat st {};
    if (native.empty() || ::stat(native.c_str(), &st) != 0) {
        errno = ENOENT;
        return -1;
    }
    // Mode 2 asks for write access, which a read-only file denies even to root here.
    if ((mode & 2) && !S_ISDIR(st.st_mode) && IsReadOnlyMode(st.st_mode)) {
        errno = EACCES;
        return -1;
    }
    return 0;
}

extern "C" int _mkdir(const char* path) {
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

extern "C" errno_t fopen_s(FILE** stream, const char* path, const char* mode) {
    if (stream == nullptr)
        return EINVAL;
    *stream = nullptr;
    int err = 0;
    if (InjectedErrno("fopen_s", &err))
        return err;
    if (path == nullptr || mode == nullptr)
        return EINVAL;
    std::string native = platform::NativePath(path);
    struct stat st {};
    bool writes = std::strpbrk(mode, "wa+") != nullptr;
    if (writes && ::stat(native.c_str(), &st) == 0 && !S_ISDIR(st.st_mode) &&
        IsReadOnlyMode(st.st_mode))
        return EACCES;
    FILE* file = std::fopen(native.c_str(), mode);
    if (file == nullptr)
        return errno != 0 ? errno : EINVAL;
    *stream = file;
    return 0;
}
