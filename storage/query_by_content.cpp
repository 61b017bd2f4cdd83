// Query by content, the database size and the walk through the results.
#include <cstring>
#include <new>
#include "common/adapter_shared.h"
#include "common/trace.h"
#include "device/identity_key.h"
#include "storage/database_file.h"
#include "storage/record_block.h"
#include "storage/storage_adapter.h"

namespace {

HRESULT CollectByContent(WINIBIO_STORAGE_CONTEXT& context, BYTE subFactor, const ULONG* elements,
                         SIZE_T count) {
    MOC_TRACE_INFO(
        kTraceGuidQueryByContent, 12,
        "query by content: sub-factor 0x%02X, %llu index elements (the database takes %u)",
        context.UnitLabel, subFactor, static_cast<ULONGLONG>(count), context.IndexElementCount);
    if (subFactor == 0)
        return E_INVALIDARG;
    if (HRESULT hr = CheckIndexVector(context, elements, count); FAILED(hr))
        return hr;
    DatabaseRecordBlock probe{};
    StoreIndexElements(elements, static_cast<DWORD>(count), probe.IndexVector);
    MOC_TRACE_INFO(kTraceGuidQueryByContent, 13, "index vector %u %u %u %u", context.UnitLabel,
                   IndexElementAt(probe, 0), IndexElementAt(probe, 1), IndexElementAt(probe, 2),
                   IndexElementAt(probe, 3));
    HRESULT hr = CheckChipKnownFor(context, ChipUse::JudgesHostRecords);
    if (FAILED(hr))
        return hr;

    hr = ReloadDatabaseFile(&context);
    if (FAILED(hr)) {
        MOC_TRACE_ERROR(kTraceGuidQueryByContent, 14, "database file not reloaded: %!HRESULT!",
                        context.UnitLabel, hr);
        return hr;
    }
    hr = CollectResults(context, [&](const DatabaseRecordBlock& block, bool* taken) {
        *taken = SubFactorTakes(subFactor, block.SubFactor) &&
                 std::memcmp(block.IndexVector, probe.IndexVector, 4 * count) == 0;
        return S_OK;
    });
    if (FAILED(hr))
        return hr;
    return context.ResultCount != 0 ? S_OK : WINBIO_E_DATABASE_NO_RESULTS;
}

// The block the current result names, checked before anything of it is read:
// the position may have run past the results and the offsets may no longer
// fit the list (the list was emptied or changed since the query), and a file
// may carry sizes beyond the areas they count.
HRESULT CurrentBlock(const WINIBIO_STORAGE_CONTEXT& context, const DatabaseRecordBlock** block) {
    if (context.ResultPosition >= context.ResultCount ||
        context.ResultPosition >= context.ResultList.size())
        return WINBIO_E_DATABASE_NO_MORE_RECORDS;
    const DWORD offset = context.ResultList[context.ResultPosition];
    const BlockList& list = SearchedBlockList(context);
    MOC_TRACE_INFO(kTraceGuidQueryByContent, 15, "result block at offset %u", context.UnitLabel,
                   offset);
    if (offset % MOC_DATABASE_BLOCK_SIZE != 0 ||
        offset / MOC_DATABASE_BLOCK_SIZE >= BlockCount(list))
        return WINBIO_E_DATABASE_CORRUPTED;
    const DatabaseRecordBlock& found = *BlockAt(list, offset / MOC_DATABASE_BLOCK_SIZE);
    const bool known = found.IdentityKind == MOC_IDENTITY_KIND_SID ||
                       found.IdentityKind == MOC_IDENTITY_KIND_SECURE_ID ||
                       found.IdentityKind == MOC_IDENTITY_KIND_GUID;
    if (context.IndexElementCount > MOC_BLOCK_INDEX_ELEMENTS ||
        (known && (found.TemplateSize > MOC_BLOCK_TEMPLATE_SIZE ||
                   found.PayloadSize > MOC_BLOCK_PAYLOAD_SIZE)) ||
        (found.IdentityKind == MOC_IDENTITY_KIND_SID &&
         found.IdentityLength > MOC_IDENTITY_KEY_SIZE)) {
        MOC_TRACE_INFO(
            kTraceGuidQueryByContent, 16,
            "result block is corrupted: template of %u bytes, payload of %u, identity of %u",
            context.UnitLabel, found.TemplateSize, found.PayloadSize, found.IdentityLength);
        return WINBIO_E_DATABASE_CORRUPTED;
    }
    *block = &found;
    return S_OK;
}

// The identity of the block into the returned identity. In hashed mode the
// block keeps only the digest of a secure identity: the raw value is the one
// the last query by subject remembered, when it hashes to the block's key.
HRESULT ReturnIdentity(WINIBIO_STORAGE_CONTEXT& context, const DatabaseRecordBlock& block) {
    WINBIO_IDENTITY& identity = context.ReturnedIdentity;
    switch (block.IdentityKind) {
    case MOC_IDENTITY_KIND_SECURE_ID: {
        if (context.HashedMode == 0) {
            UnpackSecureIdentity(block.Key, &identity);
            break;
        }
        IdentityKey digest;
        if (!Sha256Digest(context.RememberedSecureId, sizeof(context.RememberedSecureId),
                          digest.Bytes) ||
            !IdentityKeyEqual(digest, block.Key)) {
            MOC_TRACE_INFO(kTraceGuidQueryByContent, 17,
                           "the remembered secure identity does not match the block",
                           context.UnitLabel);
            return WINBIO_E_CANCELED;
        }
        identity.Type = WINBIO_ID_TYPE_SECURE_ID;
        std::memcpy(identity.Value.SecureId, context.RememberedSecureId, WINBIO_SECURE_ID_SIZE);
        break;
    }
    case MOC_IDENTITY_KIND_SID:
        identity.Type = WINBIO_ID_TYPE_SID;
        identity.Value.AccountSid.Size = block.IdentityLength;
        std::memcpy(identity.Value.AccountSid.Data, block.Key.Bytes, block.IdentityLength);
        break;
    case MOC_IDENTITY_KIND_GUID:
        UnpackGuidIdentity(block.Key, &identity);
        break;
    default:
        break;
    }
    return S_OK;
}

HRESULT FillRecord(WINIBIO_STORAGE_CONTEXT& context, WINBIO_STORAGE_RECORD& record) {
    if (context.ResultCount == 0)
        return WINBIO_E_DATABASE_NO_RESULTS;
    const DatabaseRecordBlock* found = nullptr;
    HRESULT hr = CurrentBlock(context, &found);
    if (FAILED(hr))
        return hr;
    const DatabaseRecordBlock& block = *found;

    record.TemplateBlob = nullptr;
    record.TemplateBlobSize = 0;
    record.PayloadBlob = nullptr;
    record.PayloadBlobSize = 0;
    record.IndexVector = nullptr;
    record.IndexElementCount = context.IndexElementCount;
    std::memset(&context.ReturnedIdentity, 0, sizeof(context.ReturnedIdentity));
    std::memset(context.ReturnedTemplate, 0, sizeof(context.ReturnedTemplate));
    std::memset(context.ReturnedPayload, 0, sizeof(context.ReturnedPayload));
    context.ReturnedIndexVector[0] = 0;
    for (DWORD i = 0; i < context.IndexElementCount; ++i)
        context.ReturnedIndexVector[i] = IndexElementAt(block, i);
    record.IndexVector = context.ReturnedIndexVector;
    record.SubFactor = block.SubFactor;
    MOC_TRACE_INFO(
        kTraceGuidQueryByContent, 18,
        "result of identity kind %u at position %u, %u index elements, sub-factor 0x%02X",
        context.UnitLabel, block.IdentityKind, context.ResultPosition, context.IndexElementCount,
        block.SubFactor);

    hr = ReturnIdentity(context, block);
    if (FAILED(hr))
        return hr;
    record.Identity = &context.ReturnedIdentity;
    if (context.ReturnedIdentity.Type == 0)
        return S_OK; // a kind this system does not write: no template, no payload
    TraceIdentity(context, context.ReturnedIdentity);
    MOC_TRACE_INFO(kTraceGuidQueryByContent, 19,
                   "result with a template of %u bytes and a payload of %u", context.UnitLabel,
                   block.TemplateSize, block.PayloadSize);
    if (block.TemplateSize != 0) {
        std::memcpy(context.ReturnedTemplate, block.TemplateBytes, block.TemplateSize);
        record.TemplateBlob = context.ReturnedTemplate;
        record.TemplateBlobSize = block.TemplateSize;
        TraceHexDump(context.UnitLabel, context.ReturnedTemplate, block.TemplateSize);
    }
    if (block.PayloadSize != 0) {
        std::memcpy(context.ReturnedPayload, block.PayloadBytes, block.PayloadSize);
        record.PayloadBlob = context.ReturnedPayload;
        record.PayloadBlobSize = block.PayloadSize;
        TraceHexDump(context.UnitLabel, context.ReturnedPayload, block.PayloadSize);
    }
    return S_OK;
}

// Database size: the records this sensor and host keep, and the slots left.
HRESULT CountRecords(WINIBIO_STORAGE_CONTEXT& context, SIZE_T* available, SIZE_T* total) {
    *available = 0;
    *total = 0;
    HRESULT hr = CheckChipKnownFor(context, ChipUse::JudgesHostRecords);
    if (FAILED(hr))
        return hr;
    hr = ReloadDatabaseFile(&context);
    if (FAILED(hr)) {
        MOC_TRACE_ERROR(kTraceGuidQueryByContent, 14, "database file not reloaded: %!HRESULT!",
                        context.UnitLabel, hr);
        return hr;
    }
    const DWORD count = CountHostBlocks(context);
    *total = count;
    // Records without a chip slot can outnumber the slots: none is left then,
    // never a wrapped-around count.
    *available = count < context.SlotCount ? context.SlotCount - count : 0;
    MOC_TRACE_INFO(kTraceGuidQueryByContent, 20, "%llu slots left for %u records",
                   context.UnitLabel, static_cast<ULONGLONG>(*available), count);
    return S_OK;
}

} // namespace

HRESULT WINAPI StorageAdapterQueryByContent(PWINBIO_PIPELINE Pipeline,
                                            WINBIO_BIOMETRIC_SUBTYPE SubFactor, ULONG IndexVector[],
                                            SIZE_T IndexElementCount) {
    return RunRecordOperation(
        Pipeline, true, kTraceGuidQueryByContent, [&](WINIBIO_STORAGE_CONTEXT& context) {
            return CollectByContent(context, SubFactor, IndexVector, IndexElementCount);
        });
}

HRESULT WINAPI StorageAdapterGetDatabaseSize(PWINBIO_PIPELINE Pipeline,
                                             PSIZE_T AvailableRecordSlots, PSIZE_T TotalRecords) {
    return RunRecordOperation(Pipeline, AvailableRecordSlots != nullptr && TotalRecords != nullptr,
                              kTraceGuidQueryByContent, [&](WINIBIO_STORAGE_CONTEXT& context) {
                                  return CountRecords(context, AvailableRecordSlots, TotalRecords);
                              });
}

HRESULT WINAPI StorageAdapterGetRecordCount(PWINBIO_PIPELINE Pipeline, PSIZE_T RecordCount) {
    return RunRecordOperation(Pipeline, RecordCount != nullptr, kTraceGuidQueryByContent,
                              [&](WINIBIO_STORAGE_CONTEXT& context) {
                                  *RecordCount = context.ResultCount;
                                  return context.ResultCount != 0 ? S_OK
                                                                  : WINBIO_E_DATABASE_NO_RESULTS;
                              });
}

HRESULT WINAPI StorageAdapterFirstRecord(PWINBIO_PIPELINE Pipeline) {
    return RunRecordOperation(Pipeline, true, kTraceGuidQueryByContent,
                              [](WINIBIO_STORAGE_CONTEXT& context) {
                                  if (context.ResultCount == 0)
                                      return WINBIO_E_DATABASE_NO_RESULTS;
                                  context.ResultPosition = 0;
                                  return S_OK;
                              });
}

HRESULT WINAPI StorageAdapterNextRecord(PWINBIO_PIPELINE Pipeline) {
    return RunRecordOperation(
        Pipeline, true, kTraceGuidQueryByContent, [](WINIBIO_STORAGE_CONTEXT& context) {
            if (context.ResultCount == 0)
                return WINBIO_E_DATABASE_NO_RESULTS;
            // Past the end the position keeps counting, but never wraps back
            // into the results.
            if (context.ResultPosition != 0xFFFFFFFFu)
                ++context.ResultPosition;
            return context.ResultPosition >= context.ResultCount ? WINBIO_E_DATABASE_NO_MORE_RECORDS
                                                                 : S_OK;
        });
}

HRESULT WINAPI StorageAdapterGetCurrentRecord(PWINBIO_PIPELINE Pipeline,
                                              PWINBIO_STORAGE_RECORD RecordContents) {
    return RunRecordOperation(
        Pipeline, RecordContents != nullptr, kTraceGuidQueryByContent,
        [&](WINIBIO_STORAGE_CONTEXT& context) { return FillRecord(context, *RecordContents); });
}
