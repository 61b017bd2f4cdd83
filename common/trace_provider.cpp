#include "common/trace_provider.h"

AdapterTraceControlBlock g_AdapterTraceControlBlock = {nullptr, 0, {0}, 1,
                                                       {0},     0, {0}, &AdapterTraceControlGuid};

// Constant-initialised, so a statement that runs before any dynamic
// initialisation (or after DllMain's detach) already sees the mark.
std::atomic<void*> g_AdapterTraceAnchor{&g_AdapterTraceAnchor};

ULONG WINAPI AdapterTraceControlCallback(WMIDPREQUESTCODE requestCode, PVOID context,
                                         ULONG* bufferSize, PVOID buffer) {
    if (bufferSize != nullptr)
        *bufferSize = 0;
    auto* block = static_cast<AdapterTraceControlBlock*>(context);
    if (block == nullptr)
        return ERROR_INVALID_PARAMETER;

    switch (requestCode) {
    case WMI_ENABLE_EVENTS: {
        TRACEHANDLE logger = GetTraceLoggerHandle(buffer);
        UCHAR level = GetTraceEnableLevel(logger);
        ULONG flags = GetTraceEnableFlags(logger);
        // The logger goes first and the flags last, so a statement that sees
        // the new flags also sees the logger they belong to.
        block->loggerHandle.store(logger, std::memory_order_release);
        block->enableLevel.store(level, std::memory_order_release);
        block->enableFlags.store(flags, std::memory_order_release);
        return ERROR_SUCCESS;
    }
    case WMI_DISABLE_EVENTS:
        // The reverse order: statements stop before the logger goes away.
        block->enableFlags.store(0, std::memory_order_release);
        block->enableLevel.store(0, std::memory_order_release);
        block->loggerHandle.store(0, std::memory_order_release);
        return ERROR_SUCCESS;
    default:
        return ERROR_INVALID_PARAMETER;
    }
}
