// The two older files a migration reads from the database folder: the legacy
// record file (empty, too short, sectioned, counted or plain records) and the
// legacy block file (the private file's own format), merged into one record
// set. Input: byte 0 says which files exist (bit 0 the record file, bit 1 the
// block file), bytes 1-2 the record file's length (little-endian, cut to what
// is there), then the record file and, after it, the block file.
#include "storage/database_paths.h"
#include "storage/reconcile.h"
#include "storage/storage_context.h"
#include "support/fuzz_unit.h"

namespace {

DatabasePaths paths;
const moc_fuzz::GroundFile* recordFile = nullptr;
const moc_fuzz::GroundFile* blockFile = nullptr;

// Every list holds whole blocks of its own type only.
bool Typed(const BlockList& list, int type) {
    if (list.size() % MOC_DATABASE_BLOCK_SIZE != 0)
        return false;
    for (size_t at = 0; at < list.size(); at += MOC_DATABASE_BLOCK_SIZE) {
        const BYTE t = list[at];
        if (type >= 0 ? t != type : (t == MOC_BLOCK_TYPE_PLAIN || t == MOC_BLOCK_TYPE_OWNED))
            return false;
    }
    return true;
}

void Start(moc_fuzz::Unit&) {
    if (!MakeDatabasePaths(moc_fuzz::kDatabaseFilePath, &paths))
        moc_fuzz::Broken("database paths");
    static const moc_fuzz::GroundFile record(paths.LegacyRecordFile), block(paths.LegacyBlockFile);
    recordFile = &record;
    blockFile = &block;
}

void Run(moc_fuzz::Unit& unit, const uint8_t* data, size_t size) {
    using moc_fuzz::Expect;
    LegacyFilesFound found;
    found.RecordFile = (data[0] & 1) != 0;
    found.BlockFile = (data[0] & 2) != 0;
    size_t recordSize = data[1] | (size_t(data[2]) << 8);
    const uint8_t* files = data + 3;
    const size_t filesSize = size - 3;
    if (recordSize > filesSize)
        recordSize = filesSize;
    recordFile->Lay(files, recordSize);
    blockFile->Lay(files + recordSize, filesSize - recordSize);

    WINIBIO_STORAGE_CONTEXT& context = *unit.pipeline.StorageContext;
    EmptyBlockLists(&context);
    ReleaseKeptCopies(&context);
    LegacyMigration migration;
    HRESULT hr = MigrateLegacyDatabaseFiles(&context, paths, found, &migration);
    Expect(hr == S_OK, "a migration succeeds");
    // Only a file that was found can be loaded or refused, and a merge needs one loaded.
    Expect((found.RecordFile || migration.RecordFile.state == LegacyFileOutcome::State::NotFound) &&
               (found.BlockFile || migration.BlockFile.state == LegacyFileOutcome::State::NotFound),
           "a file that was not found is not judged");
    Expect(migration.Merged == migration.Any(LegacyFileOutcome::State::Loaded),
           "a merge of the files loaded");
    const bool merged = migration.Merged;
    if (merged) {
        Expect(Typed(context.OwnedBlocks, MOC_BLOCK_TYPE_OWNED), "owned list");
        Expect(Typed(context.PlainBlocks, MOC_BLOCK_TYPE_PLAIN), "plain list");
        Expect(Typed(context.OtherBlocks, -1), "other list");
    }
}

} // namespace

const moc_fuzz::Harness moc_fuzz::kHarness = {moc_fuzz::kStorage, 3, Start, Run};
