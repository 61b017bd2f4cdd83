#include "storage/legacy_files.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>
#include "common/byte_order.h"
#include "common/trace.h"
#include "storage/database_file.h"
#include "storage/record_block.h"

namespace {

constexpr size_t kEmptyFileSize = 2; // a record count with no records
constexpr size_t kMinLayoutSize = 7; // the sectioned header: magic, 1 byte, section count
constexpr size_t kSectionCountOffset = 5;
constexpr size_t kSectionDescriptorSize = 7;
constexpr size_t kCountedRecordsOffset = 2;

// Records read from the file, not yet in the context.
struct LegacyRecords {
    BlockList Owned; // 157-byte records back to back
    BlockList Plain; // 124-byte records back to back
};

void Take(BlockList& into, const std::vector<BYTE>& file, size_t offset, size_t bytes) {
    into.insert(into.end(), file.begin() + static_cast<std::ptrdiff_t>(offset),
                file.begin() + static_cast<std::ptrdiff_t>(offset + bytes));
}

// Every count and offset is tested against the file before any record is
// taken, so a file that lies about itself is refused whole. Sections may name
// the same bytes again and again, so their sum is bounded too: a file of a few
// megabytes could otherwise ask for gigabytes, while no database file holds
// more blocks than its block count can say.
bool ReadSectioned(const WINIBIO_STORAGE_CONTEXT& context, const std::vector<BYTE>& file,
                   LegacyRecords* records) {
    const size_t sections = ReadLe16(file.data() + kSectionCountOffset);
    if (kMinLayoutSize + sections * kSectionDescriptorSize > file.size())
        return false;
    size_t total = 0;
    for (int pass = 0; pass < 2; ++pass) {
        for (size_t i = 0; i < sections; ++i) {
            const BYTE* d = file.data() + kMinLayoutSize + i * kSectionDescriptorSize;
            const BYTE type = d[0];
            const size_t count = ReadLe16(d + 1);
            const size_t offset = ReadLe16(d + 4);
            size_t size = type == MOC_BLOCK_TYPE_PLAIN   ? MOC_LEGACY_RECORD_SIZE_PLAIN
                          : type == MOC_BLOCK_TYPE_OWNED ? MOC_LEGACY_RECORD_SIZE_OWNED
                                                         : 0;
            if (size == 0)
                continue; // a section of another type is not ours to read
            if (pass == 0) {
                total += count;
                if (offset + count * size > file.size() || total > MOC_DATABASE_MAX_BLOCK_COUNT)
                    return false;
                continue;
            }
            Take(type == MOC_BLOCK_TYPE_PLAIN ? records->Plain : records->Owned, file, offset,
                 count * size);
            MOC_TRACE_INFO(kTraceGuidLegacyDatabase, 13, "section of %u records taken",
                           context.UnitLabel, static_cast<DWORD>(count));
        }
    }
    return true;
}

bool ReadCounted(const std::vector<BYTE>& file, LegacyRecords* records) {
    const size_t count = ReadLe16(file.data());
    if (count * MOC_LEGACY_RECORD_SIZE_OWNED > file.size() - kCountedRecordsOffset)
        return false;
    Take(records->Owned, file, kCountedRecordsOffset, count * MOC_LEGACY_RECORD_SIZE_OWNED);
    return true;
}

void ReadPlain(const std::vector<BYTE>& file, LegacyRecords* records) {
    for (size_t at = 0; at + MOC_LEGACY_RECORD_SIZE_PLAIN <= file.size();
         at += MOC_LEGACY_RECORD_SIZE_PLAIN) {
        if (file[at] == 1) // the valid byte
            Take(records->Plain, file, at, MOC_LEGACY_RECORD_SIZE_PLAIN);
    }
}

// The blocks of `records` (bare records of `recordSize` bytes) as blocks of
// `type`. Some layouts take records whatever their valid byte, erased ones
// (0xFF throughout) among them: a record not in use whose block would be
// malformed describes no template, and written into the private file it
// would stop every later reconciliation, so it is left out.
BlockList BlocksOfRecords(const WINIBIO_STORAGE_CONTEXT& context, const BlockList& records,
                          size_t recordSize, BYTE type) {
    const size_t count = records.size() / recordSize;
    BlockList blocks(count * MOC_DATABASE_BLOCK_SIZE, 0);
    size_t kept = 0;
    for (size_t i = 0; i < count; ++i) {
        DatabaseRecordBlock* block = BlockAt(blocks, kept);
        block->BlockType = type;
        block->RecordLength = static_cast<BYTE>(recordSize);
        std::memcpy(reinterpret_cast<BYTE*>(block) + MOC_BLOCK_RECORD_OFFSET,
                    records.data() + i * recordSize, recordSize);
        if (block->Valid != 1 && IsMalformedBlock(*block)) {
            MOC_TRACE_INFO(kTraceGuidLegacyDatabase, 19,
                           "legacy record %llu of type 0x%02X is erased: left out",
                           context.UnitLabel, static_cast<ULONGLONG>(i), type);
            continue; // the next record takes its place
        }
        ++kept;
    }
    blocks.resize(kept * MOC_DATABASE_BLOCK_SIZE);
    return blocks;
}

bool HoldsBlock(const BlockList& list, const BYTE* block) {
    for (size_t i = 0; i < BlockCount(list); ++i) {
        if (std::memcmp(BlockAt(list, i), block, MOC_DATABASE_BLOCK_SIZE) == 0)
            return true;
    }
    return false;
}

} // namespace

HRESULT LoadLegacyDatabaseFile(PWINIBIO_STORAGE_CONTEXT context, const char* path,
                               bool* unreadable) {
    std::vector<BYTE> file;
    HRESULT hr = ReadContextFile(context, path, kTraceGuidLegacyDatabase, &file, unreadable);
    if (FAILED(hr))
        return hr;

    LegacyRecords records;
    bool consistent = true;
    try {
        if (file.size() == kEmptyFileSize && ReadLe16(file.data()) == 0) {
            MOC_TRACE_INFO(kTraceGuidLegacyDatabase, 12,
                           "legacy layout %u (0 empty, 1 sectioned, 2 counted, 3 plain)",
                           context->UnitLabel, 0);
        } else if (file.size() < kMinLayoutSize) {
            // No layout is this short but a count of no records: a file cut
            // short, or one that counts records it does not hold, has lost
            // them, and taking it for an empty one would delete their templates.
            consistent = false;
        } else if (ReadLe32(file.data()) == context->DatabaseMagic) {
            MOC_TRACE_INFO(kTraceGuidLegacyDatabase, 12,
                           "legacy layout %u (0 empty, 1 sectioned, 2 counted, 3 plain)",
                           context->UnitLabel, 1);
            consistent = ReadSectioned(*context, file, &records);
        } else if ((file.size() - kCountedRecordsOffset) % MOC_LEGACY_RECORD_SIZE_OWNED == 0) {
            MOC_TRACE_INFO(kTraceGuidLegacyDatabase, 12,
                           "legacy layout %u (0 empty, 1 sectioned, 2 counted, 3 plain)",
                           context->UnitLabel, 2);
            consistent = ReadCounted(file, &records);
        } else {
            MOC_TRACE_INFO(kTraceGuidLegacyDatabase, 12,
                           "legacy layout %u (0 empty, 1 sectioned, 2 counted, 3 plain)",
                           context->UnitLabel, 3);
            ReadPlain(file, &records);
        }
        if (!consistent) {
            // Taking the records that fit would lose the others at the next save.
            MOC_TRACE_ERROR(kTraceGuidLegacyDatabase, 14,
                            "legacy file of %llu bytes is inconsistent", context->UnitLabel,
                            static_cast<ULONGLONG>(file.size()));
            return WINBIO_E_DATABASE_CORRUPTED;
        }
        context->OwnedBlocks.reserve(context->OwnedBlocks.size() + records.Owned.size());
        context->PlainBlocks.reserve(context->PlainBlocks.size() + records.Plain.size());
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    context->OwnedBlocks.insert(context->OwnedBlocks.end(), records.Owned.begin(),
                                records.Owned.end());
    context->PlainBlocks.insert(context->PlainBlocks.end(), records.Plain.begin(),
                                records.Plain.end());
    MOC_TRACE_INFO(kTraceGuidLegacyDatabase, 15, "legacy records taken: %u owned, %u plain",
                   context->UnitLabel,
                   static_cast<DWORD>(records.Owned.size() / MOC_LEGACY_RECORD_SIZE_OWNED),
                   static_cast<DWORD>(records.Plain.size() / MOC_LEGACY_RECORD_SIZE_PLAIN));
    return S_OK;
}

HRESULT ConvertLegacyRecords(PWINIBIO_STORAGE_CONTEXT context) {
    if (context == nullptr)
        return E_POINTER;
    MOC_TRACE_INFO(kTraceGuidLegacyDatabase, 16, "converting %u owned and %u plain legacy records",
                   context->UnitLabel,
                   static_cast<DWORD>(context->OwnedBlocks.size() / MOC_LEGACY_RECORD_SIZE_OWNED),
                   static_cast<DWORD>(context->PlainBlocks.size() / MOC_LEGACY_RECORD_SIZE_PLAIN));
    BlockList owned, plain;
    try {
        owned = BlocksOfRecords(*context, context->OwnedBlocks, MOC_LEGACY_RECORD_SIZE_OWNED,
                                MOC_BLOCK_TYPE_OWNED);
        plain = BlocksOfRecords(*context, context->PlainBlocks, MOC_LEGACY_RECORD_SIZE_PLAIN,
                                MOC_BLOCK_TYPE_PLAIN);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    context->OwnedBlocks.swap(owned);
    context->PlainBlocks.swap(plain);
    MOC_TRACE_INFO(kTraceGuidLegacyDatabase, 17,
                   "converted to %u owned and %u plain blocks: %!HRESULT!", context->UnitLabel,
                   static_cast<DWORD>(BlockCount(context->OwnedBlocks)),
                   static_cast<DWORD>(BlockCount(context->PlainBlocks)), S_OK);
    return S_OK;
}

HRESULT MergeDatabaseRecords(PWINIBIO_STORAGE_CONTEXT context, const BlockSet& first,
                             BlockSet& second) {
    if (context == nullptr)
        return E_POINTER;
    // A merge is no file's content, and its callers have taken the lists apart for it.
    context->ListsMayDifferFromFile = true;
    const BlockList* firstLists[] = {&first.Owned, &first.Plain, &first.Other};
    BlockList* secondLists[] = {&second.Owned, &second.Plain, &second.Other};
    BlockList merged[3], kept[3];
    try {
        for (int t = 0; t < 3; ++t) {
            const BlockList& a = *firstLists[t];
            const BlockList& b = *secondLists[t];
            merged[t].reserve(a.size() + b.size());
            merged[t].assign(a.begin(), a.begin() + BlockCount(a) * MOC_DATABASE_BLOCK_SIZE);
            for (size_t i = 0; i < BlockCount(b); ++i) {
                const BYTE* block = reinterpret_cast<const BYTE*>(BlockAt(b, i));
                if (HoldsBlock(a, block))
                    continue;
                kept[t].insert(kept[t].end(), block, block + MOC_DATABASE_BLOCK_SIZE);
                merged[t].insert(merged[t].end(), block, block + MOC_DATABASE_BLOCK_SIZE);
            }
        }
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    BlockList* contextLists[] = {&context->OwnedBlocks, &context->PlainBlocks,
                                 &context->OtherBlocks};
    for (int t = 0; t < 3; ++t) {
        contextLists[t]->swap(merged[t]);
        secondLists[t]->swap(kept[t]);
        MOC_TRACE_INFO(kTraceGuidLegacyDatabase, 18, "merged list of %u blocks", context->UnitLabel,
                       static_cast<DWORD>(BlockCount(*contextLists[t])));
    }
    return S_OK;
}
