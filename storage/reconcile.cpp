#include "storage/reconcile.h"

#include <new>
#include <vector>
#include "common/trace.h"
#include "storage/database_file.h"
#include "storage/legacy_files.h"
#include "storage/record_block.h"

namespace {

// Why the content of an older file just loaded is refused. A file whose
// content its loader refuses (counts or offsets past its end, a file cut
// short, no header of ours) has lost records rather than held none. Loaded,
// what the reconciliation would refuse to judge (a malformed record of this
// host; bytes past the counted blocks of the block file that may be blocks
// a count lowered by hand hides, as BytesPastBlocksMayHoldBlocks tells) keeps
// the templates it describes from being told. Any other bytes there are the
// file's own, carried into the private file.
LegacyDamage DamageOf(const WINIBIO_STORAGE_CONTEXT& context, HRESULT loaded) {
    if (FAILED(loaded))
        return LegacyDamage::Refused;
    switch (ReconcileSkipOf(context)) {
    case ReconcileSkip::None:
        break;
    case ReconcileSkip::UncountedBytes:
        return LegacyDamage::UncountedBytes;
    case ReconcileSkip::MalformedHostBlock:
        return LegacyDamage::MalformedHostRecord;
    }
    return LegacyDamage::None;
}

// What the load of the older file at `path` gave; a file left out is traced.
LegacyFileOutcome OutcomeOf(const WINIBIO_STORAGE_CONTEXT& context, HRESULT loaded, bool unreadable,
                            const char* path) {
    LegacyFileOutcome outcome;
    if (unreadable) {
        MOC_TRACE_ERROR(kTraceGuidReconcile, 17, "legacy file %s not read", context.UnitLabel,
                        path);
        outcome.state = LegacyFileOutcome::State::Unreadable;
        return outcome;
    }
    outcome.damage = DamageOf(context, loaded);
    if (outcome.damage == LegacyDamage::None) {
        outcome.state = LegacyFileOutcome::State::Loaded;
        return outcome;
    }
    MOC_TRACE_ERROR(kTraceGuidReconcile, 22,
                    "legacy file %s is damaged (%u: 1 refused by its loader, 2 bytes past its "
                    "blocks, 3 a malformed record of this host)",
                    context.UnitLabel, path, static_cast<DWORD>(outcome.damage));
    outcome.state = LegacyFileOutcome::State::Damaged;
    return outcome;
}

// What a reconciliation of the lists with the table buffer would remove.
struct ReconcilePlan {
    std::vector<DWORD> CandidateSlots, OrphanSlots, CandidateBlocks, OrphanBlocks;
};

// Throws std::bad_alloc. `traceFound`: each candidate slot and block is traced
// as it is found.
void PlanReconcile(const WINIBIO_STORAGE_CONTEXT& context, bool traceFound, ReconcilePlan* plan) {
    const BlockList& searched = SearchedBlockList(context);
    for (DWORD slot = 0; slot < TableSlotCount(context); ++slot) {
        if (!IsHostSlot(context, slot))
            continue;
        if (traceFound)
            MOC_TRACE_INFO(kTraceGuidReconcile, 18, "host template in slot %u", context.UnitLabel,
                           slot);
        plan->CandidateSlots.push_back(slot);
    }
    for (size_t i = 0; i < BlockCount(searched); ++i) {
        if (!IsHostBlock(context, *BlockAt(searched, i)))
            continue;
        if (traceFound)
            MOC_TRACE_INFO(kTraceGuidReconcile, 19, "host block at offset %u", context.UnitLabel,
                           BlockOffset(i));
        plan->CandidateBlocks.push_back(BlockOffset(i));
    }
    TemplateIdentityIndex blocks; // each candidate block by its position among the candidates
    blocks.Reserve(plan->CandidateBlocks.size());
    for (size_t i = 0; i < plan->CandidateBlocks.size(); ++i) {
        const DatabaseRecordBlock& block =
            *BlockAt(searched, plan->CandidateBlocks[i] / MOC_DATABASE_BLOCK_SIZE);
        blocks.Add(TemplateIdentityOf(block), static_cast<DWORD>(i));
    }
    blocks.Sort();
    std::vector<bool> blockMatched(plan->CandidateBlocks.size(), false);
    // Every pair counts: one block may keep several slots, several blocks one slot.
    for (DWORD slot : plan->CandidateSlots) {
        auto described = blocks.Find(TemplateIdentityOf(SlotAt(context, slot)));
        if (described.first == described.second)
            plan->OrphanSlots.push_back(slot);
        for (auto entry = described.first; entry != described.second; ++entry)
            blockMatched[entry->Value] = true;
    }
    for (size_t i = 0; i < plan->CandidateBlocks.size(); ++i) {
        if (!blockMatched[i])
            plan->OrphanBlocks.push_back(plan->CandidateBlocks[i]);
    }
}

} // namespace

HRESULT MigrateLegacyDatabaseFiles(PWINIBIO_STORAGE_CONTEXT context, const DatabasePaths& paths,
                                   const LegacyFilesFound& found, LegacyMigration* migration) {
    if (context == nullptr || migration == nullptr)
        return E_POINTER;
    *migration = LegacyMigration{};
    MOC_TRACE_INFO(kTraceGuidReconcile, 10, "migrating the legacy files", context->UnitLabel);
    // From here the lists hold the older files' records, not the private file's,
    // and the kept copies can only be the block file's.
    context->ListsMayDifferFromFile = true;
    ReleaseKeptCopies(context);
    BlockSet recordSet, blockSet;
    try {
        if (found.RecordFile) {
            context->OwnedBlocks.clear();
            context->PlainBlocks.clear();
            bool unreadable = false;
            HRESULT hr = LoadLegacyDatabaseFile(context, paths.LegacyRecordFile, &unreadable);
            if (hr == S_OK)
                hr = ConvertLegacyRecords(context);
            if (hr == E_OUTOFMEMORY)
                return hr;
            migration->RecordFile = OutcomeOf(*context, hr, unreadable, paths.LegacyRecordFile);
            if (migration->RecordFile.state == LegacyFileOutcome::State::Loaded) {
                recordSet.Owned = context->OwnedBlocks;
                recordSet.Plain = context->PlainBlocks;
            }
        }
        if (found.BlockFile) {
            EmptyBlockLists(context);
            const DWORD keptHeaderSize = context->KeptHeaderSize;
            bool unreadable = false;
            HRESULT hr = LoadDatabaseFile(context, paths.LegacyBlockFile, &unreadable);
            if (hr == E_OUTOFMEMORY)
                return hr;
            migration->BlockFile = OutcomeOf(*context, hr, unreadable, paths.LegacyBlockFile);
            if (migration->BlockFile.state == LegacyFileOutcome::State::Loaded) {
                blockSet.Owned = context->OwnedBlocks;
                blockSet.Plain = context->PlainBlocks;
                blockSet.Other = context->OtherBlocks;
            } else {
                // A file left out gives no header or trailing bytes to a save either.
                ReleaseKeptCopies(context);
                context->KeptHeaderSize = keptHeaderSize;
            }
        }
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    if (!migration->Any(LegacyFileOutcome::State::Loaded)) {
        MOC_TRACE_ERROR(kTraceGuidReconcile, 11, "neither legacy file gave records",
                        context->UnitLabel);
        return S_OK;
    }
    HRESULT hr = MergeDatabaseRecords(context, recordSet, blockSet);
    migration->Merged = SUCCEEDED(hr);
    return hr;
}

HRESULT SlotsWithoutRecords(const WINIBIO_STORAGE_CONTEXT& context, std::vector<DWORD>* slots) {
    ReconcilePlan plan;
    try {
        PlanReconcile(context, false, &plan);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    slots->swap(plan.OrphanSlots);
    return S_OK;
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
    ReconcilePlan plan;
    try {
        PlanReconcile(*context, traceFound, &plan);
        if (context->OwnerIdMode != 0)
            MOC_TRACE_INFO(kTraceGuidReconcile, 12, "%u slots in use", context->UnitLabel,
                           UsedSlotCount(*context));
        MOC_TRACE_INFO(kTraceGuidReconcile, 13, "%u host templates, %u host blocks",
                       context->UnitLabel, static_cast<DWORD>(plan.CandidateSlots.size()),
                       static_cast<DWORD>(plan.CandidateBlocks.size()));
        for (DWORD slot : plan.OrphanSlots) {
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
        for (DWORD offset : plan.CandidateBlocks)
            MOC_TRACE_INFO(kTraceGuidReconcile, 20, "host block at offset %u", context->UnitLabel,
                           offset);
        for (DWORD offset : plan.OrphanBlocks)
            MOC_TRACE_INFO(kTraceGuidReconcile, 16,
                           "block at offset %u has no template: it is dropped", context->UnitLabel,
                           offset);
        RemoveBlocksAt(searched, plan.OrphanBlocks);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}
