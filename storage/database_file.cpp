#include "storage/database_file.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>
#include "common/byte_order.h"
#include "common/trace.h"
#include "storage/record_block.h"
#include "storage/storage_context.h"
#include "common/whole_file.h"

namespace {

constexpr size_t kVersionOffset = offsetof(DatabaseFileHeader, Version);
constexpr size_t kBlockCountOffset = offsetof(DatabaseFileHeader, BlockCount);
constexpr size_t kHeaderSizeOffset = offsetof(DatabaseFileHeader, HeaderSize);

BlockList& ListOfType(WINIBIO_STORAGE_CONTEXT& context, BYTE type) {
    if (type == MOC_BLOCK_TYPE_OWNED)
        return context.OwnedBlocks;
    if (type == MOC_BLOCK_TYPE_PLAIN)
        return context.PlainBlocks;
    return context.OtherBlocks;
}

// Takes the parsed file into the context. Everything that can fail for want
// of memory happens before the first change, so a failure leaves the context
// as it was.
HRESULT TakeFile(WINIBIO_STORAGE_CONTEXT& context, const std::vector<BYTE>& file, DWORD headerSize,
                 DWORD blockCount) {
    const size_t blocksEnd = headerSize + size_t(blockCount) * MOC_DATABASE_BLOCK_SIZE;
    std::vector<BYTE> header, trailing;
    size_t owned = 0, plain = 0;
    try {
        header.assign(file.begin(), file.begin() + headerSize);
        trailing.assign(file.begin() + static_cast<std::ptrdiff_t>(blocksEnd), file.end());
        size_t other = 0;
        for (DWORD i = 0; i < blockCount; ++i) {
            BYTE type = file[headerSize + size_t(i) * MOC_DATABASE_BLOCK_SIZE];
            if (type == MOC_BLOCK_TYPE_OWNED)
                ++owned;
            else if (type == MOC_BLOCK_TYPE_PLAIN)
                ++plain;
            else
                ++other;
        }
        context.OwnedBlocks.reserve(context.OwnedBlocks.size() + owned * MOC_DATABASE_BLOCK_SIZE);
        context.PlainBlocks.reserve(context.PlainBlocks.size() + plain * MOC_DATABASE_BLOCK_SIZE);
        context.OtherBlocks.reserve(context.OtherBlocks.size() + other * MOC_DATABASE_BLOCK_SIZE);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    // From here on nothing allocates: the lists have their room.
    context.KeptHeaderSize = headerSize;
    context.KeptHeader.swap(header);
    context.KeptTrailing.swap(trailing);
    for (DWORD i = 0; i < blockCount; ++i) {
        const BYTE* block = file.data() + headerSize + size_t(i) * MOC_DATABASE_BLOCK_SIZE;
        BlockList& list = ListOfType(context, block[0]);
        list.insert(list.end(), block, block + MOC_DATABASE_BLOCK_SIZE);
    }
    MOC_TRACE_INFO(kTraceGuidDatabaseFile, 17, "blocks taken: %u owned, %u plain",
                   context.UnitLabel, static_cast<DWORD>(owned), static_cast<DWORD>(plain));
    return S_OK;
}

} // namespace

DatabaseFileLayout CheckDatabaseFileLayout(const std::vector<BYTE>& file, DWORD magic,
                                           DWORD* headerSize, DWORD* blockCount) {
    *headerSize = 0;
    *blockCount = 0;
    if (file.size() < MOC_DATABASE_MIN_FILE_SIZE || ReadLe32(file.data()) != magic)
        return DatabaseFileLayout::NoHeader;
    *headerSize = ReadLe16(file.data() + kHeaderSizeOffset);
    *blockCount = ReadLe16(file.data() + kBlockCountOffset);
    if (*headerSize > file.size())
        return DatabaseFileLayout::HeaderPastEnd;
    const ULONGLONG blocksEnd =
        ULONGLONG(*headerSize) + ULONGLONG(*blockCount) * MOC_DATABASE_BLOCK_SIZE;
    return blocksEnd > file.size() ? DatabaseFileLayout::BlocksPastEnd : DatabaseFileLayout::Fits;
}

HRESULT ReadContextFile(PWINIBIO_STORAGE_CONTEXT context, const char* path, const GUID& unit,
                        std::vector<BYTE>* file, bool* unreadable) {
    if (unreadable != nullptr)
        *unreadable = false;
    if (context == nullptr || path == nullptr)
        return E_POINTER;
    HRESULT hr = LoadWholeFile(path, file, unreadable);
    if (FAILED(hr))
        MOC_TRACE_ERROR(unit, 11, "%s not read: %!HRESULT!", context->UnitLabel, path, hr);
    return hr;
}

HRESULT LoadDatabaseFile(PWINIBIO_STORAGE_CONTEXT context, const char* path, bool* unreadable) {
    std::vector<BYTE> file;
    HRESULT hr = ReadContextFile(context, path, kTraceGuidDatabaseFile, &file, unreadable);
    if (FAILED(hr))
        return hr;
    DWORD headerSize = 0, blockCount = 0;
    const DatabaseFileLayout layout =
        CheckDatabaseFileLayout(file, context->DatabaseMagic, &headerSize, &blockCount);
    // A file that is there but holds no header of ours (zeroed, emptied,
    // overwritten) has lost its records, not held none: taken for an empty
    // set, it would have every template it described deleted from the chip.
    if (layout == DatabaseFileLayout::NoHeader) {
        MOC_TRACE_ERROR(kTraceGuidDatabaseFile, 13,
                        "%llu bytes hold no database header of this chip: refused as damaged",
                        context->UnitLabel, static_cast<ULONGLONG>(file.size()));
        return WINBIO_E_DATABASE_CORRUPTED;
    }
    MOC_TRACE_INFO(kTraceGuidDatabaseFile, 14, "database file version %u, header of %u bytes",
                   context->UnitLabel, file[kVersionOffset], headerSize);
    if (layout == DatabaseFileLayout::HeaderPastEnd) {
        MOC_TRACE_INFO(kTraceGuidDatabaseFile, 15, "header size runs past the file",
                       context->UnitLabel);
        context->KeptHeaderSize = MOC_DATABASE_HEADER_SIZE;
        return WINBIO_E_DATABASE_CORRUPTED;
    }
    // Loading the blocks that fit and saving them back would drop the rest for good.
    if (layout == DatabaseFileLayout::BlocksPastEnd) {
        MOC_TRACE_ERROR(kTraceGuidDatabaseFile, 16, "%u blocks run past the file of %llu bytes",
                        context->UnitLabel, blockCount, static_cast<ULONGLONG>(file.size()));
        context->KeptHeaderSize = MOC_DATABASE_HEADER_SIZE;
        return WINBIO_E_DATABASE_CORRUPTED;
    }
    hr = TakeFile(*context, file, headerSize, blockCount);
    MOC_TRACE_INFO(kTraceGuidDatabaseFile, 18, "database file loaded: %!HRESULT!",
                   context->UnitLabel, hr);
    return hr;
}

HRESULT ReloadDatabaseFile(PWINIBIO_STORAGE_CONTEXT context) {
    if (context == nullptr)
        return E_POINTER;
    EmptyBlockLists(context);
    HRESULT hr = LoadDatabaseFile(context, context->PrivateFilePath);
    // Emptied for a load that failed, the lists no longer show the file.
    context->ListsMayDifferFromFile = FAILED(hr);
    return hr;
}

HRESULT SaveDatabaseFile(PWINIBIO_STORAGE_CONTEXT context) {
    if (context == nullptr)
        return E_POINTER;
    const BlockList* lists[] = {&context->PlainBlocks, &context->OwnedBlocks,
                                &context->OtherBlocks};
    size_t total = 0;
    for (const BlockList* list : lists)
        total += BlockCount(*list);

    HRESULT hr = S_OK;
    if (total > MOC_DATABASE_MAX_BLOCK_COUNT) {
        // The count would not fit its field, and the file would read back wrong.
        MOC_TRACE_ERROR(kTraceGuidDatabaseFile, 20, "%llu blocks do not fit the file's count",
                        context->UnitLabel, static_cast<ULONGLONG>(total));
        hr = WINBIO_E_DATABASE_CORRUPTED;
    }
    const DWORD headerSize = std::max<DWORD>(context->KeptHeaderSize, MOC_DATABASE_HEADER_SIZE);
    context->KeptHeaderSize = headerSize;
    MOC_TRACE_ERROR(kTraceGuidDatabaseFile, 21, "saving with a kept header of %u bytes",
                    context->UnitLabel, static_cast<DWORD>(context->KeptHeader.size()));

    std::vector<BYTE> image;
    if (SUCCEEDED(hr)) {
        try {
            image.assign(
                headerSize + total * MOC_DATABASE_BLOCK_SIZE + context->KeptTrailing.size(), 0);
        } catch (const std::bad_alloc&) {
            hr = E_OUTOFMEMORY;
        }
    }
    if (SUCCEEDED(hr)) {
        std::copy_n(context->KeptHeader.begin(),
                    std::min<size_t>(context->KeptHeader.size(), headerSize), image.begin());
        // The fields before the counters are this save's; the rest comes from the kept copy.
        DatabaseFileHeader fields{};
        fields.Magic = context->DatabaseMagic;
        fields.Version = MOC_DATABASE_FILE_VERSION;
        fields.BlockCount = static_cast<USHORT>(total);
        fields.HeaderSize = static_cast<USHORT>(headerSize);
        std::memcpy(image.data(), &fields, offsetof(DatabaseFileHeader, Statistics));
        size_t at = headerSize;
        for (const BlockList* list : lists) {
            size_t bytes = BlockCount(*list) * MOC_DATABASE_BLOCK_SIZE;
            std::copy_n(list->begin(), bytes, image.begin() + static_cast<std::ptrdiff_t>(at));
            at += bytes;
        }
        std::copy(context->KeptTrailing.begin(), context->KeptTrailing.end(),
                  image.begin() + static_cast<std::ptrdiff_t>(at));

        DWORD error = ReplaceWholeFile(context->PrivateFilePath, image.data(), image.size());
        if (error != 0) {
            MOC_TRACE_INFO(kTraceGuidDatabaseFile, 22,
                           "database file %s not rewritten: %!WINERROR!", context->UnitLabel,
                           context->PrivateFilePath, error);
            hr = WINBIO_E_DATABASE_CORRUPTED;
        }
    }
    ReleaseKeptCopies(context);
    context->ListsMayDifferFromFile = FAILED(hr);
    MOC_TRACE_INFO(kTraceGuidDatabaseFile, 23, "database file saved: %!HRESULT!", hr);
    return hr;
}

void ReleaseKeptCopies(PWINIBIO_STORAGE_CONTEXT context) {
    if (context == nullptr)
        return;
    std::vector<BYTE>().swap(context->KeptHeader);
    std::vector<BYTE>().swap(context->KeptTrailing);
}
