// File, folder and console-state utilities shared by both libraries. Paths
// are narrow, NUL-terminated strings in the process's ANSI code page. None of
// these functions keeps state, takes a lock or throws; each reports through
// its result only.
#pragma once
#include <windows.h>

// Length of the file in bytes; 0xFFFFFFFF when it cannot be opened or
// positioned, and for a file of 4 GiB or more, whose length does not fit.
DWORD GetFileLength(const char* path);

// Reads up to `count` bytes of the file into `destination`. True when the
// path exists, whatever was read: a shorter file fills only its length, a
// file that cannot be opened, a null destination or a count of 0 or less
// reads nothing.
bool ReadFileToBuffer(const char* path, void* destination, int count);

// Opens the file as the platform's standard streams do, shared with other
// readers and writers. Through the platform's own open, a name that is not a
// file (a folder, a FIFO, a device) is refused at once instead of waited on.
HANDLE OpenSharedStream(const char* path, DWORD access, DWORD disposition);

// Writes all `size` bytes to the open file: 0, or the Win32 error of the write
// that failed (ERROR_WRITE_FAULT for one that made no progress, which would
// otherwise loop for ever).
DWORD WriteAllBytes(HANDLE file, const void* data, size_t size);

// Creates or truncates the file and writes `count` bytes to it; nothing is
// reported. A null source or a negative count leaves the file untouched.
void WriteFileStream(const char* path, const void* source, int count);

// Creates or truncates the file through the C runtime and writes `count`
// bytes: 0 on success, the runtime's error number when the open fails, -1
// when a write, the flush or the close fails, or for a null source with a
// positive count or a negative count (then the file is not opened).
int WriteFileCrt(const char* path, const void* source, int count);

// Creates or replaces the file without sharing and writes `count` bytes: true
// only when every byte was written and flushed (note the argument order).
bool WriteFileWin32(const void* source, DWORD count, const char* path);

// The path exists: its attributes can be read and carry the directory bit or
// one of the ordinary file bits (mask 0x7BA7), not only a reparse or device bit.
bool IsPathExist(const char* path);

// TRUE when the C runtime's existence check (_access mode 0) passes; files and
// folders both pass. Two names for one test.
BOOL IsFileExist(const char* path);
BOOL IsPathAccessible(const char* path);

// Deletes an existing file, clearing a read-only mark if the first attempt
// fails; false when the path does not exist or the file stays.
bool DeleteFileIfExist(const char* path);

// Removes an existing, empty folder; false when the path does not exist.
bool RemoveDirectoryIfExist(const char* path);

// True when CreateDirectoryA made the folder (false for an existing one).
bool MakeDirectory(const char* path);

// Creates every prefix of the path that ends at a backslash or slash and does
// not exist yet: 0 on success (a null or empty path included), -1 for a path
// of MAX_PATH characters or more or when a creation fails (folders made before
// it stay).
int CreateDirectoryTree(const char* path);

// Writes the ProgramData folder followed by "\Quorvin" and, when `subfolder`
// is given, a backslash and the subfolder into `output`, which holds MAX_PATH
// characters. The output stays empty when the folder cannot be obtained or
// the path does not fit. Nothing is created but the ProgramData folder itself.
void GetLogFolderPath(char* output, const char* subfolder);

// Lock state of the active console session: WTS_SESSIONSTATE_LOCK (0),
// WTS_SESSIONSTATE_UNLOCK (1), WTS_SESSIONSTATE_UNKNOWN, or 255 when the query
// fails or its reply is unusable. The output always receives a value.
void GetConsoleSessionLockState(DWORD* state);
