#include "storage/reconcile.h"

#include <new>
#include <vector>
#include "common/trace.h"
#include "storage/database_file.h"
#include "storage/legacy_files.h"
#include "storage/record_block.h"

namespace {

HRESULT UnreadLegacyFile(const WINIBIO_STORAGE_CONTEXT& context, const char* path) {
    MOC_TRACE_ERROR(kTraceGuidReconcile, 17, "legacy file %s not read", context.UnitLabel, path);
    return WINBIO_E_DATABASE_READ_ERROR;
}

// A legacy file whose content its loader refuses (counts or offsets past its
// end, a file cut short, no header of ours) has lost records rather than held
// none: migrating without them would delete their templates. The block file
// has the private file's format, and one more such damage: bytes past its
// counted blocks that may be blocks a count lowered by hand hides. Any other
// bytes there are the file's own, carried into the private file.
bool DamagedLegacyFile(const WINIBIO_STORAGE_CONTEXT& context, HRESULT loaded, bool blockFile,
                       const char* path) {
    const bool damaged =
        loaded == WINBIO_E_DATABASE_CORRUPTED ||
        (blockFile && loaded == S_OK && ReconcileSkipOf(context) == ReconcileSkip::UncountedBytes);
    if (damaged)
        MOC_TRACE_ERROR(kTraceGuidReconcile, 22, "legacy file %s is damaged", context.UnitLabel,
                        path);
    return damaged;
}

} // namespace

HRESULT MigrateLegacyDatabaseFiles(PWINIBIO_STORAGE_CONTEXT context, const DatabasePaths& paths,
                                   const LegacyFilesFound& found, bool* merged) {
    if (context == nullptr || merged == nullptr)
        return E_POINTER;
    *merged = false;
    MOC_TRACE_INFO(kTraceGuidReconcile, 10, "migrating the legacy files", context->UnitLabel);
    // From here the lists hold the older files' records, not the private file's.
    context->ListsMayDifferFromFile = true;
    BlockSet recordSet, blockSet;
    bool recordLoaded = false, blockLoaded = false;
    try {
        if (found.RecordFile) {
            context->OwnedBlocks.clear();
            context->PlainBlocks.clear();
            bool unreadable = false;
            HRESULT hr = LoadLegacyDatabaseFile(context, paths.LegacyRecordFile, &unreadable);
            if (unreadable || DamagedLegacyFile(*context, hr, false, paths.LegacyRecordFile))
                return UnreadLegacyFile(*context, paths.LegacyRecordFile);
            if (hr == S_OK)
                hr = ConvertLegacyRecords(context);
            if (hr == E_OUTOFMEMORY)
                return hr;
            if (hr == S_OK) {
                recordSet.Owned = context->OwnedBlocks;
                recordSet.Plain = context->PlainBlocks;
                recordLoaded = true;
            }
        }
        if (found.BlockFile) {
            EmptyBlockLists(context);
            bool unreadable = false;
            HRESULT hr = LoadDatabaseFile(context, paths.LegacyBlockFile, &unreadable);
            if (unreadable || DamagedLegacyFile(*context, hr, true, paths.LegacyBlockFile))
                return UnreadLegacyFile(*context, paths.LegacyBlockFile);
            if (hr == E_OUTOFMEMORY)
                return hr;
            if (hr == S_OK) {
                blockSet.Owned = context->OwnedBlocks;
                blockSet.Plain = context->PlainBlocks;
                blockSet.Other = context->OtherBlocks;
                blockLoaded = true;
            }
        }
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    if (!recordLoaded && !blockLoaded) {
        MOC_TRACE_ERROR(kTraceGuidReconcile, 11, "neither legacy file gave records",
                        context->UnitLabel);
        return S_OK;
    }
    HRESULT hr = MergeDatabaseRecords(context, recordSet, blockSet);
    *merged = SUCCEEDED(hr);
    return hr;
}

HRESULT ReconcileDatabaseWithChip(PWINIBIO_STORAGE_CONTEXT context, ReconcileFor caller) {
    if (context == nullptr)
        return E_POINTER;
    const bool traceFound = caller == ReconcileFor::Create && context->OwnerIdMode != 0;
    BlockList& searched = SearchedBlockList(*context);
    const ReconcileSkip skip = ReconcileSkipOf(*context);
    if (skip != ReconcileSkip::None) {
        MOC_TRACE_ERROR(
            kTraceGuidReconcile, 21,
            "nothing is reconciled, for reason %u (1 bytes past the counted blocks, 2 a "
            "damaged record of this host)",
            context->UnitLabel, static_cast<DWORD>(skip));
        return S_FALSE;
    }
    std::vector<DWORD> candidateSlots, orphanSlots, candidateBlocks, orphanBlocks;
    std::vector<bool> blockMatched;
    TemplateIdentityIndex blocks; // each candidate block by its position among the candidates
    try {
        for (DWORD slot = 0; slot < TableSlotCount(*context); ++slot) {
            if (!IsHostSlot(*context, slot))
                continue;
            if (traceFound)
                MOC_TRACE_INFO(kTraceGuidReconcile, 18, "host template in slot %u",
                               context->UnitLabel, slot);
            candidateSlots.push_back(slot);
        }
        for (size_t i = 0; i < BlockCount(searched); ++i) {
            if (!IsHostBlock(*context, *BlockAt(searched, i)))
                continue;
            if (traceFound)
                MOC_TRACE_INFO(kTraceGuidReconcile, 19, "host block at offset %u",
                               context->UnitLabel, BlockOffset(i));
            candidateBlocks.push_back(BlockOffset(i));
        }
        blocks.Reserve(candidateBlocks.size());
        for (size_t i = 0; i < candidateBlocks.size(); ++i) {
            const DatabaseRecordBlock& block =
                *BlockAt(searched, candidateBlocks[i] / MOC_DATABASE_BLOCK_SIZE);
            blocks.Add(TemplateIdentityOf(block), static_cast<DWORD>(i));
        }
        blocks.Sort();
        blockMatched.assign(candidateBlocks.size(), false);
        if (context->OwnerIdMode != 0)
            MOC_TRACE_INFO(kTraceGuidReconcile, 12, "%u slots in use", context->UnitLabel,
                           UsedSlotCount(*context));
        MOC_TRACE_INFO(kTraceGuidReconcile, 13, "%u host templates, %u host blocks",
                       context->UnitLabel, static_cast<DWORD>(candidateSlots.size()),
                       static_cast<DWORD>(candidateBlocks.size()));
        // Every pair counts: one block may keep several slots, several blocks one slot.
        for (DWORD slot : candidateSlots) {
            auto described = blocks.Find(TemplateIdentityOf(SlotAt(*context, slot)));
            if (described.first == described.second)
                orphanSlots.push_back(slot);
            for (auto entry = described.first; entry != described.second; ++entry)
                blockMatched[entry->Value] = true;
        }
        for (size_t i = 0; i < candidateBlocks.size(); ++i) {
            if (!blockMatched[i])
                orphanBlocks.push_back(candidateBlocks[i]);
        }
        for (DWORD slot : orphanSlots) {
            MOC_TRACE_INFO(kTraceGuidReconcile, 14,
                           "slot %u has no record: its template is deleted", context->UnitLabel,
                           slot);
            HRESULT hr = MocDeleteTemplate(context->Device, static_cast<BYTE>(slot));
            if (FAILED(hr)) {
                MOC_TRACE_ERROR(kTraceGuidReconcile, 15, "template not deleted: %!HRESULT!",
                                context->UnitLabel, hr);
                return hr;
            }
        }
        for (DWORD offset : candidateBlocks)
            MOC_TRACE_INFO(kTraceGuidReconcile, 20, "host block at offset %u", context->UnitLabel,
                           offset);
        for (DWORD offset : orphanBlocks)
            MOC_TRACE_INFO(kTraceGuidReconcile, 16,
                           "block at offset %u has no template: it is dropped", context->UnitLabel,
                           offset);
        RemoveBlocksAt(searched, orphanBlocks);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}
