// Device control code layout: device type, required access, function, transfer method.
#pragma once
#include "wintypes.h"

#define CTL_CODE(DeviceType, Function, Method, Access)                                             \
    ((static_cast<DWORD>(DeviceType) << 16) | (static_cast<DWORD>(Access) << 14) |                 \
     (static_cast<DWORD>(Function) << 2) | static_cast<DWORD>(Method))

#define FILE_DEVICE_BIOMETRIC 0x00000044u

#define METHOD_BUFFERED 0u
#define METHOD_IN_DIRECT 1u
#define METHOD_OUT_DIRECT 2u
#define METHOD_NEITHER 3u

#define FILE_ANY_ACCESS 0u
#define FILE_READ_ACCESS 0x0001u
#define FILE_WRITE_ACCESS 0x0002u
