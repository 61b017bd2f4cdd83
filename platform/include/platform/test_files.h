#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>
#include "../windows.h"

namespace platform::test {

// Files: `path` is mapped like every file call. Extra attribute bits
// (hidden, system, reparse point, ...) that POSIX cannot hold are kept by the
// stand-in per path and reported by GetFileAttributes*. The two helpers below
// throw std::runtime_error when the file cannot be read or written.
WINPLATFORM_CPP std::string ReadWholeFile(const char* path);
WINPLATFORM_CPP void WriteWholeFile(const char* path, const std::string& bytes);

// The next call of the named file function ("CreateFileA", "WriteFile",
// "FlushFileBuffers", "DeleteFileA", "MoveFileExA", "_mkdir", "fopen_s", ...)
// fails with `error` (a C runtime call with the errno that error stands for):
// FailFileCallAt(function, 1, error).
WINPLATFORM_CPP void FailNextFileCall(const char* function, DWORD error);
// The n-th call of the named function from now on (1 = the next) fails with
// `error`; the calls before it run normally. "CloseHandle" stands for the
// close of a file handle: the handle is closed all the same, but CloseHandle
// reports the failure. One failure is armed per function: arming another
// replaces it, and an error of 0 disarms it.
WINPLATFORM_CPP void FailFileCallAt(const char* function, int n, DWORD error);
// How often the named file function was called since the last ResetAll.
WINPLATFORM_CPP int FileCallCount(const char* function);
// WriteFile writes at most `limit` bytes per call and reports what it wrote
// (a short write); SIZE_MAX again turns it off.
WINPLATFORM_CPP void SetWriteFileLimit(size_t limit);
// Extra attribute bits of `path` (FILE_ATTRIBUTE_HIDDEN, _REPARSE_POINT,
// _DEVICE, ...) that GetFileAttributes* reports with its own; 0 clears them.
WINPLATFORM_CPP void SetExtraFileAttributes(const char* path, DWORD bits);

// Code pages: the ANSI code page that GetACP reports and CP_ACP converts in.
// The default, and after ResetAll, is CP_UTF8 (65001), under the platform's
// UTF-8 rules: WideCharToMultiByte takes no flag but WC_ERR_INVALID_CHARS
// (ERROR_INVALID_FLAGS) and neither lpDefaultChar nor lpUsedDefaultChar
// (ERROR_INVALID_PARAMETER), MultiByteToWideChar no flag but
// MB_ERR_INVALID_CHARS. Any other number plays a code page that is not UTF-8:
// it takes the mapping flags and the default-character arguments, refuses
// WC_ERR_INVALID_CHARS, and lacks the characters above the highest below.
WINPLATFORM_CPP void SetAnsiCodePage(UINT codePage);
// In an ANSI code page other than UTF-8, characters above `highest` (a Unicode
// code point) have no form, so WideCharToMultiByte(CP_ACP) puts the default
// character in their place and reports it through lpUsedDefaultChar. The
// default, and after ResetAll, is 0x10FFFF: every character has a form.
WINPLATFORM_CPP void SetAnsiCodePageHighest(uint32_t highest);

// Journal of file calls: from StartFileCallJournal on, every file call that
// FailFileCallAt counts is recorded by its function name ("CloseHandle" for
// the close of a file handle), in the order made. StopFileCallJournal ends the
// recording and hands the names over; the n-th "WriteFile" of the journal is
// the call that FailFileCallAt("WriteFile", n, ...) armed at the start would
// fail.
WINPLATFORM_CPP void StartFileCallJournal();
WINPLATFORM_CPP std::vector<std::string> StopFileCallJournal();

// Where EndProcessAtFileCall ends the process: before the call has done
// anything, or after it has done all it does and is about to return.
enum class FileCallEnd { Before, After };
// Ends the process abruptly with _exit(status) (no exit handlers, no stream
// buffers flushed, no destructors, as a crash or a kill would) just before or
// just after the n-th call of the named function from now on (1 = the next).
// The file system then holds what the calls before it made. Meant for a child
// made with fork(); n < 1 disarms it.
WINPLATFORM_CPP void EndProcessAtFileCall(const char* function, int n, FileCallEnd when,
                                          int status);

// Power cuts, in this process. From StartDiskCache on, the disk keeps a write
// cache that a power cut loses: bytes written to a file survive a cut only once
// FlushFileBuffers has returned (a new file never flushed is empty), and a new,
// deleted or moved name only once its folder is synced (a MoveFileEx with
// MOVEFILE_WRITE_THROUGH syncs the folder of its target). Folders and
// attributes are kept at once. A cut puts the files and names back as the
// disk holds them for sure, plus the first `kept` of the changes it had not
// made durable, in the order they were made (each write, creation, deletion
// and move is one change): as a disk that was writing back its cache when the
// power went. From then on every file call fails with ERROR_NOT_READY and
// changes nothing, until RestorePower.
WINPLATFORM_CPP void StartDiskCache();
// Starts the cache and cuts the power just after the n-th call of the named
// function from now on (1 = the next) has done its work and returns; n < 1
// disarms it (as it disarms an armed process end: one of the two is armed).
WINPLATFORM_CPP void CutPowerAfterFileCall(const char* function, int n, size_t kept = 0);
WINPLATFORM_CPP void CutPowerNow(size_t kept = 0);
// The power comes back and the cache ends: what is on the disk now counts as
// kept. True when the power was cut since the cache started; `undurable` then
// gets how many changes the cut found not yet durable (a cut that keeps as
// many keeps them all).
WINPLATFORM_CPP bool RestorePower(size_t* undurable = nullptr);

} // namespace platform::test
