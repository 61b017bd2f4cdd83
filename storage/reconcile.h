// The two procedures that opening and creating the database share: gathering
// the older files' records into one record set, and bringing the record set
// and the chip's template table into step.
#pragma once
#include <windows.h>
#include <winbio_adapter.h>
#include <vector>
#include "storage/database_paths.h"
#include "storage/storage_context.h"

// Which of the two older files the caller found in the database folder.
struct LegacyFilesFound {
    bool RecordFile = false;
    bool BlockFile = false;
};

// What is wrong with an older file whose content the migration refuses. The
// numbers are the ones the migration and the create trace.
enum class LegacyDamage : DWORD {
    None = 0,
    // the loader refuses it: a record file cut short or counting records it
    // does not hold, a block file without a sound header or whose blocks run
    // past its end
    Refused = 1,
    // bytes past its counted blocks that may be blocks (BytesPastBlocksMayHoldBlocks)
    UncountedBytes = 2,
    MalformedHostRecord = 3, // a record of this host is malformed (IsMalformedBlock)
};

// What one older file gave a migration.
struct LegacyFileOutcome {
    enum class State {
        NotFound,
        Loaded,     // its records (maybe none) are in the merge
        Damaged,    // its content is refused (`damage` says how); left out of the merge
        Unreadable, // a file call failed on it, a state that may pass; left out of the merge
    };
    State state = State::NotFound;
    LegacyDamage damage = LegacyDamage::None;
};

struct LegacyMigration {
    LegacyFileOutcome RecordFile;
    LegacyFileOutcome BlockFile;
    // Some file was loaded: the lists hold the merge of the files loaded.
    bool Merged = false;
    bool Any(LegacyFileOutcome::State state) const {
        return RecordFile.state == state || BlockFile.state == state;
    }
};

// Loads the legacy record file (converted into blocks) and the legacy block
// file, each when found, tells what each gave, and leaves the merge of those
// that were loaded in the context's lists; a loaded block file's header and
// trailing bytes become the kept copies. A file that is damaged or cannot be
// read is left out: a set without its records would make the reconciliation
// delete the templates they describe, so the caller decides what may go on
// without it. Without a merge the lists hold whatever the last read left.
// S_OK, or E_OUTOFMEMORY.
HRESULT MigrateLegacyDatabaseFiles(PWINIBIO_STORAGE_CONTEXT context, const DatabasePaths& paths,
                                   const LegacyFilesFound& found, LegacyMigration* migration);

// The operation that reconciles: a create traces, in owner-id mode, each
// candidate slot and block as it is found as well.
enum class ReconcileFor { Open, Create };

// The template slots a reconciliation of the record set in the lists with the
// table buffer would delete: this host's slots that no block of this host
// describes, ascending. With empty lists, every slot of this host, as a reset
// deletes them. The caller has read the table (and may judge the host's
// blocks). S_OK, or E_OUTOFMEMORY.
HRESULT SlotsWithoutRecords(const WINIBIO_STORAGE_CONTEXT& context, std::vector<DWORD>* slots);

// The table buffer holds the chip's table, read just before, and the lists the
// record set. Deletes every template slot of this host that no block of this
// host describes, in ascending order, then drops every block of this host that
// describes no slot. S_OK; S_FALSE, with nothing deleted or dropped, when the
// record set must not be reconciled (ReconcileSkipOf); or the
// MOC_E_DELETE_TEMPLATE value of the first failed deletion (the slots deleted
// before it stay deleted, the lists are unchanged).
HRESULT ReconcileDatabaseWithChip(PWINIBIO_STORAGE_CONTEXT context, ReconcileFor caller);
