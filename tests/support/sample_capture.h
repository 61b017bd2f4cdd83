// One capture on a device handle, as the sensor adapter sends it, for suites
// that need a sample on the chip before they test what follows it.
#pragma once
#include <windows.h>
#include <winbio_ioctl.h>
#include <cstring>
#include "device/capture_data.h"
#include "support/bytes.h"

namespace moc_test {

// The sample record (the BIR) of one synchronous capture for `purpose` in the
// standard format; empty when the request fails or its reply is malformed.
inline Bytes CaptureSample(HANDLE device, BYTE purpose) {
    WINBIO_CAPTURE_PARAMETERS params = {};
    params.PayloadSize = sizeof(params);
    params.Purpose = purpose;
    params.Format = {WINBIO_ANSI_381_FORMAT_OWNER, WINBIO_ANSI_381_FORMAT_TYPE};
    Bytes reply(MOC_CAPTURE_BUFFER_SIZE);
    DWORD returned = 0;
    if (!DeviceIoControl(device, IOCTL_BIOMETRIC_CAPTURE_DATA, &params, sizeof(params),
                         reply.data(), MOC_CAPTURE_BUFFER_SIZE, &returned, nullptr) ||
        returned < MOC_CAPTURE_BIR_OFFSET) {
        return {};
    }
    WINBIO_CAPTURE_DATA head;
    std::memcpy(&head, reply.data(), MOC_CAPTURE_BIR_OFFSET);
    if (head.CaptureData.Size > returned - MOC_CAPTURE_BIR_OFFSET) {
        return {};
    }
    const auto bir = reply.begin() + MOC_CAPTURE_BIR_OFFSET;
    return Bytes(bir, bir + head.CaptureData.Size);
}

} // namespace moc_test
