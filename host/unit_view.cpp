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

// An older file that is there but cannot be read, or whose content the storage adapter's
// loader refuses, may hold records whose templates a reconciliation would delete.
bool OlderFileHeldBack(WINIBIO_STORAGE_CONTEXT& context, const std::string& path,
                       bool recordLayout) {
    bool present = false;
    if (OpenAsFile(path, &present))
        return true;
    if (!present)
        return false;
    bool unreadable = false;
    EmptyBlockLists(&context);
    const HRESULT hr = recordLayout ? LoadLegacyDatabaseFile(&context, path.c_str(), &unreadable)
                                    : LoadDatabaseFile(&context, path.c_str(), &unreadable);
    EmptyBlockLists(&context);
    ReleaseKeptCopies(&context);
    return unreadable || hr == WINBIO_E_DATABASE_CORRUPTED;
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
    // The storage adapter's own rule says what its open will not reconcile.
    const FileReconcileHold held = ReconcileHoldOfFile(view.records.bytes, view.ownerIdMode,
                                                       context->SensorId, view.hostOwner);
    view.hold.damagedBlocks = held.malformedHostBlocks;
    view.hold.bytesPastBlocks = held.bytesPastBlocks;
    // The open looks for older files only on a chip whose database is older than its own.
    if (sensor.DatabaseVersion() < MOC_CHIP_DATABASE_VERSION) {
        const std::pair<const char*, bool> olderFiles[] = {{LegacyRecordFile, true},
                                                           {LegacyBlockFile, false}};
        for (const auto& [name, recordLayout] : olderFiles) {
            const std::string path = databaseFolder + "\\" + name;
            if (OlderFileHeldBack(*context, path, recordLayout))
                view.hold.olderFiles.push_back(path);
        }
    }
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
