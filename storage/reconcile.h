// The two procedures that opening and creating the database share: gathering
// the older files' records into one record set, and bringing the record set
// and the chip's template table into step.
#pragma once
#include <windows.h>
#include <winbio_adapter.h>
#include "storage/database_paths.h"
#include "storage/storage_context.h"

// Which of the two older files the caller found in the database folder.
struct LegacyFilesFound {
    bool RecordFile = false;
    bool BlockFile = false;
};

// Loads the legacy record file (converted into blocks) and the legacy block
// file, each when found, and leaves their merge in the context's lists; the
// block file's header and trailing bytes become the kept copies. `*merged` is
// false when neither file could be loaded (the lists then hold whatever the
// last read left). S_OK; E_OUTOFMEMORY; WINBIO_E_DATABASE_READ_ERROR, with
// nothing merged, when a file call failed on a found file or either file is
// damaged (the record file's content refused; the block file's header
// refused, or bytes past its counted blocks that may be blocks, as
// BytesPastBlocksMayHoldBlocks tells): a set without their records would make
// the reconciliation delete the templates they describe.
HRESULT MigrateLegacyDatabaseFiles(PWINIBIO_STORAGE_CONTEXT context, const DatabasePaths& paths,
                                   const LegacyFilesFound& found, bool* merged);

// The operation that reconciles: a create traces, in owner-id mode, each
// candidate slot and block as it is found as well.
enum class ReconcileFor { Open, Create };

// The table buffer holds the chip's table, read just before, and the lists the
// record set. Deletes every template slot of this host that no block of this
// host describes, in ascending order, then drops every block of this host that
// describes no slot. S_OK; S_FALSE, with nothing deleted or dropped, when the
// record set must not be reconciled (ReconcileSkipOf); or the
// MOC_E_DELETE_TEMPLATE value of the first failed deletion (the slots deleted
// before it stay deleted, the lists are unchanged).
HRESULT ReconcileDatabaseWithChip(PWINIBIO_STORAGE_CONTEXT context, ReconcileFor caller);
