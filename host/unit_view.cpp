#include "host/unit_view.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include "storage/legacy_files.h"
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

// The older block file: there but unreadable or refused by the loader (the record file's
// rules, as it has that format), or holding the open back as the record file would.
FileHold HoldOfOlderBlockFile(const WINIBIO_STORAGE_CONTEXT& context, const std::string& path) {
    const RecordFileView file = ReadRecordFile(path);
    FileHold hold;
    if (file.state == RecordFileView::State::Read)
        hold = HoldOfBlockFile(context, path, file);
    hold.path = path;
    hold.older = true;
    hold.refused = file.state == RecordFileView::State::Unreadable ||
                   file.state == RecordFileView::State::Damaged;
    return hold;
}

// The older record file: there but unreadable or refused by the storage adapter's loader, or
// holding records of this host that the migration turns into malformed blocks, converted and
// judged as the open converts and judges them.
FileHold HoldOfOlderRecordFile(WINIBIO_STORAGE_CONTEXT& context, const std::string& path) {
    FileHold hold;
    hold.path = path;
    hold.older = true;
    bool present = false;
    if (OpenAsFile(path, &present)) {
        hold.refused = true;
        return hold;
    }
    if (!present)
        return hold;
    bool unreadable = false;
    EmptyBlockLists(&context);
    HRESULT hr = LoadLegacyDatabaseFile(&context, path.c_str(), &unreadable);
    if (hr == S_OK)
        hr = ConvertLegacyRecords(&context);
    hold.refused = unreadable || hr == WINBIO_E_DATABASE_CORRUPTED;
    if (hr == S_OK)
        hold.damagedRecords = CountMalformedHostBlocks(context);
    EmptyBlockLists(&context);
    ReleaseKeptCopies(&context);
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
    if (sensor.DatabaseVersion() < MOC_CHIP_DATABASE_VERSION) {
        files.push_back(HoldOfOlderRecordFile(*context, databaseFolder + "\\" + LegacyRecordFile));
        files.push_back(HoldOfOlderBlockFile(*context, databaseFolder + "\\" + LegacyBlockFile));
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
