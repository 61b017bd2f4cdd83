// Little-endian fields of driver replies, files and callers' buffers, read
// byte by byte so that no alignment or host order is assumed.
#pragma once
#include <windows.h>

inline DWORD ReadLe16(const BYTE* bytes) {
    return static_cast<DWORD>(bytes[0]) | (static_cast<DWORD>(bytes[1]) << 8);
}

inline DWORD ReadLe32(const BYTE* bytes) {
    return ReadLe16(bytes) | (ReadLe16(bytes + 2) << 16);
}
