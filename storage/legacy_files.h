// The two older files that may still hold this host's records: the legacy
// record file of bare records in one of its layouts, and the legacy block
// file, which has the private file's own format. Their records are converted
// into blocks and merged into one record set during a migration.
#pragma once
#include <windows.h>
#include <winbio_adapter.h>
#include "storage/storage_context.h"

constexpr char LegacyRecordFile[] = "90508806-8172-4C04-B03F-DCB28DBEA104.DAT";
constexpr char LegacyBlockFile[] = "6854BC36-3957-4783-880B-563B476816E4.DAT";

// Reads the legacy record file at `path` and appends its bare records to the
// owned list (157-byte records) and the plain list (124-byte records); the
// caller empties both first. The layout is told by length and content: 2
// bytes of a count of 0 (empty), the database magic (sectioned), length - 2 a
// multiple of 157 (counted), else plain 124-byte records of which only those
// marked valid are taken. S_OK, also when nothing was loaded from a file that
// opened; WINBIO_E_DATABASE_CORRUPTED when the file cannot be read whole, is
// shorter than every layout but the empty one (or 2 bytes of another count),
// its counts or offsets reach past its end or its sections hold more records
// than MOC_DATABASE_MAX_BLOCK_COUNT (nothing is appended then);
// E_OUTOFMEMORY. `unreadable`, when given, tells whether the failure was a
// file call that failed (see LoadWholeFile).
HRESULT LoadLegacyDatabaseFile(PWINIBIO_STORAGE_CONTEXT context, const char* path,
                               bool* unreadable = nullptr);

// Turns the bare records of the owned and plain lists into blocks of their
// type, in place and in record order, with no owner id; a remainder shorter
// than a record is dropped, and so is a record not in use whose block would
// be malformed (an erased record). The other list is not touched. S_OK, or
// E_OUTOFMEMORY with the lists unchanged.
HRESULT ConvertLegacyRecords(PWINIBIO_STORAGE_CONTEXT context);

// Replaces the context's three lists with the merge of two sets, type by
// type: the first set's blocks, then those of the second set that are not
// byte-identical to a block of the first set of that type (those are dropped
// from `second` as well). Duplicates inside one set stay. S_OK, or
// E_OUTOFMEMORY with the context and `second` unchanged.
HRESULT MergeDatabaseRecords(PWINIBIO_STORAGE_CONTEXT context, const BlockSet& first,
                             BlockSet& second);
