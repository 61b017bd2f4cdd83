// Base types of the platform stand-in, with the widths of Windows x64 (LLP64).
#pragma once
#include <cstddef>
#include <cstdint>

#define WINPLATFORM_API extern "C" __attribute__((visibility("default")))
#define WINPLATFORM_CPP __attribute__((visibility("default")))

#define WINAPI
#define CALLBACK
#define APIENTRY
#define __cdecl
#define _In_
#define _Out_
#define _Inout_
#define _In_opt_
#define _Out_opt_
#define _Inout_opt_
#define FAR
#define NEAR
#define CONST const
#define VOID void

typedef void* PVOID;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef uint8_t BYTE;
typedef uint8_t UCHAR;
typedef uint8_t BOOLEAN;
typedef BOOLEAN* PBOOLEAN;
typedef BYTE* PBYTE;
typedef BYTE* LPBYTE;
typedef UCHAR* PUCHAR;
typedef char CHAR;
typedef uint16_t WORD;
typedef uint16_t USHORT;
typedef uint16_t UINT16;
typedef WORD* PWORD;
typedef USHORT* PUSHORT;
typedef uint32_t DWORD;
typedef uint32_t ULONG;
typedef uint32_t UINT;
typedef uint32_t ULONG32;
typedef uint32_t UINT32;
typedef DWORD* PDWORD;
typedef DWORD* LPDWORD;
typedef ULONG* PULONG;
typedef int32_t LONG;
typedef int32_t INT;
typedef int32_t INT32;
typedef LONG* PLONG;
typedef int32_t HRESULT;
typedef LONG LSTATUS;
typedef int32_t BOOL;
typedef BOOL* PBOOL;
typedef BOOL* LPBOOL;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef uint64_t DWORDLONG;
typedef uint64_t ULONG64;
typedef uint64_t UINT64;
typedef uint64_t DWORD64;
typedef int64_t INT64;
typedef ULONGLONG* PULONGLONG;
typedef ULONG64* PULONG64;
typedef uint64_t ULONG_PTR;
typedef int64_t LONG_PTR;
typedef uint64_t UINT_PTR;
typedef int64_t INT_PTR;
typedef uint64_t DWORD_PTR;
typedef ULONG_PTR SIZE_T;
typedef LONG_PTR SSIZE_T;
typedef SIZE_T* PSIZE_T;
typedef ULONG_PTR* PULONG_PTR;

typedef char16_t WCHAR;
typedef WCHAR* PWSTR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* PCWSTR;
typedef const WCHAR* LPCWSTR;
typedef CHAR* PSTR;
typedef CHAR* LPSTR;
typedef const CHAR* PCSTR;
typedef const CHAR* LPCSTR;

#define TRUE 1
#define FALSE 0

typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef HANDLE* LPHANDLE;
struct HINSTANCE__ {
    int unused;
};
typedef HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;
struct HKEY__ {
    int unused;
};
typedef HKEY__* HKEY;
typedef HKEY* PHKEY;
struct HRSRC__ {
    int unused;
};
typedef HRSRC__* HRSRC;
typedef HANDLE HGLOBAL;

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)))
#define MAX_PATH 260
#define INFINITE 0xFFFFFFFFu

#define LOWORD(l) (static_cast<WORD>(static_cast<DWORD_PTR>(l) & 0xffff))
#define HIWORD(l) (static_cast<WORD>((static_cast<DWORD_PTR>(l) >> 16) & 0xffff))
#define LOBYTE(w) (static_cast<BYTE>(static_cast<DWORD_PTR>(w) & 0xff))
#define HIBYTE(w) (static_cast<BYTE>((static_cast<DWORD_PTR>(w) >> 8) & 0xff))
#define MAKEWORD(a, b)                                                                             \
    (static_cast<WORD>((static_cast<BYTE>(a)) | (static_cast<WORD>(static_cast<BYTE>(b)) << 8)))
#define MAKELONG(a, b)                                                                             \
    (static_cast<LONG>((static_cast<WORD>(a)) | (static_cast<DWORD>(static_cast<WORD>(b)) << 16)))

typedef struct _GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} GUID;
typedef GUID* LPGUID;
typedef const GUID* LPCGUID;
typedef GUID IID;
typedef GUID CLSID;
typedef GUID KNOWNFOLDERID;
typedef const GUID& REFGUID;
typedef const GUID& REFKNOWNFOLDERID;
static_assert(sizeof(GUID) == 16, "GUID is 16 bytes");

inline bool IsEqualGUID(const GUID& a, const GUID& b) {
    return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
           a.Data4[0] == b.Data4[0] && a.Data4[1] == b.Data4[1] && a.Data4[2] == b.Data4[2] &&
           a.Data4[3] == b.Data4[3] && a.Data4[4] == b.Data4[4] && a.Data4[5] == b.Data4[5] &&
           a.Data4[6] == b.Data4[6] && a.Data4[7] == b.Data4[7];
}
inline bool operator==(const GUID& a, const GUID& b) {
    return IsEqualGUID(a, b);
}
inline bool operator!=(const GUID& a, const GUID& b) {
    return !IsEqualGUID(a, b);
}

typedef union _LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER;
typedef LARGE_INTEGER* PLARGE_INTEGER;
static_assert(sizeof(LARGE_INTEGER) == 8 && alignof(LARGE_INTEGER) == 8, "LARGE_INTEGER");

typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME, *PFILETIME, *LPFILETIME;

typedef struct _SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
} SYSTEMTIME, *PSYSTEMTIME, *LPSYSTEMTIME;
static_assert(sizeof(SYSTEMTIME) == 16, "SYSTEMTIME");

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct _OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    union {
        struct {
            DWORD Offset;
            DWORD OffsetHigh;
        } s;
        PVOID Pointer;
    } u;
    HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;
static_assert(sizeof(OVERLAPPED) == 32, "OVERLAPPED");

#define STATUS_PENDING 0x00000103u
#define HasOverlappedIoCompleted(o) (static_cast<DWORD>((o)->Internal) != STATUS_PENDING)
