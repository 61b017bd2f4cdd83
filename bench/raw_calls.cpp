#include "bench/raw_calls.h"

namespace moc_bench {

bool RawRequest(HANDLE device, DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize) {
    DWORD returned = 0;
    return DeviceIoControl(device, code, const_cast<void*>(in), inSize, out, outSize, &returned,
                           nullptr) != FALSE;
}

bool RawReadWhole(const char* path, std::vector<BYTE>* bytes) {
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER length{};
    DWORD done = 0;
    bool ok = GetFileSizeEx(file, &length) != FALSE;
    if (ok) {
        bytes->resize(static_cast<size_t>(length.QuadPart));
        ok = ReadFile(file, bytes->data(), static_cast<DWORD>(bytes->size()), &done, nullptr) &&
             done == bytes->size();
    }
    return CloseHandle(file) && ok;
}

bool RawRewriteWhole(const WCHAR* path, const WCHAR* temporary, const BYTE* data, size_t size) {
    HANDLE file = CreateFileW(temporary, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD done = 0;
    bool ok = WriteFile(file, data, static_cast<DWORD>(size), &done, nullptr) && done == size &&
              FlushFileBuffers(file);
    ok = CloseHandle(file) && ok;
    return ok && MoveFileExW(temporary, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

} // namespace moc_bench
