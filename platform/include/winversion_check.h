// Version check: VerifyVersionInfoW compares the running system with a record
// under a condition mask built with VerSetConditionMask.
#pragma once
#include "wintypes.h"

typedef struct _OSVERSIONINFOEXW {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    WCHAR szCSDVersion[128];
    WORD wServicePackMajor;
    WORD wServicePackMinor;
    WORD wSuiteMask;
    BYTE wProductType;
    BYTE wReserved;
} OSVERSIONINFOEXW, *POSVERSIONINFOEXW, *LPOSVERSIONINFOEXW;
static_assert(sizeof(OSVERSIONINFOEXW) == 284, "OSVERSIONINFOEXW");

#define VER_MINORVERSION 0x0000001u
#define VER_MAJORVERSION 0x0000002u
#define VER_BUILDNUMBER 0x0000004u
#define VER_PLATFORMID 0x0000008u
#define VER_SERVICEPACKMINOR 0x0000010u
#define VER_SERVICEPACKMAJOR 0x0000020u
#define VER_SUITENAME 0x0000040u
#define VER_PRODUCT_TYPE 0x0000080u

#define VER_EQUAL 1
#define VER_GREATER 2
#define VER_GREATER_EQUAL 3
#define VER_LESS 4
#define VER_LESS_EQUAL 5
#define VER_AND 6
#define VER_OR 7
#define VER_CONDITION_MASK 7
#define VER_NUM_BITS_PER_CONDITION_MASK 3

WINPLATFORM_API ULONGLONG VerSetConditionMask(ULONGLONG conditionMask, DWORD typeMask,
                                              BYTE condition);
WINPLATFORM_API BOOL VerifyVersionInfoW(LPOSVERSIONINFOEXW versionInfo, DWORD typeMask,
                                        DWORDLONG conditionMask);
