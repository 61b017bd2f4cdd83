#include "storage/record_block.h"

#include <algorithm>
#include <cstring>
#include <new>
#include "common/trace.h"
#include "device/identity_key.h"

bool AppendBlock(BlockList& list, const DatabaseRecordBlock& block) {
    const BYTE* bytes = reinterpret_cast<const BYTE*>(&block);
    try {
        list.insert(list.end(), bytes, bytes + sizeof(block));
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

void RemoveBlock(BlockList& list, size_t index) {
    if (index >= BlockCount(list))
        return;
    auto first = list.begin() + static_cast<std::ptrdiff_t>(index * MOC_DATABASE_BLOCK_SIZE);
    list.erase(first, first + MOC_DATABASE_BLOCK_SIZE);
}

void RemoveBlocksAt(BlockList& list, const std::vector<DWORD>& ascendingOffsets) {
    // Each removal moves the later blocks down by one block.
    size_t removed = 0;
    for (DWORD offset : ascendingOffsets) {
        size_t index = offset / MOC_DATABASE_BLOCK_SIZE;
        if (index < removed)
            continue; // not ascending: that block is gone already
        RemoveBlock(list, index - removed);
        ++removed;
    }
}

bool PassesOwnerRule(const DatabaseRecordBlock& block, const HostOwnerId& host) {
    return block.Owner.Bytes[0] == 0 || HostOwnerIdEqual(block.Owner, host);
}

namespace {
// BelongsToHost for a block of the searched list, from the modes and ids alone.
bool BelongsTo(bool ownerIdMode, const BYTE* sensorId, const HostOwnerId& host,
               const DatabaseRecordBlock& block) {
    if (!ownerIdMode)
        return true;
    return std::memcmp(block.SensorId, sensorId, MOC_SENSOR_ID_SIZE) == 0 &&
           PassesOwnerRule(block, host);
}
} // namespace

bool BelongsToHost(const WINIBIO_STORAGE_CONTEXT& context, const DatabaseRecordBlock& block) {
    return BelongsTo(context.OwnerIdMode != 0, context.SensorId, context.HostOwner, block);
}

bool IsHostBlock(const WINIBIO_STORAGE_CONTEXT& context, const DatabaseRecordBlock& block) {
    return block.Valid == 1 && BelongsToHost(context, block);
}

bool IsMalformedBlock(const DatabaseRecordBlock& block) {
    return block.Valid > 1 || block.IdentityKind > MOC_IDENTITY_KIND_GUID ||
           block.IdentityLength > sizeof(block.Key) ||
           block.AccountSidLength > sizeof(block.AccountSid) ||
           block.IndexElementCount > MOC_BLOCK_INDEX_ELEMENTS ||
           block.TemplateSize > sizeof(block.TemplateBytes) ||
           block.PayloadSize > sizeof(block.PayloadBytes) ||
           block.SensorIdLength > sizeof(block.SensorId);
}

DWORD CountHostBlocks(const WINIBIO_STORAGE_CONTEXT& context) {
    const BlockList& searched = SearchedBlockList(context);
    DWORD count = 0;
    for (size_t i = 0; i < BlockCount(searched); ++i) {
        if (IsHostBlock(context, *BlockAt(searched, i)))
            ++count;
    }
    return count;
}

bool BlockAccountIs(const DatabaseRecordBlock& block, const BYTE* sid, DWORD length) {
    if (sid == nullptr || length == 0 || length > sizeof(block.AccountSid))
        return false;
    return std::memcmp(block.AccountSid, sid, length) == 0;
}

void StoreIndexElements(const ULONG* elements, DWORD count,
                        BYTE (&field)[MOC_BLOCK_INDEX_ELEMENTS * 4]) {
    std::memset(field, 0, sizeof(field));
    for (DWORD i = 0; i < count && i < MOC_BLOCK_INDEX_ELEMENTS; ++i) {
        field[4 * i] = static_cast<BYTE>(elements[i] >> 24);
        field[4 * i + 1] = static_cast<BYTE>(elements[i] >> 16);
        field[4 * i + 2] = static_cast<BYTE>(elements[i] >> 8);
        field[4 * i + 3] = static_cast<BYTE>(elements[i]);
    }
}

ULONG IndexElementAt(const DatabaseRecordBlock& block, DWORD index) {
    if (index >= MOC_BLOCK_INDEX_ELEMENTS)
        return 0;
    const BYTE* p = block.IndexVector + 4 * index;
    return (ULONG(p[0]) << 24) | (ULONG(p[1]) << 16) | (ULONG(p[2]) << 8) | ULONG(p[3]);
}

HRESULT CheckIndexVector(const WINIBIO_STORAGE_CONTEXT& context, const ULONG* elements,
                         SIZE_T count) {
    if (count != context.IndexElementCount)
        return WINBIO_E_DATABASE_BAD_INDEX_VECTOR;
    if (count != 0 && elements == nullptr)
        return E_INVALIDARG;
    if (count > MOC_BLOCK_INDEX_ELEMENTS)
        return E_INVALIDARG;
    return S_OK;
}

HRESULT CheckChipKnownFor(const WINIBIO_STORAGE_CONTEXT& context, ChipUse use) {
    const bool known = context.CapabilitiesRead &&
                       (use != ChipUse::JudgesHostRecords || CanJudgeHostBlocks(context));
    if (known)
        return S_OK;
    MOC_TRACE_ERROR(kTraceGuidRecordBlock, 17,
                    "the chip's modes are not known (capabilities read %u, sensor id read %u): the "
                    "operation is refused",
                    context.UnitLabel, static_cast<DWORD>(context.CapabilitiesRead),
                    static_cast<DWORD>(context.SensorIdRead));
    return WINBIO_E_DEVICE_FAILURE;
}

size_t CountMalformedHostBlocks(const WINIBIO_STORAGE_CONTEXT& context) {
    const BlockList& searched = SearchedBlockList(context);
    size_t count = 0;
    for (size_t i = 0; i < BlockCount(searched); ++i) {
        const DatabaseRecordBlock& block = *BlockAt(searched, i);
        if (BelongsToHost(context, block) && IsMalformedBlock(block))
            ++count;
    }
    return count;
}

bool BytesPastBlocksMayHoldBlocks(const BYTE* bytes, size_t count) {
    for (size_t at = 0; at + MOC_DATABASE_BLOCK_SIZE <= count; at += MOC_DATABASE_BLOCK_SIZE) {
        if (bytes[at] == MOC_BLOCK_TYPE_OWNED || bytes[at] == MOC_BLOCK_TYPE_PLAIN)
            return true;
    }
    return false;
}

ReconcileSkip ReconcileSkipOf(const WINIBIO_STORAGE_CONTEXT& context) {
    // The loader keeps every byte past the counted blocks as the trailing copy.
    if (BytesPastBlocksMayHoldBlocks(context.KeptTrailing.data(), context.KeptTrailing.size()))
        return ReconcileSkip::UncountedBytes;
    return CountMalformedHostBlocks(context) != 0 ? ReconcileSkip::MalformedHostBlock
                                                  : ReconcileSkip::None;
}

FileReconcileHold ReconcileHoldOfFile(const std::vector<BYTE>& file, bool ownerIdMode,
                                      const BYTE (&sensorId)[MOC_SENSOR_ID_SIZE],
                                      const HostOwnerId& host) {
    FileReconcileHold hold;
    DWORD headerSize = 0, blockCount = 0;
    if (CheckDatabaseFileLayout(file, MOC_DATABASE_MAGIC, &headerSize, &blockCount) !=
        DatabaseFileLayout::Fits)
        return hold;
    const size_t blocksEnd = headerSize + size_t(blockCount) * MOC_DATABASE_BLOCK_SIZE;
    if (BytesPastBlocksMayHoldBlocks(file.data() + blocksEnd, file.size() - blocksEnd))
        hold.bytesPastBlocks = file.size() - blocksEnd;
    const BYTE searchedType = ownerIdMode ? MOC_BLOCK_TYPE_OWNED : MOC_BLOCK_TYPE_PLAIN;
    for (size_t i = 0; i < blockCount; ++i) {
        const auto& block = *reinterpret_cast<const DatabaseRecordBlock*>(
            file.data() + headerSize + i * MOC_DATABASE_BLOCK_SIZE);
        if (block.BlockType == searchedType && BelongsTo(ownerIdMode, sensorId, host, block) &&
            IsMalformedBlock(block))
            hold.malformedHostBlocks.push_back(i);
    }
    return hold;
}

DWORD TableSlotCount(const WINIBIO_STORAGE_CONTEXT& context) {
    DWORD whole = static_cast<DWORD>(context.TemplateTable.size() / SlotEntrySize(context));
    return whole < context.SlotCount ? whole : context.SlotCount;
}

namespace {
const HostOwnerId& SlotOwner(const WINIBIO_STORAGE_CONTEXT& context, DWORD slot) {
    return reinterpret_cast<const TemplateSlotEntryOwned&>(SlotAt(context, slot)).Owner;
}
} // namespace

DWORD UsedSlotCount(const WINIBIO_STORAGE_CONTEXT& context) {
    DWORD used = 0;
    for (DWORD slot = 0; slot < TableSlotCount(context); ++slot) {
        if (SlotAt(context, slot).State == MOC_SLOT_STATE_USED)
            ++used;
    }
    return used;
}

bool IsHostSlot(const WINIBIO_STORAGE_CONTEXT& context, DWORD slot) {
    if (slot >= TableSlotCount(context) || SlotAt(context, slot).State != MOC_SLOT_STATE_USED)
        return false;
    return context.OwnerIdMode == 0 ||
           HostOwnerIdEqual(SlotOwner(context, slot), context.HostOwner);
}

bool IsForeignSlot(const WINIBIO_STORAGE_CONTEXT& context, DWORD slot) {
    if (context.OwnerIdMode == 0 || slot >= TableSlotCount(context) ||
        SlotAt(context, slot).State != MOC_SLOT_STATE_USED)
        return false;
    return !HostOwnerIdEqual(SlotOwner(context, slot), context.HostOwner);
}

bool BlockDescribesSlot(const DatabaseRecordBlock& block, const TemplateSlotEntry& entry) {
    return block.IdentityKind == entry.IdentityKind && block.SubFactor == entry.SubFactor &&
           IdentityKeyEqual(block.Key, entry.Key);
}

TemplateIdentity TemplateIdentityOf(const DatabaseRecordBlock& block) {
    return TemplateIdentity{block.IdentityKind, block.SubFactor, block.Key};
}

TemplateIdentity TemplateIdentityOf(const TemplateSlotEntry& entry) {
    return TemplateIdentity{entry.IdentityKind, entry.SubFactor, entry.Key};
}

namespace {
// Any strict order serves; equal means what BlockDescribesSlot means by it.
int Compare(const TemplateIdentity& a, const TemplateIdentity& b) {
    if (a.Kind != b.Kind)
        return a.Kind < b.Kind ? -1 : 1;
    if (a.SubFactor != b.SubFactor)
        return a.SubFactor < b.SubFactor ? -1 : 1;
    return std::memcmp(a.Key.Bytes, b.Key.Bytes, sizeof(a.Key.Bytes));
}
} // namespace

void TemplateIdentityIndex::Sort() {
    std::sort(entries_.begin(), entries_.end(), [](const Entry& a, const Entry& b) {
        const int order = Compare(a.Identity, b.Identity);
        return order != 0 ? order < 0 : a.Value < b.Value;
    });
}

std::pair<const TemplateIdentityIndex::Entry*, const TemplateIdentityIndex::Entry*>
TemplateIdentityIndex::Find(const TemplateIdentity& identity) const {
    auto range = std::equal_range(
        entries_.begin(), entries_.end(), Entry{identity, 0},
        [](const Entry& a, const Entry& b) { return Compare(a.Identity, b.Identity) < 0; });
    return {entries_.data() + (range.first - entries_.begin()),
            entries_.data() + (range.second - entries_.begin())};
}

HRESULT DeleteSlots(WINIBIO_STORAGE_CONTEXT& context,
                    bool (*pick)(const WINIBIO_STORAGE_CONTEXT& context, DWORD slot),
                    const std::function<void(DWORD slot)>& deleted) {
    for (DWORD slot = 0; slot < TableSlotCount(context); ++slot) {
        if (!pick(context, slot))
            continue;
        MOC_TRACE_INFO(kTraceGuidRecordBlock, 10, "deleting the template in slot %u",
                       context.UnitLabel, slot);
        HRESULT hr = MocDeleteTemplate(context.Device, static_cast<BYTE>(slot));
        if (FAILED(hr)) {
            MOC_TRACE_ERROR(kTraceGuidRecordBlock, 11,
                            "template in slot %u not deleted: %!HRESULT!", context.UnitLabel, slot,
                            hr);
            return hr;
        }
        if (deleted)
            deleted(slot);
    }
    return S_OK;
}

HRESULT DeleteEverySlot(WINIBIO_STORAGE_CONTEXT& context) {
    MOC_TRACE_INFO(kTraceGuidRecordBlock, 12, "deleting every template", context.UnitLabel);
    HRESULT hr = MocDeleteTemplate(context.Device, MOC_TEMPLATE_SLOT_ALL);
    if (FAILED(hr))
        MOC_TRACE_INFO(kTraceGuidRecordBlock, 13, "templates not deleted: %!HRESULT!",
                       context.UnitLabel, hr);
    return hr;
}

HRESULT DeleteHostTemplates(WINIBIO_STORAGE_CONTEXT& context) {
    if (context.OwnerIdMode == 0) {
        DeleteEverySlot(context);
        return S_OK;
    }
    HRESULT hr = ReadTemplateTable(context);
    if (FAILED(hr)) {
        MOC_TRACE_ERROR(kTraceGuidRecordBlock, 14, "template table not read: %!HRESULT!",
                        context.UnitLabel, hr);
        return hr;
    }
    return DeleteSlots(context, IsHostSlot);
}

HRESULT ReadTemplateTable(WINIBIO_STORAGE_CONTEXT& context) {
    std::fill(context.TemplateTable.begin(), context.TemplateTable.end(), BYTE{0});
    return MocReadTemplateTable(context.Device, context.TemplateTable.data(),
                                static_cast<DWORD>(context.TemplateTable.size()));
}

HRESULT MakeIdentitySearchKey(const WINIBIO_STORAGE_CONTEXT& context,
                              const WINBIO_IDENTITY& identity, IdentitySearchKey* key) {
    if (key == nullptr)
        return E_POINTER;
    *key = IdentitySearchKey{};
    switch (identity.Type) {
    case WINBIO_ID_TYPE_WILDCARD:
        if (identity.Value.Wildcard != WINBIO_IDENTITY_WILDCARD)
            return E_INVALIDARG;
        key->Wildcard = true;
        return S_OK;
    case WINBIO_ID_TYPE_GUID:
        key->Kind = MOC_IDENTITY_KIND_GUID;
        key->Length = sizeof(GUID);
        key->CompareLength = sizeof(GUID);
        PackIdentityKey(&identity, &key->Key);
        return S_OK;
    case WINBIO_ID_TYPE_SID: {
        DWORD size = identity.Value.AccountSid.Size;
        if (size == 0 || size > kMaxKeyedSidSize)
            return E_INVALIDARG;
        key->Kind = MOC_IDENTITY_KIND_SID;
        key->Length = static_cast<BYTE>(size);
        key->CompareLength = size;
        PackIdentityKey(&identity, &key->Key);
        return S_OK;
    }
    case WINBIO_ID_TYPE_SECURE_ID:
        key->Kind = MOC_IDENTITY_KIND_SECURE_ID;
        key->Length = WINBIO_SECURE_ID_SIZE;
        key->CompareLength = MOC_IDENTITY_KEY_SIZE;
        if (context.HashedMode != 0) {
            if (!Sha256Digest(identity.Value.SecureId, WINBIO_SECURE_ID_SIZE, key->Key.Bytes))
                return WINBIO_E_CANCELED;
        } else {
            PackIdentityKey(&identity, &key->Key);
        }
        return S_OK;
    default:
        return E_INVALIDARG;
    }
}

bool MatchesIdentity(const IdentitySearchKey& search, const IdentityKey& key) {
    if (search.Wildcard)
        return true;
    return std::memcmp(search.Key.Bytes, key.Bytes, search.CompareLength) == 0;
}

void TraceIdentity(const WINIBIO_STORAGE_CONTEXT& context, const WINBIO_IDENTITY& identity) {
    MOC_TRACE_INFO(kTraceGuidRecordBlock, 15, "identity type %u, SID of %u bytes",
                   context.UnitLabel, identity.Type,
                   identity.Type == WINBIO_ID_TYPE_SID ? identity.Value.AccountSid.Size : 0u);
    switch (identity.Type) {
    case WINBIO_ID_TYPE_SECURE_ID: {
        BYTE digest[32];
        if (Sha256Digest(identity.Value.SecureId, WINBIO_SECURE_ID_SIZE, digest))
            TraceHexDump(context.UnitLabel, digest, sizeof(digest));
        else
            MOC_TRACE_INFO(kTraceGuidRecordBlock, 16, "the digest of the secure identity failed",
                           context.UnitLabel);
        break;
    }
    case WINBIO_ID_TYPE_SID: {
        const DWORD size = identity.Value.AccountSid.Size;
        TraceHexDump(
            context.UnitLabel, identity.Value.AccountSid.Data,
            static_cast<INT32>(std::min<DWORD>(size, sizeof(identity.Value.AccountSid.Data))));
        break;
    }
    case WINBIO_ID_TYPE_GUID: {
        IdentityKey packed;
        PackIdentityKey(&identity, &packed);
        TraceHexDump(context.UnitLabel, packed.Bytes, sizeof(GUID));
        break;
    }
    default:
        break;
    }
}
