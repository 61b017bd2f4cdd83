// Enrollment: the chip builds the template from the samples it holds; the
// engine opens the enrollment on a free slot, counts its samples, checks for
// duplicates and commits the template, host record first.
#include <cstring>

#include "common/trace.h"
#include "device/device_request.h"
#include "device/identity_key.h"
#include "engine/engine_adapter.h"

namespace {

const GUID& kTrace = kTraceGuidEngineEnrollment;

constexpr BYTE kNoFreeSlot = 255;

// Reads the whole table into the context's buffer. The buffer is cleared
// first, and a short reply fails the read, so that no entry of an earlier
// read or of a missing tail ever stands for the chip's.
HRESULT ReadTemplateTable(PWINIBIO_ENGINE_CONTEXT context) {
    std::memset(context->TemplateTable, 0, context->TemplateTableSize);
    HRESULT hr =
        MocReadTemplateTable(context->Device, context->TemplateTable, context->TemplateTableSize);
    if (FAILED(hr)) {
        MOC_TRACE_INFO(kTrace, 10, "template table not read: %!HRESULT!", context->UnitLabel, hr);
    }
    return hr;
}

// The first free slot (255 when none is free), with the count of slots in use.
HRESULT ChooseSlot(PWINIBIO_ENGINE_CONTEXT context, BYTE* slot, BYTE* used) {
    HRESULT hr = ReadTemplateTable(context);
    if (FAILED(hr)) {
        return hr;
    }
    const DWORD entrySize = TemplateSlotEntrySize(context->OwnerIdMode != FALSE);
    *used = 0;
    *slot = kNoFreeSlot;
    for (DWORD i = 0; i < context->TemplateSlotCount; ++i) {
        const BYTE state = context->TemplateTable[i * entrySize];
        if (state == MOC_SLOT_STATE_USED) {
            ++*used;
        } else if (state == MOC_SLOT_STATE_FREE && *slot == kNoFreeSlot) {
            *slot = static_cast<BYTE>(i);
        }
    }
    const bool full = *used == context->TemplateSlotCount;
    MOC_TRACE_INFO(kTrace, 11, "first free slot %u (255: none), table full %u", context->UnitLabel,
                   *slot, full ? 1 : 0);
    return full ? WINBIO_E_DATABASE_FULL : S_OK;
}

// The start of the operations that need an open enrollment.
PWINIBIO_ENGINE_CONTEXT EnrollingContext(PWINBIO_PIPELINE pipeline) {
    PWINIBIO_ENGINE_CONTEXT context = UsableEngineContext(pipeline);
    return context != nullptr && context->Enrolling ? context : nullptr;
}

HRESULT Finish(USHORT number, TraceText text, PWINIBIO_ENGINE_CONTEXT context, HRESULT hr) {
    return TraceEngineResult(kTrace, number, text, context, hr);
}

// Identities a commit can key the template by; a SID must fit the 28 bytes
// that come back from an identify as the same account.
bool CommittableIdentity(const WINBIO_IDENTITY& identity) {
    switch (identity.Type) {
    case WINBIO_ID_TYPE_WILDCARD:
        return identity.Value.Wildcard == WINBIO_IDENTITY_WILDCARD;
    case WINBIO_ID_TYPE_GUID:
    case WINBIO_ID_TYPE_SECURE_ID:
        return true;
    case WINBIO_ID_TYPE_SID:
        return identity.Value.AccountSid.Size != 0 &&
               identity.Value.AccountSid.Size <= MOC_SID_KEY_SIZE;
    default:
        return false;
    }
}

// An entry in use for this finger under the same whole 32-byte key (and, in
// owner-id mode, this host's id) already holds this enrollment.
HRESULT FindEqualEnrollment(PWINIBIO_ENGINE_CONTEXT context, const WINBIO_IDENTITY& identity,
                            BYTE subFactor, const HostOwnerId& host) {
    if (identity.Type != WINBIO_ID_TYPE_SID && identity.Type != WINBIO_ID_TYPE_SECURE_ID) {
        return S_OK;
    }
    IdentityKey key;
    PackIdentityKey(&identity, &key);
    if (identity.Type == WINBIO_ID_TYPE_SECURE_ID && context->HashedSecureIdentities) {
        if (!Sha256Digest(identity.Value.SecureId, sizeof(identity.Value.SecureId), key.Bytes)) {
            MOC_TRACE_INFO(kTrace, 12, "the digest of the secure identity failed",
                           context->UnitLabel);
            return WINBIO_E_CANCELED;
        }
    }
    const DWORD entrySize = TemplateSlotEntrySize(context->OwnerIdMode != FALSE);
    for (DWORD i = 0; i < context->TemplateSlotCount; ++i) {
        const BYTE* entry = context->TemplateTable + i * entrySize;
        TemplateSlotEntry head;
        std::memcpy(&head, entry, sizeof(head));
        if (head.State != MOC_SLOT_STATE_USED || head.SubFactor != subFactor ||
            !IdentityKeyEqual(head.Key, key)) {
            continue;
        }
        if (context->OwnerIdMode) {
            TemplateSlotEntryOwned owned;
            std::memcpy(&owned, entry, sizeof(owned));
            if (!HostOwnerIdEqual(owned.Owner, host)) {
                continue;
            }
        }
        MOC_TRACE_INFO(kTrace, 13, "slot %u already holds this enrollment", context->UnitLabel, i);
        return WINBIO_E_DUPLICATE_ENROLLMENT;
    }
    return S_OK;
}

void TraceIdentity(const char* label, const WINBIO_IDENTITY& identity) {
    switch (identity.Type) {
    case WINBIO_ID_TYPE_SECURE_ID: {
        BYTE digest[32];
        if (Sha256Digest(identity.Value.SecureId, sizeof(identity.Value.SecureId), digest)) {
            TraceHexDump(label, digest, sizeof(digest));
        } else {
            MOC_TRACE_INFO(kTrace, 14, "the digest of the secure identity failed", label);
        }
        break;
    }
    case WINBIO_ID_TYPE_SID:
        MOC_TRACE_INFO(kTrace, 15, "account SID of %u bytes", label,
                       identity.Value.AccountSid.Size);
        TraceHexDump(label, identity.Value.AccountSid.Data,
                     static_cast<INT32>(identity.Value.AccountSid.Size));
        break;
    case WINBIO_ID_TYPE_GUID: {
        IdentityKey key;
        PackIdentityKey(&identity, &key);
        TraceHexDump(label, key.Bytes, 16);
        break;
    }
    default:
        break;
    }
}

// Takes the record just added out again after the chip refused its template:
// left in the file, it would make the framework's retry a duplicate of a
// template the chip never held, until the next open reconciles it away. The
// equal-enrollment test found no template of this identity and finger, and
// AddRecord keeps no second record of them, so the deletion takes only what
// this commit added (and a template the chip may have written before it
// failed). Not for the wildcard, whose deletion takes every record and
// template of the finger (AddRecord refuses no second wildcard record, so
// this one is in no retry's way), nor for WINBIO_SUBTYPE_ANY, whose deletion
// takes the identity's templates of every finger: those records stay for the
// next reconciliation to drop. The commit's result stays the chip's, whatever
// the deletion gives.
void RemoveUncommittedRecord(PWINBIO_PIPELINE pipeline, const char* label,
                             PWINBIO_IDENTITY identity, WINBIO_BIOMETRIC_SUBTYPE subFactor) {
    if (identity->Type == WINBIO_ID_TYPE_WILDCARD || subFactor == WINBIO_SUBTYPE_ANY) {
        MOC_TRACE_INFO(kTrace, 34, "host record of identity type %u, sub-factor 0x%02X kept", label,
                       identity->Type, subFactor);
        return;
    }
    HRESULT hr = E_NOTIMPL;
    if (pipeline->StorageInterface != nullptr &&
        pipeline->StorageInterface->DeleteRecord != nullptr) {
        hr = pipeline->StorageInterface->DeleteRecord(pipeline, identity, subFactor);
    }
    if (FAILED(hr)) {
        MOC_TRACE_ERROR(kTrace, 35, "uncommitted host record not removed: %!HRESULT!", label, hr);
        return;
    }
    MOC_TRACE_INFO(kTrace, 36, "uncommitted host record removed", label);
}

// The commit of an open enrollment, host record first; the caller traces the
// result.
HRESULT CommitOpenEnrollment(PWINBIO_PIPELINE pipeline, PWINIBIO_ENGINE_CONTEXT context,
                             PWINBIO_IDENTITY identity, WINBIO_BIOMETRIC_SUBTYPE subFactor,
                             PUCHAR payloadBlob, SIZE_T payloadBlobSize) {
    const char* label = context->UnitLabel;
    MOC_TRACE_INFO(kTrace, 29, "commit sub-factor 0x%02X, identity type %u", label, subFactor,
                   identity->Type);
    if (subFactor == 0 || !CommittableIdentity(*identity)) {
        return E_INVALIDARG;
    }

    HRESULT hr = ReadTemplateTable(context);
    if (FAILED(hr)) {
        return hr;
    }
    HostOwnerId host;
    if (context->OwnerIdMode) {
        // A short answer is no id: comparing against a partial one could miss
        // this host's own templates.
        hr = DeviceRequest(pipeline, IOCTL_MOC_GET_HOST_ID)
                 .Output(&host, sizeof(host), sizeof(host), 0xDD)
                 .Send();
        if (FAILED(hr)) {
            MOC_TRACE_ERROR(kTrace, 30, "host id not read: %!WINERROR!", label, Win32ErrorOf(hr));
            return WinBioErrorFromWin32(Win32ErrorOf(hr));
        }
        TraceHexDump(label, host.Bytes, sizeof(host.Bytes));
    }
    hr = FindEqualEnrollment(context, *identity, subFactor, host);
    if (FAILED(hr)) {
        return hr;
    }
    TraceIdentity(label, *identity);

    // The host record first: a chip template without one could never be
    // found again, while a record without a template is removed again when
    // the chip fails (or dropped by the next reconciliation with the chip).
    if (pipeline->StorageInterface == nullptr) {
        MOC_TRACE_ERROR(kTrace, 31, "host record not added: %!HRESULT!", label, E_POINTER);
        return E_POINTER;
    }
    if (pipeline->StorageInterface->AddRecord == nullptr) {
        MOC_TRACE_ERROR(kTrace, 31, "host record not added: %!HRESULT!", label, E_NOTIMPL);
        return E_NOTIMPL;
    }
    WINBIO_STORAGE_RECORD record = {};
    record.Identity = identity;
    record.SubFactor = subFactor;
    record.PayloadBlob = payloadBlob;
    record.PayloadBlobSize = payloadBlobSize;
    // Any success is the record written; a commit reports success only once
    // the chip has committed too.
    hr = pipeline->StorageInterface->AddRecord(pipeline, &record);
    if (FAILED(hr)) {
        MOC_TRACE_ERROR(kTrace, 31, "host record not added: %!HRESULT!", label, hr);
        return hr;
    }

    hr = MocCommitEnrollment(context->Device, identity, subFactor);
    if (FAILED(hr)) {
        MOC_TRACE_INFO(kTrace, 32, "chip commit failed: %!WINERROR!", label, Win32ErrorOf(hr));
        RemoveUncommittedRecord(pipeline, label, identity, subFactor);
        return hr;
    }
    return S_OK;
}

} // namespace

HRESULT WINAPI EngineAdapterCreateEnrollment(PWINBIO_PIPELINE Pipeline) {
    PWINIBIO_ENGINE_CONTEXT context = nullptr;
    HRESULT hr = StartEngineOperation(Pipeline, true, &context);
    if (FAILED(hr)) {
        return Finish(16, "create enrollment returns %!HRESULT!", context, hr);
    }
    if (context->AuthenticatedStartResult != S_OK) {
        return Finish(16, "create enrollment returns %!HRESULT!", context,
                      context->AuthenticatedStartResult);
    }
    MOC_TRACE_INFO(kTrace, 17, "create enrollment, authenticated start done %d", context->UnitLabel,
                   context->AuthenticatedStartDone);
    if (context->AuthenticatedStartDone) {
        // The chip already began this enrollment for the authenticated start;
        // that begin covers this one attempt, until its commit (failed or
        // not) or its discard.
        context->Enrolling = TRUE;
        return Finish(16, "create enrollment returns %!HRESULT!", context, S_OK);
    }
    BYTE slot = 0;
    BYTE used = 0;
    hr = ChooseSlot(context, &slot, &used);
    if (FAILED(hr)) {
        return Finish(16, "create enrollment returns %!HRESULT!", context, hr);
    }
    context->SamplesRemaining = context->SamplesPerEnrollment;
    hr = MocBeginEnrollment(context->Device, slot, nullptr, nullptr);
    if (FAILED(hr)) {
        MOC_TRACE_INFO(kTrace, 18, "begin enrollment failed: %!WINERROR!", context->UnitLabel,
                       Win32ErrorOf(hr));
        return Finish(16, "create enrollment returns %!HRESULT!", context, hr);
    }
    context->Enrolling = TRUE;
    return Finish(16, "create enrollment returns %!HRESULT!", context, S_OK);
}

HRESULT WINAPI EngineAdapterCreateEnrollmentAuthenticated(PWINBIO_PIPELINE Pipeline, PUCHAR* Nonce,
                                                          PSIZE_T NonceSize) {
    PWINIBIO_ENGINE_CONTEXT context = nullptr;
    HRESULT hr = StartEngineOperation(Pipeline, Nonce != nullptr && NonceSize != nullptr, &context);
    if (FAILED(hr)) {
        return hr; // neither traced nor kept
    }
    BYTE slot = 0;
    context->UsedSlotCount = 0;
    hr = ChooseSlot(context, &slot, &context->UsedSlotCount);
    if (SUCCEEDED(hr)) {
        context->SamplesRemaining = context->SamplesPerEnrollment;
        *NonceSize = context->Device->EnrollmentNonceSize;
        hr = MocBeginEnrollment(context->Device, slot, Nonce, NonceSize);
        if (FAILED(hr)) {
            MOC_TRACE_INFO(kTrace, 19, "begin enrollment failed: %!WINERROR!", context->UnitLabel,
                           Win32ErrorOf(hr));
        } else {
            context->AuthenticatedStartDone = TRUE;
        }
    }
    // Kept until activation: every later creation answers with it.
    context->AuthenticatedStartResult = hr;
    return Finish(20, "create authenticated enrollment returns %!HRESULT!", context, hr);
}

HRESULT WINAPI EngineAdapterUpdateEnrollment(PWINBIO_PIPELINE Pipeline,
                                             PWINBIO_REJECT_DETAIL RejectDetail) {
    if (Pipeline == nullptr || RejectDetail == nullptr) {
        return Finish(21, "update enrollment returns %!HRESULT!", nullptr, E_POINTER);
    }
    *RejectDetail = 0;
    PWINIBIO_ENGINE_CONTEXT context = EnrollingContext(Pipeline);
    if (context == nullptr) {
        return Finish(21, "update enrollment returns %!HRESULT!", UsableEngineContext(Pipeline),
                      WINBIO_E_INVALID_DEVICE_STATE);
    }
    // Counted down to zero and held there: more updates than samples asked
    // for must not wrap into a fresh count.
    if (context->SamplesRemaining != 0) {
        --context->SamplesRemaining;
    }
    MOC_TRACE_INFO(kTrace, 22, "%u samples still to come", context->UnitLabel,
                   context->SamplesRemaining);
    return Finish(21, "update enrollment returns %!HRESULT!", context,
                  context->SamplesRemaining != 0 ? WINBIO_I_MORE_DATA : S_OK);
}

HRESULT WINAPI EngineAdapterGetEnrollmentStatus(PWINBIO_PIPELINE Pipeline,
                                                PWINBIO_REJECT_DETAIL RejectDetail) {
    if (Pipeline == nullptr || RejectDetail == nullptr) {
        return Finish(23, "get enrollment status returns %!HRESULT!", nullptr, E_POINTER);
    }
    *RejectDetail = 0;
    PWINIBIO_ENGINE_CONTEXT context = EnrollingContext(Pipeline);
    if (context == nullptr) {
        return Finish(23, "get enrollment status returns %!HRESULT!", UsableEngineContext(Pipeline),
                      WINBIO_E_INVALID_DEVICE_STATE);
    }
    return Finish(23, "get enrollment status returns %!HRESULT!", context, WINBIO_I_MORE_DATA);
}

HRESULT WINAPI EngineAdapterCheckForDuplicate(PWINBIO_PIPELINE Pipeline, PWINBIO_IDENTITY Identity,
                                              PWINBIO_BIOMETRIC_SUBTYPE SubFactor,
                                              PBOOLEAN Duplicate) {
    if (Pipeline == nullptr || Identity == nullptr || SubFactor == nullptr ||
        Duplicate == nullptr) {
        return Finish(24, "check for duplicate returns %!HRESULT!", nullptr, E_POINTER);
    }
    std::memset(Identity, 0, sizeof(*Identity));
    *SubFactor = 0;
    *Duplicate = FALSE;
    PWINIBIO_ENGINE_CONTEXT context = EnrollingContext(Pipeline);
    if (context == nullptr) {
        return Finish(24, "check for duplicate returns %!HRESULT!", UsableEngineContext(Pipeline),
                      WINBIO_E_INVALID_DEVICE_STATE);
    }
    BYTE duplicate = 0;
    HRESULT hr = MocCheckDuplicate(context->Device, Identity, SubFactor, &duplicate);
    if (FAILED(hr)) {
        MOC_TRACE_INFO(kTrace, 25, "duplicate check failed: %!WINERROR!", context->UnitLabel,
                       Win32ErrorOf(hr));
        return Finish(24, "check for duplicate returns %!HRESULT!", context, hr);
    }
    if (duplicate == 0) {
        return Finish(24, "check for duplicate returns %!HRESULT!", context, S_OK);
    }
    *Duplicate = TRUE;
    MOC_TRACE_INFO(kTrace, 26, "duplicate of sub-factor 0x%02X, identity type %u",
                   context->UnitLabel, *SubFactor, Identity->Type);
    hr = DeviceRequest(Pipeline, IOCTL_MOC_NOTIFY_DUPLICATE).Send();
    if (FAILED(hr)) {
        MOC_TRACE_ERROR(kTrace, 27, "duplicate notice not sent: %!WINERROR!", context->UnitLabel,
                        Win32ErrorOf(hr));
        return Finish(24, "check for duplicate returns %!HRESULT!", context,
                      WinBioErrorFromWin32(Win32ErrorOf(hr)));
    }
    return Finish(24, "check for duplicate returns %!HRESULT!", context, S_OK);
}

HRESULT WINAPI EngineAdapterCommitEnrollment(PWINBIO_PIPELINE Pipeline, PWINBIO_IDENTITY Identity,
                                             WINBIO_BIOMETRIC_SUBTYPE SubFactor, PUCHAR PayloadBlob,
                                             SIZE_T PayloadBlobSize) {
    if (Pipeline == nullptr || Identity == nullptr) {
        return Finish(28, "commit enrollment returns %!HRESULT!", nullptr, E_POINTER);
    }
    PWINIBIO_ENGINE_CONTEXT context = EnrollingContext(Pipeline);
    if (context == nullptr) {
        return Finish(28, "commit enrollment returns %!HRESULT!", UsableEngineContext(Pipeline),
                      WINBIO_E_INVALID_DEVICE_STATE);
    }
    const HRESULT hr =
        CommitOpenEnrollment(Pipeline, context, Identity, SubFactor, PayloadBlob, PayloadBlobSize);
    if (SUCCEEDED(hr)) {
        context->Enrolling = FALSE;
    }
    // The chip's begin for an authenticated start served this attempt, however
    // it ended: the framework's retry begins on the chip again, or it would
    // count no samples of its own and commit the failed attempt's.
    context->AuthenticatedStartDone = FALSE;
    return Finish(28, "commit enrollment returns %!HRESULT!", context, hr);
}

HRESULT WINAPI EngineAdapterDiscardEnrollment(PWINBIO_PIPELINE Pipeline) {
    PWINIBIO_ENGINE_CONTEXT context = nullptr;
    HRESULT hr = StartEngineOperation(Pipeline, true, &context);
    if (SUCCEEDED(hr)) {
        // The chip's begin served the enrollment now given up; the next one
        // must begin on the chip again.
        context->AuthenticatedStartDone = FALSE;
    }
    return Finish(33, "discard enrollment returns %!HRESULT!", context, hr);
}
