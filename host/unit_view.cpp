#include "host/unit_view.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include "storage/database_paths.h"
#include "storage/legacy_files.h"
#include "storage/reconcile.h"
#include "storage/record_block.h"
#include "storage/storage_context.h"

namespace host {
namespace {

bool SameTemplate(const simsensor::SimSlot& a, const simsensor::SimSlot& b) {
    return a.state == b.state && a.identityKind == b.identityKind && a.subFactor == b.subFactor &&
           std::memcmp(a.key.Bytes, b.key.Bytes, sizeof(a.key.Bytes)) == 0 &&
           HostOwnerIdEqual(a.owner, b.owner);
}

// The storage adapter's state as far as its judgement of the files needs it, so that its
// own rules judge them: which blocks are this host's, and which older files it refuses.
std::unique_ptr<WINIBIO_STORAGE_CONTEXT> JudgingContext(const simsensor::SimulatedSensor& sensor) {
    auto context = std::make_unique<WINIBIO_STORAGE_CONTEXT>();
    context->OwnerIdMode = sensor.Capabilities().OwnerIdMode != 0 ? 1 : 0;
    context->HostOwner = sensor.HostOwner();
    const MocSensorId id = sensor.SensorId();
    std::memcpy(context->SensorId, id.Bytes, sizeof(context->SensorId));
    context->DatabaseMagic = MOC_DATABASE_MAGIC;
    return context;
}

// The unit's paths are ASCII.
std::u16string WideOf(const std::string& narrow) {
    return std::u16string(narrow.begin(), narrow.end());
}

// A file of blocks read whole (the record file, or the older block file of its format), as the
// storage adapter's own rule judges it.
FileHold HoldOfBlockFile(const WINIBIO_STORAGE_CONTEXT& context, const std::string& path,
                         const RecordFileView& file) {
    FileHold hold;
    hold.path = path;
    const FileReconcileHold held = ReconcileHoldOfFile(file.bytes, context.OwnerIdMode != 0,
                                                       context.SensorId, context.HostOwner);
    hold.damagedRecords = held.malformedHostBlocks.size();
    hold.damagedBlocks = held.malformedHostBlocks;
    hold.headerSize = file.headerSize;
    hold.bytesPastBlocks = held.bytesPastBlocks;
    return hold;
}

// One older file, judged alone by the storage adapter's own migration, as the open judges it:
// refused when it cannot be read or its loader refuses it; else the records of this host that
// it gives as malformed blocks and, of the older block file, bytes behind its blocks that may
// be blocks.
FileHold HoldOfOlderFile(WINIBIO_STORAGE_CONTEXT& context, const DatabasePaths& paths,
                         bool recordFile) {
    const std::string path = recordFile ? paths.LegacyRecordFile : paths.LegacyBlockFile;
    FileHold hold;
    bool present = false;
    hold.refused = static_cast<bool>(OpenAsFile(path, &present));
    if (present && !hold.refused) {
        LegacyFilesFound found;
        (recordFile ? found.RecordFile : found.BlockFile) = true;
        LegacyMigration migration;
        EmptyBlockLists(&context);
        const bool migrated =
            SUCCEEDED(MigrateLegacyDatabaseFiles(&context, paths, found, &migration));
        const LegacyFileOutcome& outcome = recordFile ? migration.RecordFile : migration.BlockFile;
        const bool damaged = outcome.state == LegacyFileOutcome::State::Damaged;
        hold.refused = !migrated || outcome.state == LegacyFileOutcome::State::Unreadable ||
                       (damaged && outcome.damage == LegacyDamage::Refused);
        if (damaged && !hold.refused) {
            if (recordFile) {
                // Left out of a merge, its converted records stay in the lists.
                hold.damagedRecords = CountMalformedHostBlocks(context);
            } else {
                const RecordFileView file = ReadRecordFile(path);
                if (file.state == RecordFileView::State::Read)
                    hold = HoldOfBlockFile(context, path, file);
            }
        }
        EmptyBlockLists(&context);
        ReleaseKeptCopies(&context);
    }
    hold.path = path;
    hold.older = true;
    return hold;
}

} // namespace

RecordFileView ReadRecordFile(const std::string& path) {
    RecordFileView view;
    const FileRead read = ReadThroughPlatform(path);
    if (read.trouble) {
        view.state = RecordFileView::State::Unreadable;
        view.trouble = read.trouble;
        return view;
    }
    if (!read.present)
        return view;
    view.state = RecordFileView::State::Damaged;
    if (read.tooLong)
        return view;
    const std::vector<BYTE>& file = read.bytes;
    DWORD headerSize = 0, blockCount = 0;
    const DatabaseFileLayout layout =
        CheckDatabaseFileLayout(file, MOC_DATABASE_MAGIC, &headerSize, &blockCount);
    if (layout == DatabaseFileLayout::NoHeader)
        return view;
    view.headerRead = file.size() >= sizeof(view.header);
    std::memcpy(&view.header, file.data(), std::min(file.size(), sizeof(view.header)));
    if (layout != DatabaseFileLayout::Fits)
        return view;
    for (size_t i = 0; i < blockCount; ++i) {
        auto first =
            file.begin() + static_cast<std::ptrdiff_t>(headerSize + i * MOC_DATABASE_BLOCK_SIZE);
        view.blocks.emplace_back(first, first + MOC_DATABASE_BLOCK_SIZE);
    }
    view.headerSize = headerSize;
    view.bytes = file;
    view.state = RecordFileView::State::Read;
    return view;
}

UnitView ViewUnit(const simsensor::SimulatedSensor& sensor, const std::string& databaseFolder) {
    UnitView view;
    view.table = sensor.Table();
    view.ownerIdMode = sensor.Capabilities().OwnerIdMode != 0;
    view.hostOwner = sensor.HostOwner();
    view.records = ReadRecordFile(databaseFolder + "\\" + PrivateDatabaseFile);
    if (view.records.state != RecordFileView::State::Read)
        return view;
    std::unique_ptr<WINIBIO_STORAGE_CONTEXT> context = JudgingContext(sensor);
    // The storage adapter's own rules say what its open will not reconcile.
    std::vector<FileHold> files = {
        HoldOfBlockFile(*context, databaseFolder + "\\" + PrivateDatabaseFile, view.records)};
    // The open migrates the older files, and judges their records with the file's, only on a
    // chip whose database is older than its own.
    DatabasePaths paths;
    if (sensor.DatabaseVersion() < MOC_CHIP_DATABASE_VERSION &&
        MakeDatabasePaths(WideOf(databaseFolder + "\\" + PrivateDatabaseFile).c_str(), &paths)) {
        files.push_back(HoldOfOlderFile(*context, paths, true));
        files.push_back(HoldOfOlderFile(*context, paths, false));
    }
    for (FileHold& file : files)
        if (file.Any())
            view.hold.files.push_back(std::move(file));
    return view;
}

Removal RemovedBetween(const UnitView& before, const UnitView& after) {
    Removal removal;
    for (size_t i = 0; i < before.table.size(); ++i) {
        const simsensor::SimSlot& slot = before.table[i];
        if (slot.state != MOC_SLOT_STATE_USED ||
            (i < after.table.size() && SameTemplate(slot, after.table[i])))
            continue;
        const bool foreign = before.ownerIdMode && !HostOwnerIdEqual(slot.owner, before.hostOwner);
        removal.templates.push_back({i, slot.subFactor, foreign});
        if (foreign)
            ++removal.foreignTemplates;
        else
            ++removal.hostTemplates;
    }
    // A block is gone when the later file holds fewer of its copies.
    std::vector<std::vector<BYTE>> left = after.records.blocks;
    for (const std::vector<BYTE>& block : before.records.blocks) {
        auto kept = std::find(left.begin(), left.end(), block);
        if (kept == left.end())
            ++removal.records;
        else
            left.erase(kept);
    }
    return removal;
}

} // namespace host
