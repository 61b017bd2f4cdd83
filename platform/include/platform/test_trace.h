#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>
#include "../windows.h"
#include "../evntrace.h"

namespace platform::test {

// One TraceMessage call as the stand-in's controller received it.
struct TraceStatement {
    TRACEHANDLE logger = 0;
    ULONG flags = 0;
    GUID guid{};
    USHORT number = 0;
    std::vector<std::vector<uint8_t>> args; // each (pointer, length) pair's bytes
};

// A trace session that enables the provider of `control`. It reaches the
// provider's enable callback (WMI_ENABLE_EVENTS) at once if the provider is
// registered, else when it registers, as the platform's controller does.
WINPLATFORM_CPP void EnableTraceSession(const GUID& control, UCHAR level, ULONG flags);
// Stops the session: the callback gets WMI_DISABLE_EVENTS.
WINPLATFORM_CPP void DisableTraceSession(const GUID& control);
// Sends any request code to a registered provider's callback (with the
// session's logger in the buffer, 0 without a session); returns its result,
// or ERROR_NOT_FOUND when no provider of that GUID is registered.
WINPLATFORM_CPP ULONG SendTraceRequest(const GUID& control, ULONG requestCode);
// The next RegisterTraceGuidsW fails with `error`.
WINPLATFORM_CPP void FailNextTraceRegistration(ULONG error);
WINPLATFORM_CPP bool IsTraceProviderRegistered(const GUID& control);
WINPLATFORM_CPP int TraceRegisterCalls();
WINPLATFORM_CPP int TraceUnregisterCalls();
// The logger handle of the session that enables `control` (0: none).
WINPLATFORM_CPP TRACEHANDLE TraceSessionLogger(const GUID& control);

// Messages sent to the logger of a live session, in order; a message for
// any other logger handle is not captured (TraceMessage fails).
WINPLATFORM_CPP std::vector<TraceStatement> CapturedTraces();
WINPLATFORM_CPP void ClearCapturedTraces();
// Runs `hook` with each message as it is captured, on the thread that traced
// it and with no lock of the stand-in held: a test may stop an operation at
// one of its statements and act from another thread meanwhile. An empty
// function removes it, as ResetAll does.
WINPLATFORM_CPP void SetTraceHook(std::function<void(const TraceStatement&)> hook);

// Decoders of one argument's bytes; they throw std::invalid_argument when the
// size does not fit the type (a 32-bit value of 3 bytes, a string without NUL).
WINPLATFORM_CPP uint32_t TraceArgU32(const std::vector<uint8_t>& arg);
WINPLATFORM_CPP uint64_t TraceArgU64(const std::vector<uint8_t>& arg);
WINPLATFORM_CPP double TraceArgDouble(const std::vector<uint8_t>& arg);
WINPLATFORM_CPP std::string TraceArgString(const std::vector<uint8_t>& arg);
WINPLATFORM_CPP std::u16string TraceArgWString(const std::vector<uint8_t>& arg);

} // namespace platform::test
