// Device control and overlapped I/O on device handles.
#pragma once
#include "wintypes.h"

// With an OVERLAPPED the call may finish at once (TRUE), fail at once (FALSE with the
// error), or stay pending (FALSE with ERROR_IO_PENDING); the event of the OVERLAPPED is
// reset when the call starts and set when the request completes.
WINPLATFORM_API BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer,
                                     DWORD inBufferSize, LPVOID outBuffer, DWORD outBufferSize,
                                     LPDWORD bytesReturned, LPOVERLAPPED overlapped);
WINPLATFORM_API BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped,
                                         LPDWORD bytesTransferred, BOOL wait);
// Null OVERLAPPED: every pending request of the handle, from any thread.
WINPLATFORM_API BOOL CancelIoEx(HANDLE file, LPOVERLAPPED overlapped);
// The pending requests that the calling thread issued on the handle.
WINPLATFORM_API BOOL CancelIo(HANDLE file);
