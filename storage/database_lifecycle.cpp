// Opening, creating and erasing the template database.
#include <cstring>
#include <io.h>
#include <new>
#include <utility>
#include <vector>
#include "common/trace.h"
#include "storage/chip_request.h"
#include "storage/database_file.h"
#include "storage/database_paths.h"
#include "storage/legacy_files.h"
#include "storage/reconcile.h"
#include "storage/record_block.h"
#include "storage/storage_adapter.h"
#include "common/whole_file.h"

namespace {

void SetPrivateFilePath(WINIBIO_STORAGE_CONTEXT& context, const DatabasePaths& paths) {
    static_assert(sizeof(paths.PrivateFile) <= sizeof(context.PrivateFilePath),
                  "the private path fits the context's field");
    std::memcpy(context.PrivateFilePath, paths.PrivateFile, sizeof(paths.PrivateFile));
}

// Whether an older file lies at `path`. A folder of that name holds no
// records: taken for the file, it could never be read, and every open and
// create would wait for it.
PathPresence LegacyFilePresence(const char* path) {
    const PathPresence presence = PresenceOf(path);
    if (presence != PathPresence::Present)
        return presence;
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return PathPresence::Unknown;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PathPresence::Absent
                                                        : PathPresence::Present;
}

// Which older files lie in the folder; false when either cannot be told.
bool FindLegacyFiles(const DatabasePaths& paths, LegacyFilesFound* found) {
    PathPresence records = LegacyFilePresence(paths.LegacyRecordFile);
    PathPresence blocks = LegacyFilePresence(paths.LegacyBlockFile);
    found->RecordFile = records == PathPresence::Present;
    found->BlockFile = blocks == PathPresence::Present;
    return records != PathPresence::Unknown && blocks != PathPresence::Unknown;
}

// Reads the chip's table for a reconciliation. False when the reconciliation
// must not run: the chip's modes are guesses (see CheckChipKnownFor), the read
// failed (a table that did not arrive shows no slot of this host, and every
// block would be dropped), or the sensor id is unknown in owner-id mode (every
// block would look like another sensor's).
bool TableReadyForReconcile(WINIBIO_STORAGE_CONTEXT& context) {
    if (FAILED(CheckChipKnownFor(context, ChipUse::DeletesTemplates)))
        return false;
    HRESULT hr = ReadTemplateTable(context);
    if (FAILED(hr)) {
        MOC_TRACE_INFO(kTraceGuidDatabaseLifecycle, 14,
                       "template table not read (%!HRESULT!): no reconciliation", context.UnitLabel,
                       hr);
        return false;
    }
    if (!CanJudgeHostBlocks(context)) {
        MOC_TRACE_ERROR(kTraceGuidDatabaseLifecycle, 15,
                        "sensor id unknown in owner id mode: no reconciliation", context.UnitLabel);
        return false;
    }
    return true;
}

// Policy 1 in owner-id mode: every template of another host goes before the
// database is opened, once per attach.
HRESULT PurgeForeignTemplatesAtOpen(WINIBIO_STORAGE_CONTEXT& context) {
    if (context.Policy != MOC_POLICY_PURGE_FOREIGN_AT_OPEN || context.OwnerIdMode == 0)
        return S_OK;
    MOC_TRACE_INFO(kTraceGuidDatabaseLifecycle, 12,
                   "policy 1: templates of other hosts are purged before the open");
    HRESULT hr = ReadTemplateTable(context);
    if (FAILED(hr)) {
        MOC_TRACE_ERROR(kTraceGuidDatabaseLifecycle, 13, "template table not read: %!HRESULT!", hr);
        return hr;
    }
    // A failure keeps the policy, so that the next open purges again.
    hr = DeleteSlots(context, IsForeignSlot);
    if (FAILED(hr))
        return hr;
    context.Policy = 0;
    return S_OK;
}

void RecordChipDatabaseVersion(WINIBIO_STORAGE_CONTEXT& context) {
    DWORD error = SetChipDatabaseVersion(context.Device->Pipeline, MOC_CHIP_DATABASE_VERSION);
    if (error != 0)
        MOC_TRACE_INFO(kTraceGuidDatabaseLifecycle, 16,
                       "chip database version not set: %!WINERROR!", context.UnitLabel, error);
}

// Deletes a file that exists, clearing its attributes when the first attempt fails.
void DeleteExistingFile(const WCHAR* path) {
    if (PresenceOf(path) != PathPresence::Present)
        return;
    if (!DeleteFileW(path)) {
        SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(path);
    }
}

// Removes whatever bears the private file's name. Every open refuses a folder
// of that name and every create finds it there, so an erase that left one
// would leave the database beyond repair: an empty one goes, and the erase
// fails while the name stays taken (WINBIO_E_DATABASE_CANT_ERASE).
HRESULT RemovePrivateFile(const char* path) {
    if (PresenceOf(path) == PathPresence::Absent) {
        MOC_TRACE_INFO(kTraceGuidDatabaseLifecycle, 17, "no %s to delete", path);
        return S_OK;
    }
    MOC_TRACE_INFO(kTraceGuidDatabaseLifecycle, 18, "deleting %s", path);
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        RemoveDirectoryA(path);
    } else if (!DeleteFileA(path)) {
        SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(path);
    }
    if (PresenceOf(path) != PathPresence::Absent) {
        MOC_TRACE_ERROR(kTraceGuidDatabaseLifecycle, 38, "%s is still there: the erase fails",
                        path);
        return WINBIO_E_DATABASE_CANT_ERASE;
    }
    return S_OK;
}

// The paths of the database named by `filePath`, in a folder that exists:
// `pathFailure` when they have no usable narrow form,
// WINBIO_E_DATABASE_CANT_CREATE when the folder is missing.
HRESULT FindDatabase(const WINIBIO_STORAGE_CONTEXT& context, const WCHAR* filePath,
                     HRESULT pathFailure, DatabasePaths* paths) {
    if (!MakeDatabasePaths(filePath, paths)) {
        MOC_TRACE_ERROR(kTraceGuidDatabaseLifecycle, 19,
                        "database path %ls has no usable narrow form", context.UnitLabel, filePath);
        return pathFailure;
    }
    if (_access(paths->Folder, 0) != 0) {
        MOC_TRACE_ERROR(kTraceGuidDatabaseLifecycle, 20, "database folder %s is missing",
                        context.UnitLabel, paths->Folder);
        return WINBIO_E_DATABASE_CANT_CREATE;
    }
    return S_OK;
}

HRESULT OpenWithContext(WINIBIO_STORAGE_CONTEXT& context, const WCHAR* filePath) {
    DatabasePaths paths;
    HRESULT hr = FindDatabase(context, filePath, WINBIO_E_DATABASE_CANT_OPEN, &paths);
    if (FAILED(hr))
        return hr;
    hr = PurgeForeignTemplatesAtOpen(context);
    if (FAILED(hr))
        return hr;

    context.OpenFlag = 1;
    SetPrivateFilePath(context, paths);
    switch (PresenceOf(context.PrivateFilePath)) {
    case PathPresence::Present:
        MOC_TRACE_INFO(kTraceGuidDatabaseLifecycle, 21, "database file found", context.UnitLabel);
        break;
    case PathPresence::Absent:
        MOC_TRACE_INFO(kTraceGuidDatabaseLifecycle, 22, "no database file", context.UnitLabel);
        return WINBIO_E_DATABASE_CANT_FIND;
    case PathPresence::Unknown:
        // Taken for absent, it would lead the framework to create the database anew.
        MOC_TRACE_ERROR(kTraceGuidDatabaseLifecycle, 23,
                        "database file presence unknown: %!WINERROR!", context.UnitLabel,
                        GetLastError());
        return WINBIO_E_DATABASE_CANT_OPEN;
    }

    DWORD versionError = 0;
    const DWORD version = GetChipDatabaseVersion(context.Device->Pipeline, &versionError);
    if (versionError != 0)
        MOC_TRACE_INFO(kTraceGuidDatabaseLifecycle, 29,
                       "chip database version not read: %!WINERROR!", context.UnitLabel,
                       versionError);
    MOC_TRACE_INFO(kTraceGuidDatabaseLifecycle, 24, "chip database version %u", context.UnitLabel,
                   version);
    bool haveMigrated = false;
    bool legacyUnread = false;
    BlockSet migrated;
    if (version < MOC_CHIP_DATABASE_VERSION) {
        LegacyFilesFound found;
        if (!FindLegacyFiles(paths, &found))
            return WINBIO_E_DATABASE_CANT_OPEN;
        if (found.RecordFile || found.BlockFile) {
            LegacyMigration migration;
            hr = MigrateLegacyDatabaseFiles(&context, paths, found, &migration);
            if (FAILED(hr))
                return hr;
            legacyUnread = migration.Any(LegacyFileOutcome::State::Damaged) ||
                           migration.Any(LegacyFileOutcome::State::Unreadable);
            haveMigrated = migration.Merged && !legacyUnread;
            if (haveMigrated) {
                migrated.Owned.swap(context.OwnedBlocks);
                migrated.Plain.swap(context.PlainBlocks);
                migrated.Other.swap(context.OtherBlocks);
            }
        }
    }

    hr = ReloadDatabaseFile(&context);
    if (FAILED(hr)) {
        MOC_TRACE_ERROR(kTraceGuidDatabaseLifecycle, 25, "database file not loaded: %!HRESULT!",
                        context.UnitLabel, hr);
        return hr;
    }
    if (haveMigrated) {
        MOC_TRACE_INFO(kTraceGuidDatabaseLifecycle, 26,
                       "merging the migrated records with the file's", context.UnitLabel);
        BlockSet loaded;
        loaded.Owned.swap(context.OwnedBlocks);
        loaded.Plain.swap(context.PlainBlocks);
        loaded.Other.swap(context.OtherBlocks);
        hr = MergeDatabaseRecords(&context, migrated, loaded);
        if (FAILED(hr))
            return hr;
    }

    // Without a trustworthy table, or without the records of an older file
    // that could not be read, or with a record set that no reconciliation may
    // judge, the file stays as it is, and the chip's version too, so that the
    // next open tries again.
    if (legacyUnread || !TableReadyForReconcile(context))
        return S_OK;
    hr = ReconcileDatabaseWithChip(&context, ReconcileFor::Open);
    if (hr != S_OK)
        return FAILED(hr) ? hr : S_OK;
    hr = SaveDatabaseFile(&context);
    if (FAILED(hr)) {
        MOC_TRACE_ERROR(kTraceGuidDatabaseLifecycle, 27,
                        "reconciled database not saved: %!HRESULT!", context.UnitLabel, hr);
        return hr;
    }
    RecordChipDatabaseVersion(context);
    return S_OK;
}

// The older files that the create left out of the migration: one that cannot
// be read holds the create back whatever the chip holds, since its records may
// describe any template; a damaged one only while the chip holds templates of
// this host that the create, taking it for a file that gave no records, would
// delete. The damaged file is then left in place and the create goes on with
// what the others gave (the lists). `*tableRead`: the table buffer holds the
// chip's table, judged fit for a reconciliation.
HRESULT HoldBackForOlderFiles(WINIBIO_STORAGE_CONTEXT& context, const DatabasePaths& paths,
                              const LegacyMigration& migration, bool* tableRead) {
    const std::pair<const LegacyFileOutcome*, const char*> files[] = {
        {&migration.RecordFile, paths.LegacyRecordFile},
        {&migration.BlockFile, paths.LegacyBlockFile}};
    for (const auto& [outcome, path] : files) {
        if (outcome->state == LegacyFileOutcome::State::Unreadable) {
            MOC_TRACE_ERROR(kTraceGuidDatabaseLifecycle, 43,
                            "legacy file %s cannot be read: nothing is built", context.UnitLabel,
                            path);
            return WINBIO_E_DATABASE_CANT_CREATE;
        }
    }
    if (!migration.Any(LegacyFileOutcome::State::Damaged))
        return S_OK;
    if (!migration.Merged)
        EmptyBlockLists(&context); // what the last read left is no file's records
    std::vector<DWORD> deleted;
    HRESULT hr = S_OK;
    if (TableReadyForReconcile(context)) {
        *tableRead = true;
        hr = SlotsWithoutRecords(context, &deleted);
        if (FAILED(hr))
            return hr;
    } else {
        hr = WINBIO_E_DATABASE_CANT_CREATE; // what would be deleted cannot be told
    }
    if (SUCCEEDED(hr) && !deleted.empty())
        hr = WINBIO_E_DATABASE_CANT_CREATE;
    for (const auto& [outcome, path] : files) {
        if (outcome->state != LegacyFileOutcome::State::Damaged)
            continue;
        if (FAILED(hr))
            MOC_TRACE_ERROR(kTraceGuidDatabaseLifecycle, 41,
                            "legacy file %s is damaged (%u: 1 refused by its loader, 2 bytes past "
                            "its blocks, 3 a malformed record of this host), and the create "
                            "would delete %u templates of this host (or cannot tell): nothing "
                            "is built",
                            context.UnitLabel, path, static_cast<DWORD>(outcome->damage),
                            static_cast<DWORD>(deleted.size()));
        else
            MOC_TRACE_INFO(kTraceGuidDatabaseLifecycle, 42,
                           "legacy file %s is damaged (%u: 1 refused by its loader, 2 bytes past "
                           "its blocks, 3 a malformed record of this host) and describes no "
                           "template the create would delete: left in place, the database is "
                           "built without it",
                           context.UnitLabel, path, static_cast<DWORD>(outcome->damage));
    }
    return hr;
}

// After an open attempt that found no private file: the record set from the
// older files when there are any, else a fresh one.
HRESULT BuildPrivateFile(WINIBIO_STORAGE_CONTEXT& context, const DatabasePaths& paths) {
    context.OpenFlag = 0;
    switch (PresenceOf(context.PrivateFilePath)) {
    case PathPresence::Present:
        MOC_TRACE_INFO(kTraceGuidDatabaseLifecycle, 30, "database file already exists",
                       context.UnitLabel);
        return WINBIO_E_DATABASE_ALREADY_EXISTS;
    case PathPresence::Unknown:
        MOC_TRACE_ERROR(kTraceGuidDatabaseLifecycle, 23,
                        "database file presence unknown: %!WINERROR!", context.UnitLabel,
                        GetLastError());
        return WINBIO_E_DATABASE_CANT_CREATE;
    case PathPresence::Absent:
        break;
    }
    // Both the reset and the reconciliation of older records delete templates.
    HRESULT hr = CheckChipKnownFor(context, ChipUse::DeletesTemplates);
    if (FAILED(hr))
        return hr;
    LegacyFilesFound found;
    if (!FindLegacyFiles(paths, &found))
        return WINBIO_E_DATABASE_CANT_CREATE;

    LegacyMigration migration;
    bool tableRead = false;
    if (found.RecordFile || found.BlockFile) {
        MOC_TRACE_INFO(kTraceGuidDatabaseLifecycle, 31,
                       "building the database from the legacy files", context.UnitLabel);
        hr = MigrateLegacyDatabaseFiles(&context, paths, found, &migration);
        if (FAILED(hr))
            return hr;
        // A reset or a reconciliation without a file's records would delete
        // their templates.
        hr = HoldBackForOlderFiles(context, paths, migration, &tableRead);
        if (FAILED(hr))
            return hr;
        if (!migration.Merged)
            MOC_TRACE_ERROR(kTraceGuidDatabaseLifecycle, 28, "the legacy files gave no records",
                            context.UnitLabel);
    } else {
        MOC_TRACE_INFO(kTraceGuidDatabaseLifecycle, 32, "building a fresh database",
                       context.UnitLabel);
    }
    if (migration.Merged) {
        // A merged set is written even when it cannot be reconciled now:
        // reporting success without a private file would lose it, and the
        // next open reconciles what was written.
        if (tableRead || TableReadyForReconcile(context)) {
            hr = ReconcileDatabaseWithChip(&context, ReconcileFor::Create);
            if (hr != S_OK)
                return FAILED(hr) ? hr : WINBIO_E_DATABASE_CANT_CREATE;
        }
        hr = SaveDatabaseFile(&context);
        if (FAILED(hr)) {
            MOC_TRACE_ERROR(kTraceGuidDatabaseLifecycle, 33,
                            "merged database not saved: %!HRESULT!", context.UnitLabel, hr);
            return hr;
        }
    } else {
        hr = ResetDatabase(&context);
        if (FAILED(hr)) {
            MOC_TRACE_ERROR(kTraceGuidDatabaseLifecycle, 34,
                            "fresh database not written: %!HRESULT!", context.UnitLabel, hr);
            return hr;
        }
    }
    RecordChipDatabaseVersion(context);
    return S_OK;
}

// With no open attempt before: the framework's own database file, fresh.
HRESULT WriteFrameworkFile(WINIBIO_STORAGE_CONTEXT& context, const WCHAR* filePath) {
    MOC_TRACE_INFO(kTraceGuidDatabaseLifecycle, 35, "framework database file %ls",
                   context.UnitLabel, filePath);
    switch (PresenceOf(filePath)) {
    case PathPresence::Present:
        MOC_TRACE_INFO(kTraceGuidDatabaseLifecycle, 36, "framework database file already exists",
                       context.UnitLabel);
        return WINBIO_E_DATABASE_ALREADY_EXISTS;
    case PathPresence::Unknown:
        return WINBIO_E_DATABASE_CANT_CREATE;
    case PathPresence::Absent:
        break;
    }
    const DatabaseFileHeader header = FreshDatabaseHeader(context.DatabaseMagic);
    DWORD error =
        ReplaceWholeFile(filePath, reinterpret_cast<const BYTE*>(&header), sizeof(header));
    if (error != 0) {
        MOC_TRACE_INFO(kTraceGuidDatabaseLifecycle, 37,
                       "framework database file %ls not written: %!WINERROR!", context.UnitLabel,
                       filePath, error);
        return WINBIO_E_DATABASE_CANT_CREATE;
    }
    return S_OK;
}

HRESULT CreateWithContext(WINIBIO_STORAGE_CONTEXT& context, PWINBIO_PIPELINE pipeline,
                          const GUID& format, const WCHAR* filePath, SIZE_T indexElementCount) {
    DatabasePaths paths;
    if (HRESULT hr = FindDatabase(context, filePath, WINBIO_E_DATABASE_CANT_CREATE, &paths);
        FAILED(hr))
        return hr;
    if (pipeline->StorageHandle != INVALID_HANDLE_VALUE)
        return WINBIO_E_INVALID_DEVICE_STATE;
    // A block holds four index elements; a database keyed by more could
    // store none of its records.
    if (indexElementCount > MOC_BLOCK_INDEX_ELEMENTS)
        return E_INVALIDARG;
    context.IndexElementCount = static_cast<DWORD>(indexElementCount);
    context.FormatGuid = format;
    return context.OpenFlag != 0 ? BuildPrivateFile(context, paths)
                                 : WriteFrameworkFile(context, filePath);
}

HRESULT EraseWithContext(WINIBIO_STORAGE_CONTEXT& context, const WCHAR* filePath) {
    DatabasePaths paths;
    if (HRESULT hr = FindDatabase(context, filePath, WINBIO_E_DATABASE_CANT_ERASE, &paths);
        FAILED(hr))
        return hr;
    // Neither the files nor the templates go while the chip's modes are
    // guesses: the files erased alone would leave its templates without records.
    if (HRESULT hr = CheckChipKnownFor(context, ChipUse::DeletesTemplates); FAILED(hr))
        return hr;
    SetPrivateFilePath(context, paths);
    MOC_TRACE_INFO(kTraceGuidDatabaseLifecycle, 40, "erase %ls", context.UnitLabel, filePath);
    DeleteExistingFile(filePath);
    context.ListsMayDifferFromFile = true; // from here the file may be gone
    // The templates stay while their records' file may: each keeps the other.
    HRESULT hr = RemovePrivateFile(context.PrivateFilePath);
    if (FAILED(hr))
        return hr;

    // The query and record state stays as it was when the chip step fails.
    hr = DeleteHostTemplates(context);
    if (FAILED(hr))
        return hr;

    context.ResultCount = 0;
    context.ResultPosition = 0;
    context.QueryCounter = 0;
    context.DeleteCounter = 0;
    context.ResultList.clear();
    ForgetRememberedSid(&context);
    EmptyBlockLists(&context);
    context.FormatGuid = GUID{};
    return S_OK;
}

} // namespace

// The lifecycle slots refuse a null argument before the frame, without a trace.
HRESULT WINAPI StorageAdapterOpenDatabase(PWINBIO_PIPELINE Pipeline, PWINBIO_UUID DatabaseId,
                                          LPCWSTR FilePath, LPCWSTR ConnectString) {
    if (Pipeline == nullptr || DatabaseId == nullptr || FilePath == nullptr ||
        ConnectString == nullptr)
        return E_POINTER;
    return RunRecordOperation(
        Pipeline, true, kTraceGuidDatabaseLifecycle,
        [&](WINIBIO_STORAGE_CONTEXT& context) { return OpenWithContext(context, FilePath); });
}

HRESULT WINAPI StorageAdapterCreateDatabase(PWINBIO_PIPELINE Pipeline, PWINBIO_UUID DatabaseId,
                                            WINBIO_BIOMETRIC_TYPE, PWINBIO_UUID Format,
                                            LPCWSTR FilePath, LPCWSTR ConnectString,
                                            SIZE_T IndexElementCount, SIZE_T) {
    if (Pipeline == nullptr || DatabaseId == nullptr || Format == nullptr || FilePath == nullptr ||
        ConnectString == nullptr)
        return E_POINTER;
    return RunRecordOperation(
        Pipeline, true, kTraceGuidDatabaseLifecycle, [&](WINIBIO_STORAGE_CONTEXT& context) {
            return CreateWithContext(context, Pipeline, *Format, FilePath, IndexElementCount);
        });
}

HRESULT WINAPI StorageAdapterEraseDatabase(PWINBIO_PIPELINE Pipeline, PWINBIO_UUID DatabaseId,
                                           LPCWSTR FilePath, LPCWSTR ConnectString) {
    if (Pipeline == nullptr || DatabaseId == nullptr || FilePath == nullptr ||
        ConnectString == nullptr)
        return E_POINTER;
    return RunRecordOperation(
        Pipeline, true, kTraceGuidDatabaseLifecycle,
        [&](WINIBIO_STORAGE_CONTEXT& context) { return EraseWithContext(context, FilePath); });
}
