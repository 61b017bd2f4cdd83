// Events and waits.
#pragma once
#include "wintypes.h"

#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED 0x00000080u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu

// Names are accepted and ignored: every event is a new, unnamed one.
WINPLATFORM_API HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset,
                                    BOOL initialState, LPCWSTR name);
WINPLATFORM_API HANDLE CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset,
                                    BOOL initialState, LPCSTR name);
WINPLATFORM_API BOOL SetEvent(HANDLE event);
WINPLATFORM_API BOOL ResetEvent(HANDLE event);
WINPLATFORM_API DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);

// An interlocked exchange is a compiler intrinsic on the platform: atomic,
// with a full barrier.
inline LONG InterlockedExchange(LONG volatile* target, LONG value) {
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedCompareExchange(LONG volatile* target, LONG value, LONG comparand) {
    __atomic_compare_exchange_n(target, &comparand, value, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return comparand;
}
