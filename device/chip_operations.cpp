#include "device/device_objects.h"

#include <cstring>
#include <new>
#include <memory>

#include "device/device_request.h"
#include "device/identity_key.h"

namespace {

// Reply bytes an identify reads: without a nonce the record ends with its
// MatchDetail at byte 61; bytes 62-93 are not interpreted.
constexpr DWORD kIdentifyReplyWithNonce = sizeof(MocIdentifyResponse);
constexpr DWORD kIdentifyReplyWithoutNonce =
    offsetof(MocIdentifyResponse, Tail) + sizeof(MatchDetail);
static_assert(kIdentifyReplyWithoutNonce == 62, "MatchDetail of a nonce-less identify");

HRESULT DeleteTemplateOn(PWINBIO_PIPELINE pipeline, BYTE slot) {
    return DeviceRequest(pipeline, IOCTL_MOC_DELETE_TEMPLATE, MOC_E_DELETE_TEMPLATE)
        .Input(slot)
        .Send();
}

HRESULT ReadTemplateTableOn(PWINBIO_PIPELINE pipeline, BYTE* buffer, DWORD size) {
    if (buffer == nullptr && size != 0) {
        return E_POINTER;
    }
    // The driver fills a cleared copy; the caller's buffer changes only when
    // every entry arrived.
    std::unique_ptr<BYTE[]> table(new (std::nothrow) BYTE[size != 0 ? size : 1]);
    if (!table) {
        return E_OUTOFMEMORY;
    }
    HRESULT hr = DeviceRequest(pipeline, IOCTL_MOC_READ_TEMPLATE_TABLE, MOC_E_READ_TEMPLATE_TABLE)
                     .Output(table.get(), size, size)
                     .Send();
    if (SUCCEEDED(hr) && size != 0) {
        std::memcpy(buffer, table.get(), size);
    }
    return hr;
}

} // namespace

// ---------------------------------------------------------------------------
// CMocDevice, CMocStorageDevice
// ---------------------------------------------------------------------------

HRESULT CMocDevice::ReadTemplateTable(BYTE* buffer, DWORD size) {
    return ReadTemplateTableOn(Pipeline, buffer, size);
}

HRESULT CMocStorageDevice::Init(PWINBIO_PIPELINE pipeline) {
    Pipeline = pipeline;
    return S_OK;
}

HRESULT CMocStorageDevice::DeleteTemplate(BYTE slot) {
    return DeleteTemplateOn(Pipeline, slot);
}

// ---------------------------------------------------------------------------
// CMocEngineDevice
// ---------------------------------------------------------------------------

HRESULT CMocEngineDevice::Init(PWINBIO_PIPELINE pipeline) {
    Pipeline = pipeline;
    EnrollmentNonce = new (std::nothrow) UCHAR[EnrollmentNonceSize]();
    Authorization = new (std::nothrow) UCHAR[AuthorizationSize]();
    if (EnrollmentNonce == nullptr || Authorization == nullptr) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

void CMocEngineDevice::Uninit() {
    delete[] EnrollmentNonce;
    EnrollmentNonce = nullptr;
    delete[] Authorization;
    Authorization = nullptr;
}

HRESULT CMocEngineDevice::BeginEnrollment(BYTE slot, PUCHAR* nonce, SIZE_T* nonceSize) {
    DeviceRequest request(Pipeline, IOCTL_MOC_BEGIN_ENROLLMENT, MOC_E_BEGIN_ENROLLMENT);
    request.Input(slot);
    if (nonce == nullptr) {
        return request.Send();
    }
    if (nonceSize != nullptr) {
        *nonceSize = EnrollmentNonceSize;
    }
    if (EnrollmentNonce == nullptr) {
        return WINBIO_E_INVALID_DEVICE_STATE;
    }
    // Received apart, so that a failed begin keeps the nonce of the last one.
    MocEnrollmentNonce reply;
    HRESULT hr = request.Output(&reply).Send();
    if (FAILED(hr)) {
        return hr;
    }
    std::memcpy(EnrollmentNonce, reply.Bytes, sizeof(reply.Bytes));
    *nonce = EnrollmentNonce;
    return S_OK;
}

HRESULT CMocEngineDevice::CommitEnrollment(const WINBIO_IDENTITY* identity, BYTE subFactor) {
    if (identity == nullptr) {
        return E_POINTER;
    }
    MocCommitEnrollmentRequest commit;
    commit.SubFactor = subFactor;
    PackIdentityKey(identity, &commit.Key);
    return DeviceRequest(Pipeline, IOCTL_MOC_COMMIT_ENROLLMENT, MOC_E_COMMIT_ENROLLMENT)
        .Input(commit)
        .Send();
}

HRESULT CMocEngineDevice::Identify(const BYTE* nonce, DWORD nonceLength, WINBIO_IDENTITY* identity,
                                   BYTE* subFactor, DWORD* rejectDetail, PUCHAR* authorization,
                                   SIZE_T* authorizationSize, MatchDetail* matchDetail) {
    if (identity == nullptr || subFactor == nullptr || rejectDetail == nullptr) {
        return E_POINTER;
    }
    std::memset(identity, 0, sizeof(*identity));
    *subFactor = 0;
    *rejectDetail = 0;

    const bool withNonce = nonce != nullptr && nonceLength != 0;
    MocIdentifyResponse reply;
    std::memset(&reply, 0, sizeof(reply));
    HRESULT hr;
    if (withNonce && Authorization == nullptr) {
        hr = WINBIO_E_INVALID_DEVICE_STATE;
    } else {
        // A short reply fails here, so that its missing bytes never read as a
        // match of an all-zero identity.
        hr = DeviceRequest(Pipeline, IOCTL_MOC_IDENTIFY, MOC_E_IDENTIFY)
                 .Input(withNonce ? nonce : nullptr, withNonce ? nonceLength : 0)
                 .Output(&reply, sizeof(reply),
                         withNonce ? kIdentifyReplyWithNonce : kIdentifyReplyWithoutNonce)
                 .Send();
    }

    if (SUCCEEDED(hr)) {
        if (reply.Status == MOC_STATUS_NO_MATCH) {
            hr = WINBIO_E_UNKNOWN_ID;
        } else if (reply.Status == MOC_STATUS_TOO_SKEWED) {
            hr = WINBIO_E_BAD_CAPTURE;
            *rejectDetail = WINBIO_FP_TOO_SKEWED;
        } else if (reply.Status != MOC_STATUS_SUCCESS) {
            hr = WINBIO_E_BAD_CAPTURE;
            *rejectDetail = reply.Status;
        } else {
            *subFactor = reply.SubFactor;
            if (withNonce) {
                UnpackSecureIdentity(reply.Key, identity);
                std::memcpy(Authorization, reply.Tail.WithNonce.Authorization,
                            MOC_AUTHORIZATION_SIZE);
                if (authorization != nullptr) {
                    *authorization = Authorization;
                    if (authorizationSize != nullptr) {
                        *authorizationSize = AuthorizationSize;
                    }
                }
            } else {
                UnpackIdentityByKey(reply.Key, identity);
            }
        }
    }

    // On every path, failures included: the engine keeps the last detail.
    if (matchDetail != nullptr) {
        std::memcpy(matchDetail,
                    withNonce ? &reply.Tail.WithNonce.Detail : &reply.Tail.WithoutNonce.Detail,
                    sizeof(MatchDetail));
    }
    return hr;
}

HRESULT CMocEngineDevice::AcceptSample(BYTE purpose, DWORD* status, ULONG64* sampleToken) {
    if (status == nullptr) {
        return E_POINTER;
    }
    *status = 0;
    MocAcceptSampleResponse reply;
    HRESULT hr = DeviceRequest(Pipeline, IOCTL_MOC_ACCEPT_SAMPLE, MOC_E_ACCEPT_SAMPLE)
                     .Input(purpose)
                     .Output(&reply)
                     .Send();
    if (FAILED(hr)) {
        return hr;
    }
    if (sampleToken != nullptr) {
        *sampleToken = reply.SampleToken;
    }
    *status = reply.Status == MOC_STATUS_TOO_SKEWED ? WINBIO_FP_TOO_SKEWED : reply.Status;
    return S_OK;
}

HRESULT CMocEngineDevice::CheckDuplicate(WINBIO_IDENTITY* identity, BYTE* subFactor,
                                         BYTE* duplicate) {
    if (identity == nullptr || subFactor == nullptr || duplicate == nullptr) {
        return E_POINTER;
    }
    MocDuplicateResponse reply;
    HRESULT hr = DeviceRequest(Pipeline, IOCTL_MOC_CHECK_DUPLICATE, MOC_E_CHECK_DUPLICATE)
                     .Output(&reply)
                     .Send();
    if (FAILED(hr)) {
        return hr;
    }
    if (reply.MatchStatus != 0) {
        *duplicate = 0;
        return S_OK;
    }
    *duplicate = 1;
    *subFactor = reply.SubFactor;
    if (reply.IdentityKind == MOC_IDENTITY_KIND_SECURE_ID) {
        UnpackSecureIdentity(reply.Key, identity);
    } else {
        UnpackSidIdentity(reply.Key, identity);
    }
    return S_OK;
}

// ---------------------------------------------------------------------------
// Life of the objects
// ---------------------------------------------------------------------------

HRESULT MocCreateEngineDevice(PWINBIO_PIPELINE pipeline, CMocEngineDevice** device) {
    if (device == nullptr) {
        return E_POINTER;
    }
    CMocEngineDevice* object = new (std::nothrow) CMocEngineDevice();
    *device = object;
    if (object == nullptr) {
        return E_OUTOFMEMORY;
    }
    return object->Init(pipeline);
}

HRESULT MocDestroyEngineDevice(CMocEngineDevice* device) {
    if (device == nullptr) {
        return S_OK;
    }
    device->Uninit();
    delete device;
    return S_OK;
}

CMocEngineDevice* MocDeleteEngineDevice(CMocEngineDevice* device) {
    delete device;
    return device;
}

HRESULT MocCreateStorageDevice(PWINBIO_PIPELINE pipeline, CMocStorageDevice** device) {
    if (device == nullptr) {
        return E_POINTER;
    }
    CMocStorageDevice* object = new (std::nothrow) CMocStorageDevice();
    *device = object;
    if (object == nullptr) {
        return E_OUTOFMEMORY;
    }
    return object->Init(pipeline);
}

HRESULT MocDestroyStorageDevice(CMocStorageDevice* device) {
    delete device;
    return S_OK;
}

CMocStorageDevice* MocDeleteStorageDevice(CMocStorageDevice* device) {
    delete device;
    return device;
}

// ---------------------------------------------------------------------------
// Plain forms
// ---------------------------------------------------------------------------

HRESULT MocBeginEnrollment(CMocEngineDevice* device, BYTE slot, PUCHAR* nonce, SIZE_T* nonceSize) {
    return device != nullptr ? device->BeginEnrollment(slot, nonce, nonceSize) : E_POINTER;
}

HRESULT MocCommitEnrollment(CMocEngineDevice* device, const WINBIO_IDENTITY* identity,
                            BYTE subFactor) {
    return device != nullptr ? device->CommitEnrollment(identity, subFactor) : E_POINTER;
}

HRESULT MocIdentify(CMocEngineDevice* device, const BYTE* nonce, DWORD nonceLength,
                    WINBIO_IDENTITY* identity, BYTE* subFactor, DWORD* rejectDetail,
                    PUCHAR* authorization, SIZE_T* authorizationSize, MatchDetail* matchDetail) {
    return device != nullptr
               ? device->Identify(nonce, nonceLength, identity, subFactor, rejectDetail,
                                  authorization, authorizationSize, matchDetail)
               : E_POINTER;
}

HRESULT MocAcceptSample(CMocEngineDevice* device, BYTE purpose, DWORD* status,
                        ULONG64* sampleToken) {
    return device != nullptr ? device->AcceptSample(purpose, status, sampleToken) : E_POINTER;
}

HRESULT MocCheckDuplicate(CMocEngineDevice* device, WINBIO_IDENTITY* identity, BYTE* subFactor,
                          BYTE* duplicate) {
    return device != nullptr ? device->CheckDuplicate(identity, subFactor, duplicate) : E_POINTER;
}

HRESULT MocDeleteTemplate(CMocDevice* device, BYTE slot) {
    return device != nullptr ? DeleteTemplateOn(device->Pipeline, slot) : E_POINTER;
}

HRESULT MocDeleteTemplate(CMocEngineDevice* device, BYTE slot) {
    return device != nullptr ? DeleteTemplateOn(device->Pipeline, slot) : E_POINTER;
}

HRESULT MocDeleteTemplate(CMocStorageDevice* device, BYTE slot) {
    return device != nullptr ? device->DeleteTemplate(slot) : E_POINTER;
}

HRESULT MocReadTemplateTable(CMocDevice* device, BYTE* buffer, DWORD size) {
    return device != nullptr ? device->ReadTemplateTable(buffer, size) : E_POINTER;
}

HRESULT MocReadTemplateTable(CMocEngineDevice* device, BYTE* buffer, DWORD size) {
    return device != nullptr ? ReadTemplateTableOn(device->Pipeline, buffer, size) : E_POINTER;
}

HRESULT MocReadTemplateTable(CMocStorageDevice* device, BYTE* buffer, DWORD size) {
    return device != nullptr ? ReadTemplateTableOn(device->Pipeline, buffer, size) : E_POINTER;
}
