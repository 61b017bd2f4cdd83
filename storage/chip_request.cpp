#include "storage/chip_request.h"

#include "device/device_request.h"

namespace {
// These requests have no failure family of their own; the Win32 one carries
// the error in its low half like every family.
constexpr HRESULT kWin32Family = static_cast<HRESULT>(0x80070000u);
} // namespace

DWORD SendChipRequest(PWINBIO_PIPELINE pipeline, DWORD code, const void* input, DWORD inputSize,
                      void* output, DWORD outputSize, DWORD required) {
    HRESULT hr = DeviceRequest(pipeline, code, kWin32Family)
                     .Input(input, inputSize)
                     .Output(output, outputSize, required)
                     .Send();
    if (SUCCEEDED(hr))
        return 0;
    DWORD error = static_cast<DWORD>(hr) & 0xFFFFu;
    return error != 0 ? error : ERROR_GEN_FAILURE;
}

DWORD GetChipDatabaseVersion(PWINBIO_PIPELINE pipeline) {
    MocDatabaseVersionRequest request{MOC_DATABASE_VERSION_GET, 0};
    MocDatabaseVersionRequest reply{};
    if (SendChipRequest(pipeline, IOCTL_MOC_DATABASE_VERSION, &request, sizeof(request), &reply,
                        sizeof(reply), sizeof(reply)) != 0)
        return 0;
    return reply.Version;
}

DWORD SetChipDatabaseVersion(PWINBIO_PIPELINE pipeline, DWORD version) {
    MocDatabaseVersionRequest request{MOC_DATABASE_VERSION_SET, version};
    MocDatabaseVersionRequest reply{};
    return SendChipRequest(pipeline, IOCTL_MOC_DATABASE_VERSION, &request, sizeof(request), &reply,
                           sizeof(reply), 0);
}
