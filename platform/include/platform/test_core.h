#pragma once
#include <cstddef>
#include <string>
#include <vector>
#include "../windows.h"

namespace platform::test {

// Puts every piece of process-wide state of the stand-in back to its start:
// trace sessions and captures, heap faults, console session, known folders,
// fixture modules, captured debugger output, and the later areas' state.
WINPLATFORM_CPP void ResetAll();

// Process heap: the next `count` allocations fail (HeapAlloc returns null).
WINPLATFORM_CPP void FailNextHeapAllocations(int count = 1);
// Blocks handed out by HeapAlloc and not yet freed, and the bytes asked for them.
WINPLATFORM_CPP size_t LiveHeapBlocks();
WINPLATFORM_CPP size_t LiveHeapBytes();

// Handles of any kind (files, events, devices) not yet closed.
WINPLATFORM_CPP size_t OpenHandleCount();

// Debugger output (OutputDebugStringA/W), one entry per call, as UTF-8.
WINPLATFORM_CPP std::vector<std::string> DebugOutput();
WINPLATFORM_CPP void ClearDebugOutput();

// Local time: a fixed value, or the real clock again after ClearLocalTime.
WINPLATFORM_CPP void SetLocalTime(const SYSTEMTIME& time);
WINPLATFORM_CPP void ClearLocalTime();

} // namespace platform::test
