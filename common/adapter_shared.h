// Functions the three adapters share.
#pragma once
#include <windows.h>
#include <winbio_adapter.h>

// Length of a unit label: 64 hexadecimal characters and the NUL.
inline constexpr size_t kUnitLabelChars = 65;

// ERROR_CANCELLED, ERROR_OPERATION_ABORTED and ERROR_DRIVER_PROCESS_TERMINATED
// give WINBIO_E_CANCELED; every other value, 0 included, WINBIO_E_DEVICE_FAILURE.
HRESULT WinBioErrorFromWin32(DWORD error);

// Writes the 32-byte digest as 64 upper-case hex digits and a NUL into
// `label` (at least kUnitLabelChars). Null pointers write nothing.
void HashToHex(const BYTE* digest, char* label);

// Traces `count` bytes as lines of 16 ("%02X " each) under the engine unit's
// GUID: statement 10 for each full line, 11 for a last partial one. A count
// of 0 or less, or null bytes, trace nothing.
void TraceHexDump(const char* unitLabel, const BYTE* bytes, INT32 count);

// A zero-filled block of the process heap; null when the heap refuses.
LPVOID ProcessHeapAlloc(SIZE_T bytes);
// Releases a block of ProcessHeapAlloc (or of HeapAlloc on the process heap).
BOOL ProcessHeapFree(LPVOID block);

// One-shot SHA-256 of `size` bytes into the 32-byte `digest`, as the adapters
// hash sensor ids and secure identities; false when the digest fails (the
// digest is then zero).
bool Sha256Digest(const BYTE* data, size_t size, BYTE* digest);

// The first steps of the engine's and the sensor's two control slots:
// E_POINTER when the pipeline, either buffer or either out-value is null;
// otherwise the operation status, the first byte of the receive buffer (a
// buffer of no bytes has none) and the received size are cleared, and S_OK.
HRESULT StartControlSlot(PWINBIO_PIPELINE pipeline, PUCHAR sendBuffer, PUCHAR receiveBuffer,
                         SIZE_T receiveBufferSize, PSIZE_T receiveDataSize, PULONG operationStatus);
