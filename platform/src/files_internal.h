// Machinery shared by the stand-in's file calls and its C runtime calls.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <sys/stat.h>
#include "internal.h"

namespace platform::detail {

// A platform path mapped onto the file system, or the platform's refusal of it.
struct MappedPath {
    std::string native; // empty when refused
    // ERROR_PATH_NOT_FOUND for an empty path, ERROR_FILENAME_EXCED_RANGE for one
    // too long, ERROR_INVALID_PARAMETER for none; ERROR_SUCCESS otherwise.
    DWORD error = ERROR_SUCCESS;
};
MappedPath MapPath(const char* path);
MappedPath MapPath(const WCHAR* path);

// A file's identity, for the share-mode checks of every open.
using FileKey = std::pair<dev_t, ino_t>;

// Records an open of `key` with its access and share mode (GENERIC_*,
// FILE_SHARE_*), unless it conflicts with an open already recorded; `id`
// names the record for EndOpen.
bool BeginOpen(const FileKey& key, DWORD access, DWORD share, uint64_t* id);
void EndOpen(const FileKey& key, uint64_t id);

// Counts the call of `function`, notes it in the journal, ends the process
// where EndProcessAtFileCall asks, and hands out a failure armed for it by
// FailFileCallAt (0 when none is armed).
DWORD TakeFileCallFailure(const char* function);

// POSIX cannot hold the platform's read-only mark for root, who may write any
// file: the stand-in reads it from the owner's write bit and enforces it itself.
inline bool IsReadOnlyMode(mode_t mode) {
    return (mode & S_IWUSR) == 0;
}

// On the platform's volumes a name holds a file or a folder: a FIFO, a socket or
// a device there (or a link to one) is a node that the platform's file calls
// cannot open, and a folder opens only with backup semantics. The error an
// open of `native` meets, given what `st` (links followed) shows: 0 for a
// regular file, and for a folder when `folderOpens`; ERROR_ACCESS_DENIED for
// a folder otherwise; ERROR_CANT_ACCESS_FILE for anything else, but for a
// character device named by its own path outside the drive root, the
// stand-in's way to reach a device as the platform's device names do.
DWORD NotAFileError(const std::string& native, const struct stat& st, bool folderOpens);

// Opens `native` with `oflags` and `mode` without ever waiting (no FIFO or
// device open blocks), then checks what the descriptor itself is, so that a
// name swapped after an earlier check is caught as well. The descriptor, with
// `st` filled from it; or -1 and either `refused` set to the platform's error
// for what was found (nothing stays open) or `refused` 0 and errno the open's.
int OpenWithoutWaiting(const std::string& native, int oflags, mode_t mode, bool folderOpens,
                       struct stat* st, DWORD* refused);

// What the existence and attribute calls find at `native`: what a link leads to, as the
// stand-in shows a link that can be followed; but the link itself when its target cannot
// be followed (gone, or a loop), as the platform describes every link itself, so that a
// link whose volume is away is a name that is there, and only its open fails. 0, or -1
// with errno from following the name.
int LookUpName(const std::string& native, struct stat* st);

// The read-only mark of the name itself, `own` being what lstat found there: a link has no
// mode bits of its own, so the mark that SetFileAttributes gives a link whose target is
// gone is kept beside it.
bool MarkedReadOnly(const std::string& native, const struct stat& own);

// The platform's error for a failed call on `native`: a missing last component
// is ERROR_FILE_NOT_FOUND, a missing folder on the way ERROR_PATH_NOT_FOUND.
DWORD PathError(int err, const std::string& native);

// A failure armed for a C runtime call, as the errno it stands for.
int ErrnoFromWin32(DWORD error);

// The absolute, normalized form of a native path: one key per file name.
std::string NormalizedNativePath(const std::string& native);

// The disk cache of the power-cut test control (disk_cache.cpp). While it is
// kept, each call that changes a file or a name tells it: an open that may
// write `file` at `native` (before it truncates; `created` when the name is
// new), a change of the bytes of the file behind `fd` (a write, a truncation),
// a flush, and a folder synced after a move. Deletions and moves go through it,
// so that it meets their names before the change and notes only a change that
// was made; they return as unlink and rename do. Each only passes the call on
// while the cache is not kept.
void CacheWriteOpen(const std::string& native, const FileKey& file, bool created);
void CacheWritten(const FileKey& file, int fd);
void CacheFlushed(const FileKey& file);
int CachedUnlink(const std::string& native);
int CachedRename(const std::string& from, const std::string& to);
void CacheFolderSynced(const std::string& nativeFolder);
// Starts the cache afresh for a cut that keeps the first `kept` changes not yet
// durable.
void StartCacheForCut(size_t kept);
// Puts back what the disk holds for sure and turns the power off: from then
// on every file call fails with ERROR_NOT_READY.
void CutPower();
bool PowerIsOff();

// Brackets one file call for the test control that ends the process just
// after a call: each file function makes one on entry, before it takes its
// armed failure, and it ends the process on the way out when that call was the
// one named. Calls made inside another (a close inside a failed open) nest.
class FileCallScope {
public:
    FileCallScope();
    ~FileCallScope();
    FileCallScope(const FileCallScope&) = delete;
    FileCallScope& operator=(const FileCallScope&) = delete;
};

} // namespace platform::detail
