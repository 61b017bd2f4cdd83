// Query by subject and the purge rules.
#include <cstring>
#include <new>
#include <vector>
#include "common/adapter_shared.h"
#include "common/file_utils.h"
#include "common/trace.h"
#include "storage/chip_request.h"
#include "storage/database_file.h"
#include "storage/record_block.h"
#include "storage/storage_adapter.h"

namespace {

constexpr DWORD kConsoleUnlocked = 1;

// Under policies 2 and 3 other hosts' templates leave the chip while the
// console is unlocked: once per attach, or whenever every slot is in use.
HRESULT PurgeForeignTemplates(WINIBIO_STORAGE_CONTEXT& context) {
    DWORD lockState = 255;
    GetConsoleSessionLockState(&lockState);
    MOC_TRACE_INFO(kTraceGuidQueryBySubject, 12, "console session lock state %u", context.UnitLabel,
                   lockState);
    if (lockState != kConsoleUnlocked || context.OwnerIdMode == 0 ||
        (context.Policy != MOC_POLICY_PURGE_FOREIGN_AT_FIRST_UNLOCK &&
         context.Policy != MOC_POLICY_PURGE_FOREIGN_WHEN_FULL))
        return S_OK;
    HRESULT hr = ReadTemplateTable(context);
    if (FAILED(hr)) {
        MOC_TRACE_ERROR(kTraceGuidQueryBySubject, 13, "template table not read: %!HRESULT!",
                        context.UnitLabel, hr);
        return hr;
    }
    if (context.Policy == MOC_POLICY_PURGE_FOREIGN_WHEN_FULL) {
        const DWORD used = UsedSlotCount(context);
        MOC_TRACE_INFO(kTraceGuidQueryBySubject, 14, "%u of %u slots in use", context.UnitLabel,
                       used, context.SlotCount);
        if (used == context.SlotCount)
            context.PurgePendingFlag = 1;
    }
    if (context.Policy == MOC_POLICY_PURGE_FOREIGN_AT_FIRST_UNLOCK &&
        context.FirstUnlockFlag != 0) {
        MOC_TRACE_INFO(kTraceGuidQueryBySubject, 15,
                       "first unlock since the attach: a purge is due", context.UnitLabel);
        context.FirstUnlockFlag = 0;
        context.PurgePendingFlag = 1;
    }
    if (context.PurgePendingFlag != 0) {
        // A failed pass keeps the purge due for the next unlocked query.
        hr = DeleteSlots(context, IsForeignSlot);
        if (FAILED(hr))
            return hr;
    }
    context.PurgePendingFlag = 0;
    return S_OK;
}

// The chip's purge flag into the low byte of the context's; a failed request
// leaves it as it was.
void AskPurgeFlag(WINIBIO_STORAGE_CONTEXT& context) {
    BYTE flag = 0;
    DWORD error = SendChipRequest(context.Device->Pipeline, IOCTL_MOC_GET_PURGE_FLAG, nullptr, 0,
                                  &flag, sizeof(flag), sizeof(flag));
    if (error != 0) {
        MOC_TRACE_INFO(kTraceGuidQueryBySubject, 16, "purge flag not read: %!WINERROR!",
                       context.UnitLabel, error);
        return;
    }
    context.PurgeFlag = (context.PurgeFlag & ~0xFFu) | flag;
    MOC_TRACE_INFO(kTraceGuidQueryBySubject, 17, "purge flag 0x%X", context.UnitLabel,
                   context.PurgeFlag);
}

// Whether the block is one the query asks for (the owner and sensor tests
// made already).
HRESULT BlockAnswers(WINIBIO_STORAGE_CONTEXT& context, const WINBIO_IDENTITY& identity,
                     BYTE subFactor, const IdentitySearchKey& key, bool keyReady,
                     const DatabaseRecordBlock& block, bool* answers) {
    *answers = false;
    if (key.Wildcard && subFactor == WINBIO_SUBTYPE_ANY) {
        // The listing leaves the secure identities out.
        *answers = block.IdentityKind == MOC_IDENTITY_KIND_SID ||
                   block.IdentityKind == MOC_IDENTITY_KIND_GUID;
        return S_OK;
    }
    if (!SubFactorTakes(subFactor, block.SubFactor))
        return S_OK;
    if (key.Kind == MOC_IDENTITY_KIND_SECURE_ID && context.HashedMode != 0) {
        std::memcpy(context.RememberedSecureId, identity.Value.SecureId, WINBIO_SECURE_ID_SIZE);
        if (!keyReady)
            return WINBIO_E_CANCELED;
    }
    if (!key.Wildcard && key.Kind == MOC_IDENTITY_KIND_SID && subFactor != WINBIO_SUBTYPE_ANY) {
        // While the chip asks for a purge, an account's finger has no records.
        AskPurgeFlag(context);
        if (context.PurgeFlag != 0)
            return S_OK;
    }
    *answers = MatchesIdentity(key, block.Key);
    return S_OK;
}

HRESULT Scan(WINIBIO_STORAGE_CONTEXT& context, const WINBIO_IDENTITY& identity, BYTE subFactor,
             const IdentitySearchKey& key, bool keyReady) {
    context.PurgeFlag = 0;
    return CollectResults(context, [&](const DatabaseRecordBlock& block, bool* taken) {
        return BlockAnswers(context, identity, subFactor, key, keyReady, block, taken);
    });
}

// The first slot that holds the template of the account's secure-identity
// block and is not yet taken by this removal; -1 when none.
int SlotOfBlock(const WINIBIO_STORAGE_CONTEXT& context, const DatabaseRecordBlock& block,
                const std::vector<bool>& taken, bool* takenMatch) {
    for (DWORD slot = 0; slot < TableSlotCount(context); ++slot) {
        if (!IsHostSlot(context, slot) || !BlockDescribesSlot(block, SlotAt(context, slot)))
            continue;
        if (!taken[slot])
            return static_cast<int>(slot);
        *takenMatch = true;
    }
    return -1;
}

// The chip asked for a purge: the queried account's secure-identity records
// go, with their templates. Only a query by account can name the account;
// a slot matched by two blocks is deleted once.
HRESULT RemoveAccountSecureIdentities(WINIBIO_STORAGE_CONTEXT& context,
                                      const WINBIO_IDENTITY& identity) {
    HRESULT hr = ReadTemplateTable(context);
    const bool byAccount = identity.Type == WINBIO_ID_TYPE_SID;
    if (FAILED(hr))
        MOC_TRACE_INFO(kTraceGuidQueryBySubject, 18, "template table not read: %!HRESULT!",
                       context.UnitLabel, hr);
    std::vector<BYTE> later; // every slot after the first, deleted together
    bool deletedFirst = false;
    if (SUCCEEDED(hr) && byAccount) {
        std::vector<bool> taken;
        try {
            taken.assign(context.SlotCount, false);
            later.reserve(context.SlotCount);
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        BlockList& list = SearchedBlockList(context);
        RemoveBlocksWhere(list, [&](const DatabaseRecordBlock& block) {
            if (!IsHostBlock(context, block) || block.IdentityKind != MOC_IDENTITY_KIND_SECURE_ID ||
                !BlockAccountIs(block, identity.Value.AccountSid.Data,
                                identity.Value.AccountSid.Size))
                return false;
            bool takenMatch = false;
            const int slot = SlotOfBlock(context, block, taken, &takenMatch);
            if (slot < 0)
                return takenMatch; // its template goes already
            MOC_TRACE_INFO(kTraceGuidQueryBySubject, 19,
                           "secure identity of sub-factor 0x%02X removed with slot %d",
                           context.UnitLabel, block.SubFactor, slot);
            taken[slot] = true;
            if (!deletedFirst) {
                deletedFirst = true;
                HRESULT deleted = MocDeleteTemplate(context.Device, static_cast<BYTE>(slot));
                if (FAILED(deleted))
                    MOC_TRACE_INFO(kTraceGuidQueryBySubject, 20, "template not deleted: %!HRESULT!",
                                   context.UnitLabel, deleted);
            } else {
                later.push_back(static_cast<BYTE>(slot));
            }
            return true;
        });
    }
    if (!later.empty()) {
        DWORD error =
            SendChipRequest(context.Device->Pipeline, IOCTL_MOC_DELETE_TEMPLATES, later.data(),
                            static_cast<DWORD>(later.size()), nullptr, 0, 0);
        if (error != 0)
            MOC_TRACE_INFO(kTraceGuidQueryBySubject, 21, "templates not deleted: %!WINERROR!",
                           context.UnitLabel, error);
    }
    hr = SaveDatabaseFile(&context);
    if (FAILED(hr)) {
        MOC_TRACE_ERROR(kTraceGuidQueryBySubject, 22, "database file not saved: %!HRESULT!",
                        context.UnitLabel, hr);
        return hr;
    }
    return WINBIO_E_DATABASE_NO_RESULTS;
}

// Nothing matched: the account is remembered for the next record added, and
// the first such query since the counter was reset asks the chip's purge flag.
HRESULT NothingFound(WINIBIO_STORAGE_CONTEXT& context, const WINBIO_IDENTITY& identity) {
    if (identity.Type == WINBIO_ID_TYPE_SID) {
        const DWORD size = identity.Value.AccountSid.Size;
        std::memset(context.RememberedSid, 0, sizeof(context.RememberedSid));
        // A SID beyond the field is not remembered: cut short it would name
        // another account. Nothing is remembered then.
        if (size <= kRememberedSidSize) {
            std::memcpy(context.RememberedSid, identity.Value.AccountSid.Data, size);
            context.RememberedSidLength = size;
        } else {
            context.RememberedSidLength = 0;
        }
    }
    if (context.QueryCounter != 1)
        return WINBIO_E_DATABASE_NO_RESULTS;
    context.PurgeFlag = 0;
    AskPurgeFlag(context);
    if (context.PurgeFlag == 0)
        return WINBIO_E_DATABASE_NO_RESULTS;
    return RemoveAccountSecureIdentities(context, identity);
}

HRESULT QueryWithContext(WINIBIO_STORAGE_CONTEXT& context, const WINBIO_IDENTITY& identity,
                         BYTE subFactor) {
    MOC_TRACE_INFO(kTraceGuidQueryBySubject, 23,
                   "query identity type %u, sub-factor 0x%02X, value %u", context.UnitLabel,
                   identity.Type, subFactor, identity.Value.Null);
    // The scan and the purge-flag removal after it tell this host's records;
    // refused, the query purges nothing either.
    HRESULT hr = CheckChipKnownFor(context, ChipUse::JudgesHostRecords);
    if (FAILED(hr))
        return hr;
    hr = PurgeForeignTemplates(context);
    if (FAILED(hr))
        return hr;

    IdentitySearchKey key;
    HRESULT keyResult = MakeIdentitySearchKey(context, identity, &key);
    if (keyResult == E_INVALIDARG || subFactor == 0)
        return E_INVALIDARG;
    std::memset(context.RememberedSecureId, 0, sizeof(context.RememberedSecureId));
    TraceIdentity(context, identity);

    MOC_TRACE_INFO(kTraceGuidQueryBySubject, 24, "query %u since the open", context.UnitLabel,
                   context.QueryCounter);
    if (context.QueryCounter == 0 || context.ListsMayDifferFromFile) {
        hr = ReloadDatabaseFile(&context);
        if (FAILED(hr)) {
            MOC_TRACE_ERROR(kTraceGuidQueryBySubject, 25, "database file not reloaded: %!HRESULT!",
                            context.UnitLabel, hr);
            return hr;
        }
    }
    hr = Scan(context, identity, subFactor, key, SUCCEEDED(keyResult));
    if (FAILED(hr))
        return hr;
    ++context.QueryCounter;
    MOC_TRACE_INFO(kTraceGuidQueryBySubject, 26, "%u records found", context.UnitLabel,
                   context.ResultCount);
    if (context.ResultCount != 0)
        return S_OK;
    return NothingFound(context, identity);
}

} // namespace

HRESULT WINAPI StorageAdapterQueryBySubject(PWINBIO_PIPELINE Pipeline, PWINBIO_IDENTITY Identity,
                                            WINBIO_BIOMETRIC_SUBTYPE SubFactor) {
    return RunRecordOperation(Pipeline, Identity != nullptr, kTraceGuidQueryBySubject,
                              [&](WINIBIO_STORAGE_CONTEXT& context) {
                                  return QueryWithContext(context, *Identity, SubFactor);
                              });
}
