// The engine and storage adapters' device objects and the chip operations that
// wrap the sensor's private control codes. Each operation exists as a method
// and as a plain Moc function with the same behaviour; both return 0 or the
// MOC_E_ family of the request with the Win32 error in the low half.
#pragma once
#include <windows.h>
#include <winbio_adapter.h>
#include "device/driver_interface.h"

// Holds the pipeline pointer alone; owner of the table read that every device
// object can send.
class CMocDevice {
public:
    CMocDevice() = default;

    HRESULT ReadTemplateTable(BYTE* buffer, DWORD size);

    PWINBIO_PIPELINE Pipeline = nullptr;
};

class CMocEngineDevice {
public:
    CMocEngineDevice() = default;
    ~CMocEngineDevice() = default;

    // Stores the pipeline and allocates both 32-byte buffers zero-filled;
    // E_OUTOFMEMORY when an allocation fails.
    HRESULT Init(PWINBIO_PIPELINE pipeline);
    void Uninit();

    HRESULT BeginEnrollment(BYTE slot, PUCHAR* nonce, SIZE_T* nonceSize);
    HRESULT CommitEnrollment(const WINBIO_IDENTITY* identity, BYTE subFactor);
    HRESULT Identify(const BYTE* nonce, DWORD nonceLength, WINBIO_IDENTITY* identity,
                     BYTE* subFactor, DWORD* rejectDetail, PUCHAR* authorization,
                     SIZE_T* authorizationSize, MatchDetail* matchDetail);
    HRESULT AcceptSample(BYTE purpose, DWORD* status, ULONG64* sampleToken);
    HRESULT CheckDuplicate(WINBIO_IDENTITY* identity, BYTE* subFactor, BYTE* duplicate);

    PWINBIO_PIPELINE Pipeline = nullptr;
    PUCHAR EnrollmentNonce = nullptr;
    DWORD EnrollmentNonceSize = MOC_NONCE_SIZE;
    PUCHAR Authorization = nullptr;
    DWORD AuthorizationSize = MOC_AUTHORIZATION_SIZE;
};

class CMocStorageDevice {
public:
    CMocStorageDevice() = default;

    HRESULT Init(PWINBIO_PIPELINE pipeline);
    HRESULT Uninit() { return S_OK; }

    HRESULT DeleteTemplate(BYTE slot);

    PWINBIO_PIPELINE Pipeline = nullptr;
};

// Life of the objects.
HRESULT MocCreateEngineDevice(PWINBIO_PIPELINE pipeline, CMocEngineDevice** device);
HRESULT MocDestroyEngineDevice(CMocEngineDevice* device);
CMocEngineDevice* MocDeleteEngineDevice(CMocEngineDevice* device);
HRESULT MocCreateStorageDevice(PWINBIO_PIPELINE pipeline, CMocStorageDevice** device);
HRESULT MocDestroyStorageDevice(CMocStorageDevice* device);
CMocStorageDevice* MocDeleteStorageDevice(CMocStorageDevice* device);

// Chip operations of the engine device.
HRESULT MocBeginEnrollment(CMocEngineDevice* device, BYTE slot, PUCHAR* nonce, SIZE_T* nonceSize);
HRESULT MocCommitEnrollment(CMocEngineDevice* device, const WINBIO_IDENTITY* identity,
                            BYTE subFactor);
HRESULT MocIdentify(CMocEngineDevice* device, const BYTE* nonce, DWORD nonceLength,
                    WINBIO_IDENTITY* identity, BYTE* subFactor, DWORD* rejectDetail,
                    PUCHAR* authorization, SIZE_T* authorizationSize, MatchDetail* matchDetail);
HRESULT MocAcceptSample(CMocEngineDevice* device, BYTE purpose, DWORD* status,
                        ULONG64* sampleToken);
HRESULT MocCheckDuplicate(CMocEngineDevice* device, WINBIO_IDENTITY* identity, BYTE* subFactor,
                          BYTE* duplicate);

// Sent by any device object: every one of them begins with its pipeline.
HRESULT MocDeleteTemplate(CMocDevice* device, BYTE slot);
HRESULT MocDeleteTemplate(CMocEngineDevice* device, BYTE slot);
HRESULT MocDeleteTemplate(CMocStorageDevice* device, BYTE slot);
// Fills `buffer` only when the whole table came: a failed or short read leaves
// the caller's buffer as it was, so that it never reads as free slots.
HRESULT MocReadTemplateTable(CMocDevice* device, BYTE* buffer, DWORD size);
HRESULT MocReadTemplateTable(CMocEngineDevice* device, BYTE* buffer, DWORD size);
HRESULT MocReadTemplateTable(CMocStorageDevice* device, BYTE* buffer, DWORD size);
