// Deleting records: the matching blocks from the file and the matching
// templates from the chip.
#include <new>
#include "common/trace.h"
#include "storage/database_file.h"
#include "storage/record_block.h"
#include "storage/storage_adapter.h"

namespace {

struct Removal {
    size_t Blocks = 0;
    DWORD Slots = 0;
};

// Everything of this host. In owner-id mode each of this host's slots goes,
// and with it the blocks that record it; blocks without such a slot stay.
// Without owners the chip drops every template at once, whatever the table
// read found, and the plain list goes whole; while the chip may still hold
// them, the records stay.
HRESULT DeleteEverything(WINIBIO_STORAGE_CONTEXT& context, Removal* removal) {
    if (context.OwnerIdMode == 0) {
        HRESULT hr = DeleteEverySlot(context);
        if (FAILED(hr))
            return hr;
        removal->Blocks = BlockCount(context.PlainBlocks);
        context.PlainBlocks.clear();
        return S_OK;
    }
    // The blocks go in one pass after the slots: removed slot by slot, the
    // list would be moved up once for every slot.
    TemplateIdentityIndex deleted;
    try {
        deleted.Reserve(TableSlotCount(context));
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    HRESULT hr = DeleteSlots(context, IsHostSlot, [&](DWORD slot) {
        ++removal->Slots;
        deleted.Add(TemplateIdentityOf(SlotAt(context, slot)), slot);
    });
    deleted.Sort();
    removal->Blocks += RemoveBlocksWhere(context.OwnedBlocks, [&](const auto& block) {
        return IsHostBlock(context, block) && deleted.Contains(TemplateIdentityOf(block));
    });
    return hr;
}

// The blocks, then the slots, of the identity (the wildcard: every identity)
// within the sub-factor, or within every sub-factor for WINBIO_SUBTYPE_ANY.
HRESULT DeleteByIdentity(WINIBIO_STORAGE_CONTEXT& context, const IdentitySearchKey& key,
                         BYTE subFactor, Removal* removal) {
    removal->Blocks =
        RemoveBlocksWhere(SearchedBlockList(context), [&](const DatabaseRecordBlock& block) {
            if (!IsHostBlock(context, block) || !SubFactorTakes(subFactor, block.SubFactor) ||
                !MatchesIdentity(key, block.Key))
                return false;
            MOC_TRACE_INFO(kTraceGuidDeleteRecord, 16, "block of sub-factor 0x%02X removed",
                           context.UnitLabel, block.SubFactor);
            return true;
        });
    for (DWORD slot = 0; slot < TableSlotCount(context); ++slot) {
        const TemplateSlotEntry& entry = SlotAt(context, slot);
        if (!IsHostSlot(context, slot) || !SubFactorTakes(subFactor, entry.SubFactor) ||
            !MatchesIdentity(key, entry.Key))
            continue;
        ++removal->Slots;
        MOC_TRACE_INFO(kTraceGuidDeleteRecord, 17,
                       "deleting the template of sub-factor 0x%02X in slot %u", context.UnitLabel,
                       entry.SubFactor, slot);
        HRESULT hr = MocDeleteTemplate(context.Device, static_cast<BYTE>(slot));
        if (FAILED(hr)) {
            MOC_TRACE_INFO(kTraceGuidDeleteRecord, 18,
                           "template in slot %u not deleted: %!HRESULT!", context.UnitLabel, slot,
                           hr);
            if (context.OwnerIdMode != 0)
                return hr;
        }
    }
    return S_OK;
}

// The deletion on the lists just loaded, saved when it removed a block.
HRESULT DeleteLoaded(WINIBIO_STORAGE_CONTEXT& context, const IdentitySearchKey& key,
                     HRESULT keyResult, BYTE subFactor) {
    // Read on every call: a slot freed and taken by another enrollment since
    // an earlier read must not be deleted on the strength of that read. A
    // failed read leaves the buffer cleared, and no slot is deleted.
    MOC_TRACE_INFO(kTraceGuidDeleteRecord, 21, "deletion %u since the open", context.UnitLabel,
                   context.DeleteCounter);
    HRESULT hr = ReadTemplateTable(context);
    if (FAILED(hr))
        MOC_TRACE_INFO(kTraceGuidDeleteRecord, 22,
                       "template table not read (%!HRESULT!): no slot is deleted",
                       context.UnitLabel, hr);
    ++context.DeleteCounter;

    Removal removal;
    if (key.Wildcard && subFactor == WINBIO_SUBTYPE_ANY) {
        hr = DeleteEverything(context, &removal);
    } else {
        if (FAILED(keyResult)) {
            MOC_TRACE_INFO(kTraceGuidDeleteRecord, 23, "identity key not made: %!HRESULT!",
                           context.UnitLabel, keyResult);
            return keyResult;
        }
        hr = DeleteByIdentity(context, key, subFactor, &removal);
    }
    if (FAILED(hr))
        return hr;

    MOC_TRACE_INFO(kTraceGuidDeleteRecord, 24, "%llu blocks and %u templates removed",
                   context.UnitLabel, static_cast<ULONGLONG>(removal.Blocks), removal.Slots);
    if (removal.Blocks == 0)
        return WINBIO_E_DATABASE_NO_SUCH_RECORD;
    hr = SaveDatabaseFile(&context);
    if (FAILED(hr)) {
        MOC_TRACE_ERROR(kTraceGuidDeleteRecord, 25, "database file not saved: %!HRESULT!",
                        context.UnitLabel, hr);
        return hr;
    }
    return S_OK;
}

HRESULT DeleteWithContext(WINIBIO_STORAGE_CONTEXT& context, const WINBIO_IDENTITY& identity,
                          BYTE subFactor) {
    MOC_TRACE_INFO(kTraceGuidDeleteRecord, 19,
                   "delete sub-factor 0x%02X, identity type %u, value %u", context.UnitLabel,
                   subFactor, identity.Type, identity.Value.Null);
    IdentitySearchKey key;
    HRESULT keyResult = MakeIdentitySearchKey(context, identity, &key);
    if (keyResult == E_INVALIDARG || subFactor == 0)
        return E_INVALIDARG;
    TraceIdentity(context, identity);
    if (HRESULT hr = CheckChipKnownFor(context, ChipUse::JudgesHostRecords); FAILED(hr))
        return hr;
    return ChangeLoadedRecords(context, kTraceGuidDeleteRecord, 20, [&](auto& loaded) {
        return DeleteLoaded(loaded, key, keyResult, subFactor);
    });
}

} // namespace

HRESULT WINAPI StorageAdapterDeleteRecord(PWINBIO_PIPELINE Pipeline, PWINBIO_IDENTITY Identity,
                                          WINBIO_BIOMETRIC_SUBTYPE SubFactor) {
    return RunRecordOperation(Pipeline, Identity != nullptr, kTraceGuidDeleteRecord,
                              [&](WINIBIO_STORAGE_CONTEXT& context) {
                                  return DeleteWithContext(context, *Identity, SubFactor);
                              });
}
