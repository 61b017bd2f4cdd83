#pragma once
#include <string>
#include "../windows.h"

namespace platform::test {

// Files: `path` is mapped like every file call. Extra attribute bits
// (hidden, system, reparse point, ...) that POSIX cannot hold are kept by the
// stand-in per path and reported by GetFileAttributes*.
WINPLATFORM_CPP std::string ReadWholeFile(const char* path);
WINPLATFORM_CPP void WriteWholeFile(const char* path, const std::string& bytes);

// The next call of the named file function ("CreateFileA", "WriteFile",
// "FlushFileBuffers", "DeleteFileA", "MoveFileExA", ...) fails with `error`.
WINPLATFORM_CPP void FailNextFileCall(const char* function, DWORD error);
// WriteFile writes at most `limit` bytes per call and reports what it wrote
// (a short write); SIZE_MAX again turns it off.
WINPLATFORM_CPP void SetWriteFileLimit(size_t limit);

} // namespace platform::test
