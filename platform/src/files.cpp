#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <vector>
#include <fcntl.h>
#include <unistd.h>
#include "files_internal.h"
#include "platform/native_path.h"
#include "platform/test_files.h"

namespace platform::detail {
namespace {

// Attribute bits that SetFileAttributes may change; the others (directory,
// reparse point, device, ...) belong to the file system.
constexpr DWORD kSettableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                      FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                      FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE |
                                      FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

struct OpenEntry {
    uint64_t id;
    DWORD access;
    DWORD share;
};

// A process end armed for a later file call.
struct ArmedEnd {
    std::string function; // empty: none armed
    int call = 0;
    platform::test::FileCallEnd when = platform::test::FileCallEnd::Before;
    int status = 0;
    bool powerCut = false; // the power goes instead of the process
};

struct State {
    std::mutex mutex;
    // Calls of each file function since ResetAll. A test control armed for a
    // later call names it by the number it will have here.
    std::map<std::string, int> callCounts;
    // One armed failure per function: the number of the call that fails, and the error.
    std::map<std::string, std::pair<int, DWORD>> callFailures;
    ArmedEnd end;
    bool journaling = false;
    std::vector<std::string> journal;
    size_t writeLimit = SIZE_MAX;
    // Attribute bits that POSIX cannot keep, by normalized native path.
    std::map<std::string, DWORD> extraAttributes;
    // Every open file handle by file identity, for the share-mode checks.
    std::map<FileKey, std::vector<OpenEntry>> opens;
    uint64_t nextOpenId = 1;
};

State& state() {
    static State& s = *new State;
    return s;
}

ResetHook g_resetFiles([] {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.callFailures.clear();
    s.callCounts.clear();
    s.end = ArmedEnd{};
    s.journaling = false;
    s.journal.clear();
    s.writeLimit = SIZE_MAX;
    s.extraAttributes.clear();
    // Open entries go when ResetHandles closes their handles.
});

bool WantsRead(DWORD access) {
    return (access & (GENERIC_READ | GENERIC_ALL)) != 0;
}
bool WantsWrite(DWORD access) {
    return (access & (GENERIC_WRITE | GENERIC_ALL)) != 0;
}

// The platform refuses an open when either side wants an access the other
// side does not share.
bool SharingConflict(DWORD access, DWORD share, const OpenEntry& other) {
    return (WantsRead(access) && !(other.share & FILE_SHARE_READ)) ||
           (WantsWrite(access) && !(other.share & FILE_SHARE_WRITE)) ||
           (WantsRead(other.access) && !(share & FILE_SHARE_READ)) ||
           (WantsWrite(other.access) && !(share & FILE_SHARE_WRITE));
}

DWORD ExtraAttributes(const std::string& native) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    // Most roots never set an extra bit; the path's normal form is costly.
    if (s.extraAttributes.empty())
        return 0;
    auto it = s.extraAttributes.find(NormalizedNativePath(native));
    return it == s.extraAttributes.end() ? 0 : it->second;
}

void StoreExtraAttributes(const std::string& native, DWORD bits) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (bits == 0)
        s.extraAttributes.erase(NormalizedNativePath(native));
    else
        s.extraAttributes[NormalizedNativePath(native)] = bits;
}

void MoveExtraAttributes(const std::string& from, const std::string& to) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.extraAttributes.empty())
        return;
    std::string toKey = NormalizedNativePath(to);
    s.extraAttributes.erase(toKey);
    auto it = s.extraAttributes.find(NormalizedNativePath(from));
    if (it != s.extraAttributes.end()) {
        s.extraAttributes[toKey] = it->second;
        s.extraAttributes.erase(it);
    }
}

// A file that is open without FILE_SHARE_DELETE can be neither deleted nor renamed.
bool OpenWithoutDeleteShare(const struct stat& st) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.opens.find(FileKey(st.st_dev, st.st_ino));
    if (it == s.opens.end())
        return false;
    return std::any_of(it->second.begin(), it->second.end(),
                       [](const OpenEntry& e) { return !(e.share & FILE_SHARE_DELETE); });
}

// A rename is durable only once the folder that holds the new name is on disk.
bool SyncFolderOf(const std::string& native) {
    std::string folder = std::filesystem::path(native).parent_path().string();
    if (folder.empty())
        folder = ".";
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool synced = ::fsync(fd) == 0;
    int err = errno;
    ::close(fd);
    if (synced)
        CacheFolderSynced(folder);
    errno = err;
    return synced;
}

} // namespace

std::string NormalizedNativePath(const std::string& native) {
    std::error_code ec;
    std::filesystem::path p = std::filesystem::absolute(native, ec);
    if (ec)
        p = native;
    std::string key = p.lexically_normal().string();
    while (key.size() > 1 && key.back() == '/')
        key.pop_back();
    return key;
}

namespace {

// Whether `native` lies outside the folder that holds the drives.
bool OutsideDriveRoot(const std::string& native) {
    std::string root = NormalizedNativePath(platform::DriveRoot());
    if (root.back() != '/')
        root += '/';
    return NormalizedNativePath(native).compare(0, root.size(), root) != 0;
}

} // namespace

DWORD NotAFileError(const std::string& native, const struct stat& st, bool folderOpens) {
    if (S_ISREG(st.st_mode))
        return 0;
    if (S_ISDIR(st.st_mode))
        return folderOpens ? 0 : ERROR_ACCESS_DENIED;
    // The device must be the name itself: a link to one is a node of a volume.
    struct stat own {};
    if (S_ISCHR(st.st_mode) && ::lstat(native.c_str(), &own) == 0 && S_ISCHR(own.st_mode) &&
        own.st_rdev == st.st_rdev && OutsideDriveRoot(native))
        return 0;
    // As the platform's own file calls meet a FIFO, socket or device node that
    // the Linux subsystem keeps on a volume: a reparse point they cannot open.
    return ERROR_CANT_ACCESS_FILE;
}

int LookUpName(const std::string& native, struct stat* st) {
    if (::stat(native.c_str(), st) == 0)
        return 0;
    const int err = errno;
    if (::lstat(native.c_str(), st) == 0 && S_ISLNK(st->st_mode))
        return 0;
    errno = err;
    return -1;
}

bool MarkedReadOnly(const std::string& native, const struct stat& own) {
    if (S_ISLNK(own.st_mode))
        return (ExtraAttributes(native) & FILE_ATTRIBUTE_READONLY) != 0;
    return IsReadOnlyMode(own.st_mode);
}

int OpenWithoutWaiting(const std::string& native, int oflags, mode_t mode, bool folderOpens,
                       struct stat* st, DWORD* refused) {
    *refused = 0;
    int fd = ::open(native.c_str(), oflags | O_NONBLOCK | O_CLOEXEC, mode);
    if (fd < 0) {
        // A FIFO without a reader or a socket, found only by the open.
        if (errno == ENXIO || errno == ENODEV)
            *refused = ERROR_CANT_ACCESS_FILE;
        return -1;
    }
    int err = 0;
    if (::fstat(fd, st) != 0) {
        err = errno;
    } else if ((*refused = NotAFileError(native, *st, folderOpens)) == 0) {
        // Only the open had to be spared a wait; reads and writes wait as usual.
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags >= 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0)
            return fd;
        err = errno;
    }
    ::close(fd);
    errno = err;
    return -1;
}

bool BeginOpen(const FileKey& key, DWORD access, DWORD share, uint64_t* id) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.opens.find(key);
    if (it != s.opens.end()) {
        for (const OpenEntry& other : it->second) {
            if (SharingConflict(access, share, other))
                return false;
        }
    }
    *id = s.nextOpenId++;
    s.opens[key].push_back(OpenEntry{*id, access, share});
    return true;
}

void EndOpen(const FileKey& key, uint64_t id) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.opens.find(key);
    if (it == s.opens.end())
        return;
    auto& list = it->second;
    list.erase(
        std::remove_if(list.begin(), list.end(), [id](const OpenEntry& e) { return e.id == id; }),
        list.end());
    if (list.empty())
        s.opens.erase(it);
}

namespace {

struct FileObject : HandleObject {
    int fd = -1;
    DWORD access = 0;
    bool folder = false; // opened with backup semantics: no bytes to read or write
    FileKey key{};
    uint64_t openId = 0;

    ~FileObject() override { Close(); }
    bool Close() override {
        if (fd < 0)
            return true;
        FileCallScope scope;
        // Counted as "CloseHandle": only the closes of file handles.
        DWORD failure = TakeFileCallFailure("CloseHandle");
        ::close(fd);
        fd = -1;
        EndOpen(key, openId);
        // The handle is gone either way, as on the platform; only the result differs.
        if (failure != 0) {
            SetLastError(failure);
            return false;
        }
        return true;
    }
};

// The armed failure of `function`, set as the last error; true when it fired.
bool Injected(const char* function) {
    DWORD error = TakeFileCallFailure(function);
    if (error == 0)
        return false;
    SetLastError(error);
    return true;
}

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

HANDLE FailHandle(DWORD error) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
}

HANDLE CreateFileNative(const char* function, const void* name, const MappedPath& path,
                        DWORD access, DWORD share, DWORD disposition, DWORD flags) {
    FileCallScope scope;
    if (Injected(function))
        return INVALID_HANDLE_VALUE;
    if (name == nullptr)
        return FailHandle(ERROR_INVALID_PARAMETER);
    if (path.error != ERROR_SUCCESS)
        return FailHandle(path.error);
    const std::string& native = path.native;
    const bool backup = (flags & FILE_FLAG_BACKUP_SEMANTICS) != 0;

    struct stat st {};
    bool exists = ::stat(native.c_str(), &st) == 0;
    struct stat own {};
    bool write = WantsWrite(access);
    bool truncate = false;
    int oflags = write ? (WantsRead(access) ? O_RDWR : O_WRONLY) : O_RDONLY;
    switch (disposition) {
    case CREATE_NEW:
        // A link whose target is gone is a name all the same.
        if (exists || ::lstat(native.c_str(), &own) == 0)
            return FailHandle(ERROR_FILE_EXISTS);
        oflags |= O_CREAT | O_EXCL;
        break;
    case CREATE_ALWAYS:
        oflags |= O_CREAT;
        truncate = exists;
        break;
    case OPEN_ALWAYS:
        oflags |= O_CREAT;
        break;
    case OPEN_EXISTING:
        if (!exists)
            return FailHandle(PathError(ENOENT, native));
        break;
    case TRUNCATE_EXISTING:
        if (!exists)
            return FailHandle(PathError(ENOENT, native));
        if (!write)
            return FailHandle(ERROR_INVALID_PARAMETER);
        truncate = true;
        break;
    default:
        return FailHandle(ERROR_INVALID_PARAMETER);
    }
    // Refused before any open: opening a device may already act on it.
    if (exists) {
        if (DWORD refused = NotAFileError(native, st, backup))
            return FailHandle(refused);
    }
    const bool folder = exists && S_ISDIR(st.st_mode);
    if (folder && truncate)
        return FailHandle(ERROR_ACCESS_DENIED);
    if (exists && !folder && IsReadOnlyMode(st.st_mode) && (write || truncate))
        return FailHandle(ERROR_ACCESS_DENIED);

    DWORD refused = 0;
    int fd = OpenWithoutWaiting(native, folder ? O_RDONLY | O_DIRECTORY : oflags, 0666, backup, &st,
                                &refused);
    if (fd < 0)
        return FailHandle(refused != 0 ? refused : PathError(errno, native));
    // A folder put in the name's place since it was looked at.
    if (S_ISDIR(st.st_mode) != folder) {
        ::close(fd);
        return FailHandle(ERROR_ACCESS_DENIED);
    }

    auto object = std::make_shared<FileObject>();
    object->access = access;
    object->folder = folder;
    object->key = FileKey(st.st_dev, st.st_ino);
    if (!BeginOpen(object->key, access, share, &object->openId)) {
        ::close(fd);
        return FailHandle(ERROR_SHARING_VIOLATION);
    }
    object->fd = fd;
    if (!folder && (write || !exists))
        CacheWriteOpen(native, object->key, !exists);
    if (truncate && ::ftruncate(fd, 0) != 0) {
        int err = errno;
        object->Close();
        return FailHandle(Win32ErrorFromErrno(err));
    }
    if (truncate)
        CacheWritten(object->key, fd);
    HANDLE handle = InsertHandle(object);
    // The platform reports an existing file that it opened or replaced.
    SetLastError((exists && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS))
                     ? ERROR_ALREADY_EXISTS
                     : ERROR_SUCCESS);
    return handle;
}

std::shared_ptr<FileObject> FileFromHandle(HANDLE handle) {
    auto file = LookupHandleAs<FileObject>(handle);
    if (!file || file->fd < 0)
        SetLastError(ERROR_INVALID_HANDLE);
    return file && file->fd >= 0 ? file : nullptr;
}

// 100-ns intervals since 1601-01-01, the platform's file time.
FILETIME ToFileTime(const struct timespec& ts) {
    constexpr uint64_t kEpochDelta = 116444736000000000ull;
    uint64_t value = kEpochDelta + static_cast<uint64_t>(ts.tv_sec) * 10000000ull +
                     static_cast<uint64_t>(ts.tv_nsec) / 100;
    return FILETIME{static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
}

DWORD AttributesOf(const std::string& native, const struct stat& st) {
    DWORD attributes = ExtraAttributes(native);
    if (S_ISDIR(st.st_mode))
        attributes |= FILE_ATTRIBUTE_DIRECTORY;
    else if (!S_ISREG(st.st_mode))
        // The platform sees a FIFO, socket or device node as a reparse point
        // with the archive mark every new file gets (see NotAFileError), and
        // so it sees a link, which is all that shows of one whose target
        // cannot be followed (see LookUpName).
        attributes |= FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_ARCHIVE;
    else if (IsReadOnlyMode(st.st_mode))
        attributes |= FILE_ATTRIBUTE_READONLY;
    return attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
}

DWORD GetAttributesNative(const char* function, const void* name, const MappedPath& path) {
    FileCallScope scope;
    if (Injected(function))
        return INVALID_FILE_ATTRIBUTES;
    if (name == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_FILE_ATTRIBUTES;
    }
    if (path.error != ERROR_SUCCESS) {
        SetLastError(path.error);
        return INVALID_FILE_ATTRIBUTES;
    }
    const std::string& native = path.native;
    struct stat st {};
    if (LookUpName(native, &st) != 0) {
        SetLastError(PathError(errno, native));
        return INVALID_FILE_ATTRIBUTES;
    }
    return AttributesOf(native, st);
}

BOOL GetAttributesExNative(const char* function, const void* name, const MappedPath& path,
                           GET_FILEEX_INFO_LEVELS level, LPVOID info) {
    FileCallScope scope;
    if (Injected(function))
        return FALSE;
    if (name == nullptr || info == nullptr || level != GetFileExInfoStandard)
        return Fail(ERROR_INVALID_PARAMETER);
    if (path.error != ERROR_SUCCESS)
        return Fail(path.error);
    const std::string& native = path.native;
    struct stat st {};
    if (LookUpName(native, &st) != 0)
        return Fail(PathError(errno, native));
    WIN32_FILE_ATTRIBUTE_DATA data{};
    data.dwFileAttributes = AttributesOf(native, st);
    data.ftCreationTime = ToFileTime(st.st_ctim);
    data.ftLastAccessTime = ToFileTime(st.st_atim);
    data.ftLastWriteTime = ToFileTime(st.st_mtim);
    if (S_ISREG(st.st_mode)) {
        uint64_t size = static_cast<uint64_t>(st.st_size);
        data.nFileSizeHigh = static_cast<DWORD>(size >> 32);
        data.nFileSizeLow = static_cast<DWORD>(size);
    }
    std::memcpy(info, &data, sizeof(data));
    return TRUE;
}

BOOL SetAttributesNative(const char* function, const void* name, const MappedPath& path,
                         DWORD attributes) {
    FileCallScope scope;
    if (Injected(function))
        return FALSE;
    if (name == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    if (path.error != ERROR_SUCCESS)
        return Fail(path.error);
    const std::string& native = path.native;
    struct stat st {};
    if (LookUpName(native, &st) != 0)
        return Fail(PathError(errno, native));
    DWORD extras = ExtraAttributes(native) & ~kSettableAttributes;
    DWORD settable = attributes & kSettableAttributes;
    if (S_ISDIR(st.st_mode) || S_ISLNK(st.st_mode)) {
        // A folder's read-only mark does not stop writes into it on the
        // platform, so it is kept as a bit and the folder stays writable; a
        // link that leads nowhere has no mode of its own to carry it.
        extras |= settable;
    } else {
        mode_t mode = (attributes & FILE_ATTRIBUTE_READONLY)
                          ? (st.st_mode & ~(S_IWUSR | S_IWGRP | S_IWOTH))
                          : (st.st_mode | S_IWUSR);
        if (::chmod(native.c_str(), mode & 07777) != 0)
            return Fail(Win32ErrorFromErrno(errno));
        extras |= settable & ~FILE_ATTRIBUTE_READONLY;
    }
    StoreExtraAttributes(native, extras);
    return TRUE;
}

BOOL DeleteNative(const char* function, const void* name, const MappedPath& path) {
    FileCallScope scope;
    if (Injected(function))
        return FALSE;
    if (name == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    if (path.error != ERROR_SUCCESS)
        return Fail(path.error);
    const std::string& native = path.native;
    struct stat st {};
    if (::lstat(native.c_str(), &st) != 0)
        return Fail(PathError(errno, native));
    if (S_ISDIR(st.st_mode) || MarkedReadOnly(native, st))
        return Fail(ERROR_ACCESS_DENIED);
    if (OpenWithoutDeleteShare(st))
        return Fail(ERROR_SHARING_VIOLATION);
    if (CachedUnlink(native) != 0)
        return Fail(PathError(errno, native));
    StoreExtraAttributes(native, 0);
    return TRUE;
}

BOOL CreateDirectoryNative(const char* function, const void* name, const MappedPath& path) {
    FileCallScope scope;
    if (Injected(function))
        return FALSE;
    if (name == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    if (path.error != ERROR_SUCCESS)
        return Fail(path.error);
    const std::string& native = path.native;
    if (::mkdir(native.c_str(), 0777) != 0) {
        int err = errno;
        // A missing parent folder is a missing path, whatever the last component.
        return Fail(err == EEXIST   ? ERROR_ALREADY_EXISTS
                    : err == ENOENT ? ERROR_PATH_NOT_FOUND
                                    : Win32ErrorFromErrno(err));
    }
    return TRUE;
}

BOOL RemoveDirectoryNative(const char* function, const void* name, const MappedPath& path) {
    FileCallScope scope;
    if (Injected(function))
        return FALSE;
    if (name == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    if (path.error != ERROR_SUCCESS)
        return Fail(path.error);
    const std::string& native = path.native;
    if (::rmdir(native.c_str()) != 0) {
        int err = errno;
        return Fail(err == ENOTDIR                        ? ERROR_DIRECTORY
                    : (err == ENOTEMPTY || err == EEXIST) ? ERROR_DIR_NOT_EMPTY
                                                          : PathError(err, native));
    }
    StoreExtraAttributes(native, 0);
    return TRUE;
}

BOOL MoveNative(const char* function, const void* from, const void* to, const MappedPath& pathFrom,
                const MappedPath& pathTo, DWORD flags) {
    FileCallScope scope;
    if (Injected(function))
        return FALSE;
    if (from == nullptr || to == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    if (pathFrom.error != ERROR_SUCCESS || pathTo.error != ERROR_SUCCESS)
        return Fail(pathFrom.error != ERROR_SUCCESS ? pathFrom.error : pathTo.error);
    const std::string& nativeFrom = pathFrom.native;
    const std::string& nativeTo = pathTo.native;
    struct stat source {};
    if (::lstat(nativeFrom.c_str(), &source) != 0)
        return Fail(PathError(errno, nativeFrom));
    if (OpenWithoutDeleteShare(source))
        return Fail(ERROR_SHARING_VIOLATION);
    struct stat target {};
    if (::lstat(nativeTo.c_str(), &target) == 0) {
        if (!(flags & MOVEFILE_REPLACE_EXISTING))
            return Fail(ERROR_ALREADY_EXISTS);
        if (S_ISDIR(target.st_mode) || MarkedReadOnly(nativeTo, target))
            return Fail(ERROR_ACCESS_DENIED);
        if (OpenWithoutDeleteShare(target))
            return Fail(ERROR_SHARING_VIOLATION);
    }
    if (CachedRename(nativeFrom, nativeTo) != 0)
        return Fail(PathError(errno, nativeTo));
    MoveExtraAttributes(nativeFrom, nativeTo);
    if ((flags & MOVEFILE_WRITE_THROUGH) && !SyncFolderOf(nativeTo))
        return Fail(Win32ErrorFromErrno(errno));
    return TRUE;
}

thread_local int t_callDepth = 0;  // file calls in progress on this thread
thread_local int t_endAtDepth = 0; // the call to end the process after; 0: none
thread_local int t_endStatus = 0;
thread_local bool t_endCutsPower = false;

} // namespace

FileCallScope::FileCallScope() {
    ++t_callDepth;
}

FileCallScope::~FileCallScope() {
    if (t_endAtDepth == t_callDepth) {
        if (!t_endCutsPower)
            ::_exit(t_endStatus);
        t_endAtDepth = 0;
        CutPower();
    }
    --t_callDepth;
}

DWORD TakeFileCallFailure(const char* function) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    const int call = ++s.callCounts[function];
    if (s.journaling)
        s.journal.emplace_back(function);
    if (s.end.call == call && s.end.function == function) {
        if (s.end.when == platform::test::FileCallEnd::Before && !s.end.powerCut)
            ::_exit(s.end.status);
        // A file call without its scope could not end just after itself: a loud
        // end rather than one at another point than the test asked for.
        if (t_callDepth == 0)
            std::abort();
        t_endAtDepth = t_callDepth;
        t_endStatus = s.end.status;
        t_endCutsPower = s.end.powerCut;
        s.end = ArmedEnd{};
    }
    // A disk without power answers nothing, armed failure or not.
    if (PowerIsOff())
        return ERROR_NOT_READY;
    auto it = s.callFailures.find(function);
    if (it == s.callFailures.end() || it->second.first != call)
        return 0;
    DWORD error = it->second.second;
    s.callFailures.erase(it);
    return error;
}

DWORD PathError(int err, const std::string& native) {
    if (err == ENOTDIR)
        return ERROR_PATH_NOT_FOUND;
    if (err != ENOENT)
        return Win32ErrorFromErrno(err);
    std::string parent = native;
    while (parent.size() > 1 && parent.back() == '/')
        parent.pop_back();
    size_t slash = parent.rfind('/');
    if (slash == std::string::npos)
        return ERROR_FILE_NOT_FOUND;
    parent.resize(slash == 0 ? 1 : slash);
    struct stat st {};
    return ::stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? ERROR_FILE_NOT_FOUND
                                                                   : ERROR_PATH_NOT_FOUND;
}

int ErrnoFromWin32(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return EEXIST;
    case ERROR_DISK_FULL:
        return ENOSPC;
    case ERROR_NOT_ENOUGH_MEMORY:
        return ENOMEM;
    case ERROR_INVALID_PARAMETER:
        return EINVAL;
    // The runtime has no number of its own for it: EINVAL, as for every error
    // it does not know.
    case ERROR_CANT_ACCESS_FILE:
        return EINVAL;
    default:
        return EIO;
    }
}

} // namespace platform::detail

using namespace platform::detail;
using platform::NativePath;

extern "C" HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES,
                              DWORD disposition, DWORD flags, HANDLE) {
    return CreateFileNative("CreateFileA", name, MapPath(name), access, share, disposition, flags);
}

extern "C" HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES,
                              DWORD disposition, DWORD flags, HANDLE) {
    return CreateFileNative("CreateFileW", name, MapPath(name), access, share, disposition, flags);
}

extern "C" BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD toRead, LPDWORD read,
                         LPOVERLAPPED overlapped) {
    FileCallScope scope;
    if (read != nullptr)
        *read = 0;
    if (Injected("ReadFile"))
        return FALSE;
    auto file = FileFromHandle(handle);
    if (!file)
        return FALSE;
    // Positioned and overlapped file I/O is not part of the stand-in.
    if (overlapped != nullptr || (buffer == nullptr && toRead > 0))
        return Fail(ERROR_INVALID_PARAMETER);
    if (!WantsRead(file->access))
        return Fail(ERROR_ACCESS_DENIED);
    if (file->folder)
        return Fail(ERROR_INVALID_FUNCTION);
    DWORD done = 0;
    while (done < toRead) {
        ssize_t n = ::read(file->fd, static_cast<char*>(buffer) + done, toRead - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return Fail(Win32ErrorFromErrno(errno));
        if (n == 0)
            break;
        done += static_cast<DWORD>(n);
    }
    if (read != nullptr)
        *read = done;
    return TRUE;
}

extern "C" BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD toWrite, LPDWORD written,
                          LPOVERLAPPED overlapped) {
    FileCallScope scope;
    if (written != nullptr)
        *written = 0;
    if (Injected("WriteFile"))
        return FALSE;
    auto file = FileFromHandle(handle);
    if (!file)
        return FALSE;
    if (overlapped != nullptr || (buffer == nullptr && toWrite > 0))
        return Fail(ERROR_INVALID_PARAMETER);
    if (!WantsWrite(file->access))
        return Fail(ERROR_ACCESS_DENIED);
    if (file->folder)
        return Fail(ERROR_INVALID_FUNCTION);
    size_t limit;
    {
        State& s = state();
        std::lock_guard<std::mutex> lock(s.mutex);
        limit = s.writeLimit;
    }
    DWORD goal = static_cast<DWORD>(std::min<size_t>(toWrite, limit));
    DWORD done = 0;
    int err = 0;
    while (done < goal) {
        ssize_t n = ::write(file->fd, static_cast<const char*>(buffer) + done, goal - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            err = errno;
            break;
        }
        done += static_cast<DWORD>(n);
    }
    if (done > 0)
        CacheWritten(file->key, file->fd);
    if (err != 0)
        return Fail(Win32ErrorFromErrno(err));
    if (written != nullptr)
        *written = done;
    return TRUE;
}

extern "C" BOOL FlushFileBuffers(HANDLE handle) {
    FileCallScope scope;
    if (Injected("FlushFileBuffers"))
        return FALSE;
    auto file = FileFromHandle(handle);
    if (!file)
        return FALSE;
    if (!WantsWrite(file->access))
        return Fail(ERROR_ACCESS_DENIED);
    if (::fsync(file->fd) != 0)
        return Fail(Win32ErrorFromErrno(errno));
    if (!file->folder)
        CacheFlushed(file->key);
    return TRUE;
}

extern "C" BOOL GetFileSizeEx(HANDLE handle, PLARGE_INTEGER size) {
    FileCallScope scope;
    if (Injected("GetFileSizeEx"))
        return FALSE;
    auto file = FileFromHandle(handle);
    if (!file)
        return FALSE;
    if (size == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    struct stat st {};
    if (::fstat(file->fd, &st) != 0)
        return Fail(Win32ErrorFromErrno(errno));
    size->QuadPart = st.st_size;
    return TRUE;
}

extern "C" DWORD GetFileSize(HANDLE handle, LPDWORD high) {
    FileCallScope scope;
    if (Injected("GetFileSize"))
        return INVALID_FILE_SIZE;
    auto file = FileFromHandle(handle);
    if (!file)
        return INVALID_FILE_SIZE;
    struct stat st {};
    if (::fstat(file->fd, &st) != 0) {
        SetLastError(Win32ErrorFromErrno(errno));
        return INVALID_FILE_SIZE;
    }
    uint64_t size = static_cast<uint64_t>(st.st_size);
    if (high != nullptr)
        *high = static_cast<DWORD>(size >> 32);
    // A low part equal to INVALID_FILE_SIZE is told apart by a cleared last error.
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(size);
}

extern "C" DWORD SetFilePointer(HANDLE handle, LONG distance, PLONG high, DWORD method) {
    FileCallScope scope;
    if (Injected("SetFilePointer"))
        return INVALID_SET_FILE_POINTER;
    auto file = FileFromHandle(handle);
    if (!file)
        return INVALID_SET_FILE_POINTER;
    if (method > FILE_END) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_SET_FILE_POINTER;
    }
    // With `high` the distance is 64 bits wide, without it a signed 32-bit value.
    int64_t offset =
        high != nullptr
            ? static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(*high)) << 32) |
                                   static_cast<uint32_t>(distance))
            : static_cast<int64_t>(distance);
    int64_t base = 0;
    if (method == FILE_CURRENT) {
        base = ::lseek(file->fd, 0, SEEK_CUR);
    } else if (method == FILE_END) {
        struct stat st {};
        base = ::fstat(file->fd, &st) == 0 ? st.st_size : -1;
    }
    if (base < 0) {
        SetLastError(Win32ErrorFromErrno(errno));
        return INVALID_SET_FILE_POINTER;
    }
    // A failed move leaves the position where it was.
    if (offset < -base) {
        SetLastError(ERROR_NEGATIVE_SEEK);
        return INVALID_SET_FILE_POINTER;
    }
    off_t position = ::lseek(file->fd, static_cast<off_t>(base + offset), SEEK_SET);
    if (position < 0) {
        SetLastError(Win32ErrorFromErrno(errno));
        return INVALID_SET_FILE_POINTER;
    }
    if (high != nullptr)
        *high = static_cast<LONG>(static_cast<uint64_t>(position) >> 32);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(position);
}

extern "C" DWORD GetFileAttributesA(LPCSTR name) {
    return GetAttributesNative("GetFileAttributesA", name, MapPath(name));
}

extern "C" DWORD GetFileAttributesW(LPCWSTR name) {
    return GetAttributesNative("GetFileAttributesW", name, MapPath(name));
}

extern "C" BOOL GetFileAttributesExA(LPCSTR name, GET_FILEEX_INFO_LEVELS level, LPVOID info) {
    return GetAttributesExNative("GetFileAttributesExA", name, MapPath(name), level, info);
}

extern "C" BOOL GetFileAttributesExW(LPCWSTR name, GET_FILEEX_INFO_LEVELS level, LPVOID info) {
    return GetAttributesExNative("GetFileAttributesExW", name, MapPath(name), level, info);
}

extern "C" BOOL SetFileAttributesA(LPCSTR name, DWORD attributes) {
    return SetAttributesNative("SetFileAttributesA", name, MapPath(name), attributes);
}

extern "C" BOOL SetFileAttributesW(LPCWSTR name, DWORD attributes) {
    return SetAttributesNative("SetFileAttributesW", name, MapPath(name), attributes);
}

extern "C" BOOL DeleteFileA(LPCSTR name) {
    return DeleteNative("DeleteFileA", name, MapPath(name));
}

extern "C" BOOL DeleteFileW(LPCWSTR name) {
    return DeleteNative("DeleteFileW", name, MapPath(name));
}

extern "C" BOOL CreateDirectoryA(LPCSTR name, LPSECURITY_ATTRIBUTES) {
    return CreateDirectoryNative("CreateDirectoryA", name, MapPath(name));
}

extern "C" BOOL CreateDirectoryW(LPCWSTR name, LPSECURITY_ATTRIBUTES) {
    return CreateDirectoryNative("CreateDirectoryW", name, MapPath(name));
}

extern "C" BOOL RemoveDirectoryA(LPCSTR name) {
    return RemoveDirectoryNative("RemoveDirectoryA", name, MapPath(name));
}

extern "C" BOOL RemoveDirectoryW(LPCWSTR name) {
    return RemoveDirectoryNative("RemoveDirectoryW", name, MapPath(name));
}

extern "C" BOOL MoveFileExA(LPCSTR existing, LPCSTR target, DWORD flags) {
    return MoveNative("MoveFileExA", existing, target, MapPath(existing), MapPath(target), flags);
}

extern "C" BOOL MoveFileExW(LPCWSTR existing, LPCWSTR target, DWORD flags) {
    return MoveNative("MoveFileExW", existing, target, MapPath(existing), MapPath(target), flags);
}

namespace platform::test {

std::string ReadWholeFile(const char* path) {
    const std::string name = path ? path : "";
    struct stat st {};
    DWORD refused = 0;
    const int fd = OpenWithoutWaiting(NativePath(path), O_RDONLY, 0, false, &st, &refused);
    if (fd < 0)
        throw std::runtime_error("ReadWholeFile: cannot open " + name);
    // Exactly the length found, and the end there: a file that goes on would
    // never be read to its end.
    std::string bytes(static_cast<size_t>(st.st_size), '\0');
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::read(fd, &bytes[done], bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    char extra = 0;
    const bool whole = done == bytes.size() && ::read(fd, &extra, 1) == 0;
    ::close(fd);
    if (!whole)
        throw std::runtime_error("ReadWholeFile: cannot read " + name + " whole");
    return bytes;
}

void WriteWholeFile(const char* path, const std::string& bytes) {
    std::ofstream out(NativePath(path), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out)
        throw std::runtime_error(std::string("WriteWholeFile: cannot write ") + (path ? path : ""));
}

void FailNextFileCall(const char* function, DWORD error) {
    FailFileCallAt(function, 1, error);
}

void FailFileCallAt(const char* function, int n, DWORD error) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (error == 0 || n < 1)
        s.callFailures.erase(function);
    else
        s.callFailures[function] = {s.callCounts[function] + n, error};
}

int FileCallCount(const char* function) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.callCounts.find(function);
    return it == s.callCounts.end() ? 0 : it->second;
}

void SetWriteFileLimit(size_t limit) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.writeLimit = limit;
}

void SetExtraFileAttributes(const char* path, DWORD bits) {
    StoreExtraAttributes(NativePath(path),
                         bits & ~(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY));
}

void StartFileCallJournal() {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.journal.clear();
    s.journaling = true;
}

std::vector<std::string> StopFileCallJournal() {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.journaling = false;
    std::vector<std::string> journal;
    journal.swap(s.journal);
    return journal;
}

void EndProcessAtFileCall(const char* function, int n, FileCallEnd when, int status) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (function == nullptr || n < 1) {
        s.end = ArmedEnd{};
        return;
    }
    s.end = ArmedEnd{function, s.callCounts[function] + n, when, status};
}

void CutPowerAfterFileCall(const char* function, int n, size_t kept) {
    const bool arm = function != nullptr && n >= 1;
    if (arm)
        StartCacheForCut(kept);
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.end = arm ? ArmedEnd{function, s.callCounts[function] + n, FileCallEnd::After, 0, true}
                : ArmedEnd{};
}

} // namespace platform::test
