// The sample in the reply of IOCTL_BIOMETRIC_CAPTURE_DATA: a WINBIO_CAPTURE_DATA
// whose WINBIO_BIR begins at byte 20 and is CaptureData.Size bytes long, with
// the sample's status byte at byte 56 of the BIR's standard data block.
#pragma once
#include <windows.h>
#include <winbio_ioctl.h>

// Reply room the sensor adapter gives a capture.
constexpr DWORD MOC_CAPTURE_BUFFER_SIZE = 161;
constexpr DWORD MOC_CAPTURE_BIR_OFFSET = offsetof(WINBIO_CAPTURE_DATA, CaptureData.Data);
constexpr DWORD MOC_SAMPLE_STATUS_OFFSET = 56; // in the standard data block

// Status byte of a sample; any other value is a usable sample.
constexpr BYTE MOC_SAMPLE_STATUS_POOR = 1;
constexpr BYTE MOC_SAMPLE_STATUS_NONE = 0xFF;

struct CaptureSample {
    const BYTE* Bir; // points into the reply
    DWORD BirSize;   // CaptureData.Size
    BYTE Status;
};

// True when the BIR lies within the `returned` bytes of the reply (which must
// lie within its `capacity`) and its status byte lies within the BIR; the
// lengths come from the driver, so each is checked before it is used.
bool ParseCaptureReply(const BYTE* reply, DWORD capacity, DWORD returned, CaptureSample* sample);
