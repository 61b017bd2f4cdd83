// The private database file as it lies on disk, from anyone who could write
// the folder: loaded, saved back and loaded again. A load that succeeds must
// survive its own save: the second load sees the same blocks, type by type,
// and the same trailing bytes.
#include <cstring>
#include "storage/database_file.h"
#include "storage/storage_context.h"
#include "support/fuzz_unit.h"

namespace {

DWORD attachedHeaderSize = 0;

struct Loaded {
    BlockList plain, owned, other;
    std::vector<BYTE> trailing;
};

Loaded Snapshot(const WINIBIO_STORAGE_CONTEXT& context) {
    return {context.PlainBlocks, context.OwnedBlocks, context.OtherBlocks, context.KeptTrailing};
}

bool Same(const Loaded& a, const Loaded& b) {
    return a.plain == b.plain && a.owned == b.owned && a.other == b.other &&
           a.trailing == b.trailing;
}

void Start(moc_fuzz::Unit& unit) {
    std::strcpy(unit.pipeline.StorageContext->PrivateFilePath, moc_fuzz::kPrivateFilePath);
    attachedHeaderSize = unit.pipeline.StorageContext->KeptHeaderSize;
}

void Run(moc_fuzz::Unit& unit, const uint8_t* data, size_t size) {
    using moc_fuzz::Expect;
    WINIBIO_STORAGE_CONTEXT& context = *unit.pipeline.StorageContext;
    moc_fuzz::PrivateFile().Lay(data, size);
    EmptyBlockLists(&context);
    ReleaseKeptCopies(&context);
    context.KeptHeaderSize = attachedHeaderSize;

    HRESULT hr = LoadDatabaseFile(&context, moc_fuzz::kPrivateFilePath);
    if (hr != S_OK) {
        Expect(hr == WINBIO_E_DATABASE_CORRUPTED, "a failed load reports the file corrupted");
        Expect(context.PlainBlocks.empty() && context.OwnedBlocks.empty() &&
                   context.OtherBlocks.empty(),
               "a failed load leaves the lists as they were");
        return;
    }
    for (const BlockList* list : {&context.PlainBlocks, &context.OwnedBlocks, &context.OtherBlocks})
        Expect(list->size() % MOC_DATABASE_BLOCK_SIZE == 0, "whole blocks only");
    const Loaded first = Snapshot(context);

    Expect(SaveDatabaseFile(&context) == S_OK, "a loaded file saves");
    Expect(context.KeptHeader.empty() && context.KeptTrailing.empty(),
           "a save releases the kept copies");
    EmptyBlockLists(&context);
    Expect(LoadDatabaseFile(&context, moc_fuzz::kPrivateFilePath) == S_OK, "a saved file loads");
    Expect(Same(first, Snapshot(context)), "the second load sees the blocks of the first");
}

} // namespace

const moc_fuzz::Harness moc_fuzz::kHarness = {moc_fuzz::kStorage, 0, Start, Run};
