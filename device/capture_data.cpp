#include "device/capture_data.h"

#include <cstring>

static_assert(MOC_CAPTURE_BIR_OFFSET == 20, "the BIR of a capture reply");

bool ParseCaptureReply(const BYTE* reply, DWORD capacity, DWORD returned, CaptureSample* sample) {
    if (reply == nullptr || sample == nullptr || returned > capacity ||
        returned < MOC_CAPTURE_BIR_OFFSET) {
        return false;
    }
    WINBIO_CAPTURE_DATA head;
    std::memcpy(&head, reply, MOC_CAPTURE_BIR_OFFSET);
    const DWORD birSize = head.CaptureData.Size;
    if (birSize < sizeof(WINBIO_BIR) || birSize > returned - MOC_CAPTURE_BIR_OFFSET) {
        return false;
    }
    const BYTE* bir = reply + MOC_CAPTURE_BIR_OFFSET;
    WINBIO_BIR blocks;
    std::memcpy(&blocks, bir, sizeof(blocks));
    const ULONG64 status =
        static_cast<ULONG64>(blocks.StandardDataBlock.Offset) + MOC_SAMPLE_STATUS_OFFSET;
    if (status >= birSize) {
        return false;
    }
    sample->Bir = bir;
    sample->BirSize = birSize;
    sample->Status = bir[status];
    return true;
}
