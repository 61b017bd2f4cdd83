// What every storage operation asks of record blocks and template slots: the
// block at a position, the searched list, the owner rule, which blocks and
// slots belong to this host, when a block describes a slot, the keys and the
// matching of identities, and the removal of blocks. One place, so that the
// operations cannot disagree on any of these tests.
#pragma once
#include <windows.h>
#include <winbio_types.h>
#include <functional>
#include <new>
#include <utility>
#include <vector>
#include "storage/storage_context.h"

// ---------------------------------------------------------------------------
// Blocks of a list
// ---------------------------------------------------------------------------

inline size_t BlockCount(const BlockList& list) {
    return list.size() / MOC_DATABASE_BLOCK_SIZE;
}

// The block at `index` (below BlockCount); the record is byte-aligned, so it
// may lie anywhere in the list.
inline DatabaseRecordBlock* BlockAt(BlockList& list, size_t index) {
    return reinterpret_cast<DatabaseRecordBlock*>(list.data() + index * MOC_DATABASE_BLOCK_SIZE);
}
inline const DatabaseRecordBlock* BlockAt(const BlockList& list, size_t index) {
    return reinterpret_cast<const DatabaseRecordBlock*>(list.data() +
                                                        index * MOC_DATABASE_BLOCK_SIZE);
}

// A block's byte offset in its list, as the result list and the traces give it.
inline DWORD BlockOffset(size_t index) {
    return static_cast<DWORD>(index * MOC_DATABASE_BLOCK_SIZE);
}

// Appends one block image; false when no memory is left (the list is unchanged).
bool AppendBlock(BlockList& list, const DatabaseRecordBlock& block);

// Removes the block at `index`; the blocks behind it move up by one block.
void RemoveBlock(BlockList& list, size_t index);

// Removes the blocks at the given byte offsets (ascending, each a block's offset
// in the list as it was before the first removal), keeping the others in order.
void RemoveBlocksAt(BlockList& list, const std::vector<DWORD>& ascendingOffsets);

// Removes every block that `pick` takes (called once per block, in list
// order), keeping the others in order; the number removed.
template <class Pick> size_t RemoveBlocksWhere(BlockList& list, Pick pick) {
    size_t kept = 0;
    const size_t count = BlockCount(list);
    for (size_t i = 0; i < count; ++i) {
        if (pick(*BlockAt(list, i)))
            continue;
        if (kept != i)
            *BlockAt(list, kept) = *BlockAt(list, i);
        ++kept;
    }
    list.resize(kept * MOC_DATABASE_BLOCK_SIZE);
    return count - kept;
}

// The list the operations search: owned blocks in owner-id mode, plain blocks
// otherwise. The other list is never searched.
inline BlockList& SearchedBlockList(WINIBIO_STORAGE_CONTEXT& context) {
    return context.OwnerIdMode != 0 ? context.OwnedBlocks : context.PlainBlocks;
}
inline const BlockList& SearchedBlockList(const WINIBIO_STORAGE_CONTEXT& context) {
    return context.OwnerIdMode != 0 ? context.OwnedBlocks : context.PlainBlocks;
}

// ---------------------------------------------------------------------------
// Ownership
// ---------------------------------------------------------------------------

// A block counts as this host's when its owner id begins with a zero byte (a
// block without owner, whatever its other bytes) or equals the host's id.
bool PassesOwnerRule(const DatabaseRecordBlock& block, const HostOwnerId& host);

// In owner-id mode the block is of this sensor and passes the owner rule;
// without owner-id mode every block of the searched list is this host's.
bool BelongsToHost(const WINIBIO_STORAGE_CONTEXT& context, const DatabaseRecordBlock& block);

// The block is in use and belongs to this host: the blocks the operations
// test in the searched list.
bool IsHostBlock(const WINIBIO_STORAGE_CONTEXT& context, const DatabaseRecordBlock& block);

// A fixed field of the block holds what no writer of the format puts there:
// a valid byte other than 0 or 1, an identity kind the layout does not name,
// or a length or count beyond the field it measures. Such a block was damaged
// after it was written, and what it recorded can no longer be told.
bool IsMalformedBlock(const DatabaseRecordBlock& block);

// Number of this host's blocks in the searched list: the records that use up
// the chip's slots.
DWORD CountHostBlocks(const WINIBIO_STORAGE_CONTEXT& context);

// Rebuilds the results of a query from the searched list: the offset of each
// of this host's blocks that `answers(block, &taken)` takes, in list order. A
// failure of `answers` ends the walk with the results found before it.
template <class Answers> HRESULT CollectResults(WINIBIO_STORAGE_CONTEXT& context, Answers answers) {
    context.ResultCount = 0;
    context.ResultList.clear();
    const BlockList& list = SearchedBlockList(context);
    for (size_t i = 0; i < BlockCount(list); ++i) {
        const DatabaseRecordBlock& block = *BlockAt(list, i);
        if (!IsHostBlock(context, block))
            continue;
        bool taken = false;
        HRESULT hr = answers(block, &taken);
        if (FAILED(hr))
            return hr;
        if (!taken)
            continue;
        try {
            context.ResultList.push_back(BlockOffset(i));
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        ++context.ResultCount;
    }
    return S_OK;
}

// ---------------------------------------------------------------------------
// Block fields
// ---------------------------------------------------------------------------

// A query's or a record's sub-factor takes the block: any finger, or the same.
inline bool SubFactorTakes(BYTE subFactor, BYTE blockSubFactor) {
    return subFactor == WINBIO_SUBTYPE_ANY || subFactor == blockSubFactor;
}

// The block's account is the given SID: its first `length` account bytes are
// the SID's. Never for a length of 0 (no account) or one beyond the field.
bool BlockAccountIs(const DatabaseRecordBlock& block, const BYTE* sid, DWORD length);

// The index field holds the elements most significant byte first; `count`
// is at most MOC_BLOCK_INDEX_ELEMENTS.
void StoreIndexElements(const ULONG* elements, DWORD count,
                        BYTE (&field)[MOC_BLOCK_INDEX_ELEMENTS * 4]);
ULONG IndexElementAt(const DatabaseRecordBlock& block, DWORD index);

// The index vector a record or a query brings: WINBIO_E_DATABASE_BAD_INDEX_VECTOR
// for a count other than the database's, E_INVALIDARG for a count without a
// vector or beyond the elements a block holds.
HRESULT CheckIndexVector(const WINIBIO_STORAGE_CONTEXT& context, const ULONG* elements,
                         SIZE_T count);

// Whether this context may delete chip templates or drop host records on the
// strength of the sensor comparison: not in owner-id mode when the sensor id
// could not be read, since every owned block would then look foreign.
inline bool CanJudgeHostBlocks(const WINIBIO_STORAGE_CONTEXT& context) {
    return context.OwnerIdMode == 0 || context.SensorIdRead;
}

// What an operation relies on of the chip's modes and ids.
enum class ChipUse {
    DeletesTemplates, // deletes chip templates, told by their slots alone
    // tells this host's records from the file's: every query, and every
    // change of this host's records (with the templates they describe)
    JudgesHostRecords,
};

// Whether attach learnt enough of the chip for `use`. Without the
// capabilities owner-id and hashed mode are guesses (both off): on a chip that
// keeps owners a delete of every slot would take other hosts' templates, on
// one that hashes identities a record would keep the raw identity, which the
// next reconciliation takes for an orphan, and a query would search the list
// of the other mode. Without the sensor id in owner-id mode every record of
// this host looks another sensor's: a query would miss it, a delete would
// take its template and keep it, and a new record would carry an all-zero id.
// S_OK, or WINBIO_E_DEVICE_FAILURE (traced) when the operation must not run;
// every operation refused so fails with it, before it changes anything.
HRESULT CheckChipKnownFor(const WINIBIO_STORAGE_CONTEXT& context, ChipUse use);

// Number of this host's blocks in the searched list that are malformed
// (IsMalformedBlock).
size_t CountMalformedHostBlocks(const WINIBIO_STORAGE_CONTEXT& context);

// Whether the bytes after a file's counted blocks may be blocks that the
// count leaves out, as a count lowered by hand leaves them: a whole block at a
// block boundary (counted from the end of the counted blocks) whose type byte
// is a block type. Other bytes there are carried across rewrites as they are,
// and tell nothing of this host's templates.
bool BytesPastBlocksMayHoldBlocks(const BYTE* bytes, size_t count);

// Why a record set must not be reconciled with the chip: what it keeps of
// this host's templates can no longer be told, and a template taken for an
// orphan would be lost for good. One rule for the adapter and for every other
// reader that tells what an open will do with a file.
enum class ReconcileSkip {
    None,
    // the bytes past the file's counted blocks may be blocks
    // (BytesPastBlocksMayHoldBlocks)
    UncountedBytes,
    MalformedHostBlock, // a block of this host is malformed (IsMalformedBlock)
};

// The record set in the context's lists, with the kept trailing bytes of the
// file last loaded.
ReconcileSkip ReconcileSkipOf(const WINIBIO_STORAGE_CONTEXT& context);

// Every reason a private file's bytes read whole give an open to reconcile
// nothing, judged for the chip's mode, sensor id and host owner id as attach
// reads them, for a reader that tells people where. A file the loader refuses
// (CheckDatabaseFileLayout other than Fits) holds nothing back: no open
// reconciles it.
struct FileReconcileHold {
    // The length of the bytes past the counted blocks when they hold, else 0.
    size_t bytesPastBlocks = 0;
    std::vector<size_t> malformedHostBlocks; // positions of the blocks in the file
    ReconcileSkip Skip() const {
        if (bytesPastBlocks != 0)
            return ReconcileSkip::UncountedBytes;
        return malformedHostBlocks.empty() ? ReconcileSkip::None
                                           : ReconcileSkip::MalformedHostBlock;
    }
};
FileReconcileHold ReconcileHoldOfFile(const std::vector<BYTE>& file, bool ownerIdMode,
                                      const BYTE (&sensorId)[MOC_SENSOR_ID_SIZE],
                                      const HostOwnerId& host);

// ---------------------------------------------------------------------------
// Template table
// ---------------------------------------------------------------------------

// Size of one table entry: 52 bytes in owner-id mode, 35 otherwise.
inline DWORD SlotEntrySize(const WINIBIO_STORAGE_CONTEXT& context) {
    return TemplateSlotEntrySize(context.OwnerIdMode != 0);
}

// Number of whole entries the table buffer holds (never more than the slot count).
DWORD TableSlotCount(const WINIBIO_STORAGE_CONTEXT& context);

// Entry `slot` of the table buffer (below TableSlotCount). Both entry sizes
// begin with the fields of TemplateSlotEntry.
inline const TemplateSlotEntry& SlotAt(const WINIBIO_STORAGE_CONTEXT& context, DWORD slot) {
    return *reinterpret_cast<const TemplateSlotEntry*>(context.TemplateTable.data() +
                                                       size_t(slot) * SlotEntrySize(context));
}

// Number of entries of the table buffer that hold a template.
DWORD UsedSlotCount(const WINIBIO_STORAGE_CONTEXT& context);

// The slot holds a template whose owner is this host (any used slot when the
// chip keeps no owners).
bool IsHostSlot(const WINIBIO_STORAGE_CONTEXT& context, DWORD slot);

// The slot holds a template of another host (owner-id mode only; an all-zero
// owner id is another host's).
bool IsForeignSlot(const WINIBIO_STORAGE_CONTEXT& context, DWORD slot);

// The block records the template of the entry: same kind, sub-factor and key.
bool BlockDescribesSlot(const DatabaseRecordBlock& block, const TemplateSlotEntry& entry);

// What BlockDescribesSlot compares of a block or a slot.
struct TemplateIdentity {
    BYTE Kind;
    BYTE SubFactor;
    IdentityKey Key;
};
TemplateIdentity TemplateIdentityOf(const DatabaseRecordBlock& block);
TemplateIdentity TemplateIdentityOf(const TemplateSlotEntry& entry);

// Template identities with a number of the caller's each (a slot, a block's
// offset), sorted for lookup: which of a file's blocks describe which of the
// chip's slots then takes one search per slot or block, not a comparison of
// every block with every slot (65,025 of them for 255 slots and 255 blocks).
class TemplateIdentityIndex {
public:
    struct Entry {
        TemplateIdentity Identity;
        DWORD Value;
    };
    // Room for `count` entries, so that Add allocates nothing; throws std::bad_alloc.
    void Reserve(size_t count) { entries_.reserve(count); }
    // Throws std::bad_alloc beyond the room reserved.
    void Add(const TemplateIdentity& identity, DWORD value) {
        entries_.push_back(Entry{identity, value});
    }
    // Call once every entry is added, before the first Find.
    void Sort();
    // The entries whose identity equals `identity`, by ascending value.
    std::pair<const Entry*, const Entry*> Find(const TemplateIdentity& identity) const;
    bool Contains(const TemplateIdentity& identity) const {
        auto found = Find(identity);
        return found.first != found.second;
    }

private:
    std::vector<Entry> entries_;
};

// Deletes, in slot order, every slot of the table buffer that `pick` takes
// (IsHostSlot, IsForeignSlot, ...), calling `deleted` after each deletion.
// Stops at the first failed deletion and returns its MOC_E_DELETE_TEMPLATE
// value; the slots deleted before it stay deleted. The buffer is not changed:
// read it afresh before the next pass.
HRESULT DeleteSlots(WINIBIO_STORAGE_CONTEXT& context,
                    bool (*pick)(const WINIBIO_STORAGE_CONTEXT& context, DWORD slot),
                    const std::function<void(DWORD slot)>& deleted = nullptr);

// Asks the chip to delete every template at once (slot MOC_TEMPLATE_SLOT_ALL),
// as a chip that keeps no owners is cleared: 0, or the MOC_E_DELETE_TEMPLATE
// value of the failed request (traced).
HRESULT DeleteEverySlot(WINIBIO_STORAGE_CONTEXT& context);

// Deletes this host's templates from the chip: in owner-id mode the used
// slots with this host's owner id, from a fresh table read (its failure, or
// the first failed deletion, is returned); otherwise every slot at once, and
// a failure of that is only traced.
HRESULT DeleteHostTemplates(WINIBIO_STORAGE_CONTEXT& context);

// Clears the table buffer and reads the chip's table into it. A failed or
// short read leaves the buffer cleared, so that it shows no used slot; the
// caller must still not act on it (0 or the MOC_E_READ_TEMPLATE_TABLE value).
HRESULT ReadTemplateTable(WINIBIO_STORAGE_CONTEXT& context);

// ---------------------------------------------------------------------------
// Identities
// ---------------------------------------------------------------------------

// How an identity is stored in a block and searched for in blocks and slots.
struct IdentitySearchKey {
    bool Wildcard = false;
    BYTE Kind = MOC_IDENTITY_KIND_SID; // MOC_IDENTITY_KIND_*
    BYTE Length = 0;                   // the block's identity length byte
    IdentityKey Key{};       // the block's key area; SHA-256 of a secure id in hashed mode
    DWORD CompareLength = 0; // leading key bytes that must be equal
};

// Largest SID that can be keyed: the key area holds 32 bytes.
constexpr DWORD kMaxKeyedSidSize = MOC_IDENTITY_KEY_SIZE;

// The search key of `identity`: E_INVALIDARG for a type other than 1 to 4, a
// wildcard without WINBIO_IDENTITY_WILDCARD, or a SID of size 0 or above
// kMaxKeyedSidSize (a size of 0 would match every block, a larger one overrun
// the key); WINBIO_E_CANCELED when the digest of a secure identity fails.
HRESULT MakeIdentitySearchKey(const WINIBIO_STORAGE_CONTEXT& context,
                              const WINBIO_IDENTITY& identity, IdentitySearchKey* key);

// The key of a block or a slot matches: always for the wildcard, else the
// leading CompareLength bytes are equal.
bool MatchesIdentity(const IdentitySearchKey& search, const IdentityKey& key);

// Traces the identity's type and dumps its value: a secure identity only as
// its SHA-256 (never the raw value, whatever the mode), a SID by its bytes, a
// GUID by its 16 packed bytes; nothing for another type.
void TraceIdentity(const WINIBIO_STORAGE_CONTEXT& context, const WINBIO_IDENTITY& identity);
