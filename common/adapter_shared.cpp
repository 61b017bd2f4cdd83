#include "common/adapter_shared.h"

#include <cstring>
#include <mbedtls/md.h>
#include <winbio_err.h>
#include "common/trace.h"

HRESULT WinBioErrorFromWin32(DWORD error) {
    switch (error) {
    case ERROR_CANCELLED:
    case ERROR_OPERATION_ABORTED:
    case ERROR_DRIVER_PROCESS_TERMINATED:
        return WINBIO_E_CANCELED;
    default:
        return WINBIO_E_DEVICE_FAILURE;
    }
}

namespace {
constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr int kBytesPerLine = 16;
} // namespace

void HashToHex(const BYTE* digest, char* label) {
    if (digest == nullptr || label == nullptr)
        return;
    for (int i = 0; i < 32; ++i) {
        label[2 * i] = kHexDigits[digest[i] >> 4];
        label[2 * i + 1] = kHexDigits[digest[i] & 0x0F];
    }
    label[64] = '\0';
}

void TraceHexDump(const char* unitLabel, const BYTE* bytes, INT32 count) {
    if (count <= 0 || bytes == nullptr)
        return;
    // One line is all the store ever holds, so a fixed line on the stack
    // serves any count and cannot fail to allocate.
    WCHAR line[kBytesPerLine * 3 + 1];
    int length = 0;
    for (INT32 i = 0; i < count; ++i) {
        line[length++] = static_cast<WCHAR>(kHexDigits[bytes[i] >> 4]);
        line[length++] = static_cast<WCHAR>(kHexDigits[bytes[i] & 0x0F]);
        line[length++] = u' ';
        if ((i + 1) % kBytesPerLine == 0) {
            line[length] = u'\0';
            MOC_TRACE_INFO(kTraceGuidEngineAdapter, 10, "bytes: %ls", unitLabel, line);
            length = 0;
        }
    }
    if (length > 0) {
        line[length] = u'\0';
        MOC_TRACE_INFO(kTraceGuidEngineAdapter, 11, "bytes: %ls", unitLabel, line);
    }
}

LPVOID ProcessHeapAlloc(SIZE_T bytes) {
    return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes);
}

BOOL ProcessHeapFree(LPVOID block) {
    return HeapFree(GetProcessHeap(), 0, block);
}

bool Sha256Digest(const BYTE* data, size_t size, BYTE* digest) {
    if (digest == nullptr)
        return false;
    std::memset(digest, 0, 32);
    if (data == nullptr && size != 0)
        return false;
    const mbedtls_md_info_t* info = mbedtls_md_info_from_type(MBEDTLS_MD_SHA256);
    if (info == nullptr || mbedtls_md(info, data, size, digest) != 0) {
        std::memset(digest, 0, 32);
        return false;
    }
    return true;
}

HRESULT StartControlSlot(PWINBIO_PIPELINE pipeline, PUCHAR sendBuffer, PUCHAR receiveBuffer,
                         SIZE_T receiveBufferSize, PSIZE_T receiveDataSize,
                         PULONG operationStatus) {
    if (pipeline == nullptr || sendBuffer == nullptr || receiveBuffer == nullptr ||
        receiveDataSize == nullptr || operationStatus == nullptr) {
        return E_POINTER;
    }
    *operationStatus = 0;
    if (receiveBufferSize != 0) {
        receiveBuffer[0] = 0;
    }
    *receiveDataSize = 0;
    return S_OK;
}
