// The adapter library's one event-tracing provider: its control GUID, its
// enable flag, its state and the anchor through which every trace statement
// reaches that state.
#pragma once
#include <atomic>
#include <windows.h>
#include <evntrace.h>

// {E1A44DA1-D546-4FF9-A1C7-A4F4FED9A9A4}
inline constexpr GUID AdapterTraceControlGuid = {
    0xE1A44DA1, 0xD546, 0x4FF9, {0xA1, 0xC7, 0xA4, 0xF4, 0xFE, 0xD9, 0xA9, 0xA4}};

// Bit 0 of a session's enable flags; the only flag the library defines.
inline constexpr ULONG TRACE_FLAG_ADAPTER = 0x1;

struct AdapterTraceControlBlock {
    AdapterTraceControlBlock* next;
    // Written only by DllMain (under the loader's serialisation) and by
    // RegisterTraceGuidsW through a plain pointer, so it stays a plain value.
    TRACEHANDLE registrationHandle;
    // The next three are written by the enable callback on the controller's
    // thread while trace statements read them on other threads.
    std::atomic<TRACEHANDLE> loggerHandle;
    UCHAR flagWordCount;
    std::atomic<UCHAR> enableLevel;
    USHORT options;
    std::atomic<ULONG> enableFlags;
    LPCGUID controlGuid;
};
static_assert(sizeof(std::atomic<TRACEHANDLE>) == sizeof(TRACEHANDLE) &&
                  sizeof(std::atomic<UCHAR>) == 1 && sizeof(std::atomic<ULONG>) == 4,
              "atomic fields keep the block's layout");

// The library's one control block.
extern AdapterTraceControlBlock g_AdapterTraceControlBlock;

// Points at itself (the not-registered mark) until DllMain registers the
// provider and again after it unregisters it; at the control block between.
extern std::atomic<void*> g_AdapterTraceAnchor;

// The control block while the provider is registered, else null.
inline AdapterTraceControlBlock* AdapterTraceRegisteredBlock() {
    void* anchor = g_AdapterTraceAnchor.load(std::memory_order_acquire);
    if (anchor == static_cast<void*>(&g_AdapterTraceAnchor))
        return nullptr;
    return static_cast<AdapterTraceControlBlock*>(anchor);
}

// The enable callback handed to RegisterTraceGuidsW; `context` is the
// control block.
ULONG WINAPI AdapterTraceControlCallback(WMIDPREQUESTCODE requestCode, PVOID context,
                                         ULONG* bufferSize, PVOID buffer);
