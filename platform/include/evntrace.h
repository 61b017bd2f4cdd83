// Event tracing: provider registration and trace messages.
#pragma once
#include "wintypes.h"
#include "wmistr.h"

typedef ULONG64 TRACEHANDLE;
typedef TRACEHANDLE* PTRACEHANDLE;

#define TRACE_LEVEL_NONE 0
#define TRACE_LEVEL_CRITICAL 1
#define TRACE_LEVEL_FATAL 1
#define TRACE_LEVEL_ERROR 2
#define TRACE_LEVEL_WARNING 3
#define TRACE_LEVEL_INFORMATION 4
#define TRACE_LEVEL_VERBOSE 5

#define TRACE_MESSAGE_SEQUENCE 0x01u
#define TRACE_MESSAGE_GUID 0x02u
#define TRACE_MESSAGE_COMPONENTID 0x04u
#define TRACE_MESSAGE_TIMESTAMP 0x08u
#define TRACE_MESSAGE_SYSTEMINFO 0x20u

#define EVENT_TRACE_FILE_MODE_CIRCULAR 0x00000002u

typedef ULONG(WINAPI* WMIDPREQUEST)(WMIDPREQUESTCODE requestCode, PVOID requestContext,
                                    ULONG* bufferSize, PVOID buffer);

typedef struct _TRACE_GUID_REGISTRATION {
    LPCGUID Guid;
    HANDLE RegHandle;
} TRACE_GUID_REGISTRATION, *PTRACE_GUID_REGISTRATION;
static_assert(sizeof(TRACE_GUID_REGISTRATION) == 16, "TRACE_GUID_REGISTRATION");

#define EVNTRACE_API extern "C" __attribute__((visibility("default")))
EVNTRACE_API ULONG RegisterTraceGuidsW(WMIDPREQUEST callback, PVOID context, LPCGUID controlGuid,
                                       ULONG guidCount, PTRACE_GUID_REGISTRATION guidReg,
                                       LPCWSTR mofImagePath, LPCWSTR mofResourceName,
                                       PTRACEHANDLE registrationHandle);
EVNTRACE_API ULONG UnregisterTraceGuids(TRACEHANDLE registrationHandle);
EVNTRACE_API TRACEHANDLE GetTraceLoggerHandle(PVOID buffer);
EVNTRACE_API UCHAR GetTraceEnableLevel(TRACEHANDLE loggerHandle);
EVNTRACE_API ULONG GetTraceEnableFlags(TRACEHANDLE loggerHandle);
// Arguments after the number are (pointer, size_t length) pairs ended by a null pointer.
// va_start after a parameter that undergoes default promotion (the platform's
// USHORT message number) is undefined, so the stand-in's entry takes the number
// widened and TraceMessage keeps the platform's call shape in front of it.
EVNTRACE_API ULONG TraceMessageWidened(TRACEHANDLE loggerHandle, ULONG messageFlags,
                                       LPCGUID messageGuid, ULONG messageNumber, ...);
template <class... Args>
inline ULONG TraceMessage(TRACEHANDLE loggerHandle, ULONG messageFlags, LPCGUID messageGuid,
                          USHORT messageNumber, Args... args) {
    return TraceMessageWidened(loggerHandle, messageFlags, messageGuid, messageNumber, args...);
}
