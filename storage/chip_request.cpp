#include "storage/chip_request.h"

#include "device/device_request.h"

DWORD SendChipRequest(PWINBIO_PIPELINE pipeline, DWORD code, const void* input, DWORD inputSize,
                      void* output, DWORD outputSize, DWORD required) {
    DeviceRequest request(pipeline, code);
    request.Input(input, inputSize).Output(output, outputSize, required).Send();
    return request.Error();
}

DWORD GetChipDatabaseVersion(PWINBIO_PIPELINE pipeline, DWORD* error) {
    MocDatabaseVersionRequest request{MOC_DATABASE_VERSION_GET, 0};
    MocDatabaseVersionRequest reply{};
    const DWORD failure = SendChipRequest(pipeline, IOCTL_MOC_DATABASE_VERSION, &request,
                                          sizeof(request), &reply, sizeof(reply), sizeof(reply));
    if (error != nullptr)
        *error = failure;
    return failure != 0 ? 0 : reply.Version;
}

DWORD SetChipDatabaseVersion(PWINBIO_PIPELINE pipeline, DWORD version) {
    MocDatabaseVersionRequest request{MOC_DATABASE_VERSION_SET, version};
    MocDatabaseVersionRequest reply{};
    return SendChipRequest(pipeline, IOCTL_MOC_DATABASE_VERSION, &request, sizeof(request), &reply,
                           sizeof(reply), 0);
}
