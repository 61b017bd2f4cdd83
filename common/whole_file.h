// Whole-file reads and writes of the storage adapter and the simulated chip. Their files are never
// patched in place: a reader takes the whole file or nothing, and a writer
// replaces the whole file or leaves the old one as it was.
#pragma once
#include <windows.h>
#include <vector>

// The largest header and block count the file's 16-bit fields can describe
// come to about 64 MiB; a file far beyond that is not one of ours, and no
// buffer is sized from it.
constexpr ULONGLONG kMaxWholeFileBytes = 128ull << 20;

// Reads the file at the narrow (ANSI) path whole. The length is that of the
// opened file, never one taken beforehand; a read that ends early fails, and
// so does a file that goes on past that length: a file read in part would be
// saved back as the part. S_OK; WINBIO_E_DATABASE_CORRUPTED when the file
// cannot be opened (a name that is not a file included), measured or read
// whole, or is longer than kMaxWholeFileBytes; E_OUTOFMEMORY. `bytes`
// changes only on S_OK. `unreadable`, when given, tells whether a file call
// failed (the open, the measure or a read): a state that may pass, unlike a
// content that is refused.
HRESULT LoadWholeFile(const char* path, std::vector<BYTE>* bytes, bool* unreadable = nullptr);

// The temporary file of a replacement is the target's path with this suffix.
// The platform refuses a path of MAX_PATH characters or more, so a target
// whose path leaves no room for it cannot be replaced.
constexpr char16_t kReplacementSuffix[] = u".new";

// Creates the temporary file of a replacement (the target's path with
// kReplacementSuffix) as a file made by this call, for writing: whatever stands
// at that name is the writer's and is removed first (a file, one marked
// read-only, an empty folder, a link as itself), and the creation fails on any
// name still there, so a link planted there is never written through.
// INVALID_HANDLE_VALUE with the last error set when either step fails
// (ERROR_DIR_NOT_EMPTY for a folder with something in it).
HANDLE CreateReplacementFile(const WCHAR* temporary);
// The same for a narrow (ANSI) path.
HANDLE CreateReplacementFile(const char* temporary);

// Replaces the file at `path` with `size` bytes: writes them to a temporary
// file in the same folder that it creates itself (whatever stood at that name
// is removed, and a name that cannot be removed fails the replacement),
// checks every write, flushes, closes and moves the temporary file over the
// old one (write-through, so that a power cut cannot leave a renamed but
// empty file). A link at `path` is replaced, never written through. Returns
// 0, or the Win32 error of the step that failed; the old file is then
// untouched and the temporary file gone. A failure is traced with the path,
// the number of bytes and the error (statement 14 when the temporary file
// cannot be made, 15 for every later step), so that a reader of the trace can
// try the same.
DWORD ReplaceWholeFile(const WCHAR* path, const BYTE* data, size_t size);
// The same for a narrow (ANSI) path; ERROR_NO_UNICODE_TRANSLATION when it has
// no wide form.
DWORD ReplaceWholeFile(const char* path, const BYTE* data, size_t size);
