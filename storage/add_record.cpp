// Adding records.
#include <cstring>
#include "common/adapter_shared.h"
#include "common/trace.h"
#include "storage/database_file.h"
#include "storage/record_block.h"
#include "storage/storage_adapter.h"

namespace {

// An all-zero or empty remembered account names nobody: keyed on it, the
// replacement would take the enrollments of every block without an account.
bool AccountRemembered(const WINIBIO_STORAGE_CONTEXT& context) {
    const DWORD length = RememberedLength(context);
    for (DWORD i = 0; i < length; ++i) {
        if (context.RememberedSid[i] != 0)
            return true;
    }
    return false;
}

// The checks made before anything is loaded. The block has room for 4 index
// elements, 20 template and 20 payload bytes and a 28-byte account: larger
// values would run into the fields behind them (the sensor id among them, and
// the record would then vanish from this sensor's list).
HRESULT CheckRecord(const WINIBIO_STORAGE_CONTEXT& context, const WINBIO_STORAGE_RECORD& record,
                    IdentitySearchKey* key, bool* keyReady) {
    const WINBIO_IDENTITY& identity = *record.Identity;
    HRESULT hr = MakeIdentitySearchKey(context, identity, key);
    if (hr == E_INVALIDARG)
        return hr;
    if (identity.Type == WINBIO_ID_TYPE_SID &&
        identity.Value.AccountSid.Size > MOC_BLOCK_ACCOUNT_SID_SIZE)
        return E_INVALIDARG;
    // A failed digest is reported where the digest is needed.
    *keyReady = SUCCEEDED(hr);
    if (!*keyReady)
        MOC_TRACE_INFO(kTraceGuidAddRecord, 12, "identity key not made: %!HRESULT!",
                       context.UnitLabel, hr);

    if (record.TemplateBlobSize != 0 && record.TemplateBlob == nullptr)
        return E_INVALIDARG;
    if (record.PayloadBlobSize != 0 && record.PayloadBlob == nullptr)
        return E_INVALIDARG;
    if (record.TemplateBlobSize > MOC_BLOCK_TEMPLATE_SIZE ||
        record.PayloadBlobSize > MOC_BLOCK_PAYLOAD_SIZE)
        return E_INVALIDARG;
    MOC_TRACE_INFO(kTraceGuidAddRecord, 13,
                   "record of %llu index elements (the database takes %u), a template of %llu "
                   "bytes, a payload of %llu bytes",
                   context.UnitLabel, static_cast<ULONGLONG>(record.IndexElementCount),
                   context.IndexElementCount, static_cast<ULONGLONG>(record.TemplateBlobSize),
                   static_cast<ULONGLONG>(record.PayloadBlobSize));
    return CheckIndexVector(context, record.IndexVector, record.IndexElementCount);
}

void TraceRecord(const WINIBIO_STORAGE_CONTEXT& context, const WINBIO_STORAGE_RECORD& record) {
    TraceIdentity(context, *record.Identity);
    if (record.TemplateBlobSize != 0) {
        MOC_TRACE_INFO(kTraceGuidAddRecord, 15, "template of %llu bytes:", context.UnitLabel,
                       static_cast<ULONGLONG>(record.TemplateBlobSize));
        TraceHexDump(context.UnitLabel, record.TemplateBlob,
                     static_cast<INT32>(record.TemplateBlobSize));
    }
    if (record.PayloadBlobSize != 0) {
        MOC_TRACE_INFO(kTraceGuidAddRecord, 16, "payload of %llu bytes:", context.UnitLabel,
                       static_cast<ULONGLONG>(record.PayloadBlobSize));
        TraceHexDump(context.UnitLabel, record.PayloadBlob,
                     static_cast<INT32>(record.PayloadBlobSize));
    }
}

// The build test prepared at attach: whether the running build is 26100 or later.
bool BuildKeepsEarlierEnrollments(WINIBIO_STORAGE_CONTEXT& context) {
    return VerifyVersionInfoW(&context.BuildCondition, VER_BUILDNUMBER,
                              context.BuildConditionMask) != FALSE;
}

// Before build 26100 an account's new secure identity for a finger replaces
// its earlier one: the block at `index` goes, with the chip slot it records,
// when it is the remembered account's. True when it went; a failed table read
// or slot deletion leaves it.
bool ReplaceEnrollment(WINIBIO_STORAGE_CONTEXT& context, BlockList& list, size_t index) {
    HRESULT hr = ReadTemplateTable(context);
    if (FAILED(hr)) {
        MOC_TRACE_INFO(kTraceGuidAddRecord, 17, "template table not read: %!HRESULT!",
                       context.UnitLabel, hr);
        return false;
    }
    const DatabaseRecordBlock& block = *BlockAt(list, index);
    if (!BlockAccountIs(block, context.RememberedSid, RememberedLength(context)))
        return false;
    for (DWORD slot = 0; slot < TableSlotCount(context); ++slot) {
        // Only this host's slots: another host's template of the same
        // identity is not this host's enrollment.
        if (!IsHostSlot(context, slot) || !BlockDescribesSlot(block, SlotAt(context, slot)))
            continue;
        hr = MocDeleteTemplate(context.Device, static_cast<BYTE>(slot));
        if (FAILED(hr)) {
            MOC_TRACE_INFO(kTraceGuidAddRecord, 18,
                           "earlier template in slot %u not deleted: %!HRESULT!", context.UnitLabel,
                           slot, hr);
            continue;
        }
        MOC_TRACE_INFO(kTraceGuidAddRecord, 19,
                       "earlier template in slot %u deleted with block %llu", context.UnitLabel,
                       slot, static_cast<ULONGLONG>(index));
        RemoveBlock(list, index);
        return true;
    }
    return false;
}

// The duplicate test over this host's blocks, with the replacement rule.
HRESULT Scan(WINIBIO_STORAGE_CONTEXT& context, BYTE subFactor, const IdentitySearchKey& key,
             bool keyReady) {
    BlockList& list = SearchedBlockList(context);
    const bool replaces = !key.Wildcard && key.Kind == MOC_IDENTITY_KIND_SECURE_ID &&
                          subFactor != WINBIO_SUBTYPE_ANY && AccountRemembered(context) &&
                          !BuildKeepsEarlierEnrollments(context);
    size_t i = 0;
    while (i < BlockCount(list)) {
        const DatabaseRecordBlock& block = *BlockAt(list, i);
        if (!IsHostBlock(context, block) || !SubFactorTakes(subFactor, block.SubFactor)) {
            ++i;
            continue;
        }
        // The rule replaces the account's earlier secure identity: an
        // enrollment of another kind for the finger is no earlier one.
        if (replaces && block.IdentityKind == MOC_IDENTITY_KIND_SECURE_ID &&
            ReplaceEnrollment(context, list, i)) {
            i = 0;
            continue;
        }
        if (!key.Wildcard) {
            if (!keyReady)
                return WINBIO_E_CANCELED;
            if (MatchesIdentity(key, block.Key)) {
                MOC_TRACE_INFO(kTraceGuidAddRecord, 20, "block %llu holds this identity already",
                               context.UnitLabel, static_cast<ULONGLONG>(i));
                return WINBIO_E_DUPLICATE_ENROLLMENT;
            }
        }
        ++i;
    }
    return S_OK;
}

DatabaseRecordBlock BuildBlock(const WINIBIO_STORAGE_CONTEXT& context,
                               const WINBIO_STORAGE_RECORD& record, const IdentitySearchKey& key) {
    DatabaseRecordBlock block{};
    const bool owned = context.OwnerIdMode != 0;
    block.BlockType = owned ? MOC_BLOCK_TYPE_OWNED : MOC_BLOCK_TYPE_PLAIN;
    block.RecordLength = owned ? MOC_LEGACY_RECORD_SIZE_OWNED : MOC_LEGACY_RECORD_SIZE_PLAIN;
    if (owned) {
        block.Owner = context.HostOwner;
        block.SensorIdLength = MOC_SENSOR_ID_SIZE;
        std::memcpy(block.SensorId, context.SensorId, MOC_SENSOR_ID_SIZE);
    }
    block.Valid = 1;
    block.SubFactor = record.SubFactor;
    if (key.Wildcard)
        return block;

    block.IdentityKind = key.Kind;
    block.IdentityLength = key.Length;
    block.Key = key.Key;
    const WINBIO_IDENTITY& identity = *record.Identity;
    if (identity.Type == WINBIO_ID_TYPE_SID) {
        block.AccountSidLength = static_cast<BYTE>(identity.Value.AccountSid.Size);
        std::memcpy(block.AccountSid, identity.Value.AccountSid.Data, block.AccountSidLength);
    } else {
        // Secure identities and GUIDs carry the account that the last query
        // by account found nothing for.
        block.AccountSidLength = static_cast<BYTE>(RememberedLength(context));
        std::memcpy(block.AccountSid, context.RememberedSid, block.AccountSidLength);
    }
    if (record.IndexElementCount != 0 && record.IndexVector != nullptr) {
        block.IndexElementCount = static_cast<BYTE>(record.IndexElementCount);
        StoreIndexElements(record.IndexVector, block.IndexElementCount, block.IndexVector);
    }
    if (record.TemplateBlobSize != 0 && record.TemplateBlob != nullptr) {
        block.TemplateSize = static_cast<BYTE>(record.TemplateBlobSize);
        std::memcpy(block.TemplateBytes, record.TemplateBlob, block.TemplateSize);
    }
    if (record.PayloadBlobSize != 0 && record.PayloadBlob != nullptr) {
        block.PayloadSize = static_cast<BYTE>(record.PayloadBlobSize);
        std::memcpy(block.PayloadBytes, record.PayloadBlob, block.PayloadSize);
    }
    return block;
}

// The addition on the lists just loaded: the full and duplicate tests, the
// new block and the save.
HRESULT AddLoaded(WINIBIO_STORAGE_CONTEXT& context, const WINBIO_STORAGE_RECORD& record,
                  const IdentitySearchKey& key, bool keyReady) {
    const DWORD count = CountHostBlocks(context);
    MOC_TRACE_INFO(kTraceGuidAddRecord, 23, "%u host blocks of %u slots", context.UnitLabel, count,
                   context.SlotCount);
    if (count == context.SlotCount)
        return WINBIO_E_DATABASE_FULL;

    HRESULT hr = Scan(context, record.SubFactor, key, keyReady);
    if (FAILED(hr))
        return hr;
    if (!key.Wildcard && !keyReady)
        return WINBIO_E_CANCELED;
    if (!AppendBlock(SearchedBlockList(context), BuildBlock(context, record, key)))
        return E_OUTOFMEMORY;
    hr = SaveDatabaseFile(&context);
    if (FAILED(hr)) {
        MOC_TRACE_ERROR(kTraceGuidAddRecord, 24, "database file not saved: %!HRESULT!",
                        context.UnitLabel, hr);
        return hr;
    }
    return S_OK;
}

HRESULT AddWithContext(WINIBIO_STORAGE_CONTEXT& context, const WINBIO_STORAGE_RECORD& record) {
    if (record.Identity == nullptr)
        return E_POINTER;
    MOC_TRACE_INFO(kTraceGuidAddRecord, 21, "add sub-factor 0x%02X, identity type %u, value %u",
                   context.UnitLabel, record.SubFactor, record.Identity->Type,
                   record.Identity->Value.Null);
    IdentitySearchKey key;
    bool keyReady = false;
    HRESULT hr = CheckRecord(context, record, &key, &keyReady);
    if (FAILED(hr))
        return hr;
    TraceRecord(context, record);
    hr = CheckChipKnownFor(context, ChipUse::JudgesHostRecords);
    if (FAILED(hr))
        return hr;
    return ChangeLoadedRecords(context, kTraceGuidAddRecord, 22, [&](auto& loaded) {
        return AddLoaded(loaded, record, key, keyReady);
    });
}

} // namespace

HRESULT WINAPI StorageAdapterAddRecord(PWINBIO_PIPELINE Pipeline,
                                       PWINBIO_STORAGE_RECORD RecordContents) {
    return RunRecordOperation(
        Pipeline, RecordContents != nullptr, kTraceGuidAddRecord,
        [&](WINIBIO_STORAGE_CONTEXT& context) { return AddWithContext(context, *RecordContents); });
}
