// The storage adapter's own driver requests, those outside the device
// channel's chip operations (sensor id, capabilities, policy, host id, chip
// database version). They go through the channel's one request path.
#pragma once
#include <windows.h>
#include <winbio_adapter.h>

// Sends `code` synchronously on the pipeline's sensor handle. The reply
// buffer is cleared first; a reply shorter than `required` bytes is a failed
// request (ERROR_INVALID_DATA), never a zero-filled success. Returns 0 or the
// Win32 error.
DWORD SendChipRequest(PWINBIO_PIPELINE pipeline, DWORD code, const void* input, DWORD inputSize,
                      void* output, DWORD outputSize, DWORD required);

// The chip's database version; 0 when the request fails (the chip then counts
// as one that may still have legacy files), with its Win32 error in `error`
// (0 after a request that succeeded).
DWORD GetChipDatabaseVersion(PWINBIO_PIPELINE pipeline, DWORD* error);
// Records `version` on the chip: 0 or the Win32 error.
DWORD SetChipDatabaseVersion(PWINBIO_PIPELINE pipeline, DWORD version);
