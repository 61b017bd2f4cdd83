// The platform calls that the baselines of the pairs are made of, made
// straight: no checks beyond each call's own result, nothing kept, nothing
// traced. What an operation adds to them is its own work.
#pragma once
#include <windows.h>
#include <vector>

namespace moc_bench {

// One synchronous driver request on the sensor's handle; false when it failed.
bool RawRequest(HANDLE device, DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize);

// The file read whole: open, size, one read, close.
bool RawReadWhole(const char* path, std::vector<BYTE>* bytes);

// The file replaced whole as this system replaces its files: `size` bytes
// written to `temporary` in the same folder, flushed, closed, and moved over
// `path` write-through (so the folder is synced too): two flushes.
bool RawRewriteWhole(const WCHAR* path, const WCHAR* temporary, const BYTE* data, size_t size);

} // namespace moc_bench
