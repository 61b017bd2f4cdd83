#include "host/unit_view.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace host {
namespace {

bool SameTemplate(const simsensor::SimSlot& a, const simsensor::SimSlot& b) {
    return a.state == b.state && a.identityKind == b.identityKind && a.subFactor == b.subFactor &&
           std::memcmp(a.key.Bytes, b.key.Bytes, sizeof(a.key.Bytes)) == 0 &&
           HostOwnerIdEqual(a.owner, b.owner);
}

} // namespace

RecordFileView ReadRecordFile(const std::string& nativePath) {
    RecordFileView view;
    std::error_code ec;
    if (!std::filesystem::exists(nativePath, ec) && !ec)
        return view;
    view.state = RecordFileView::State::Damaged;
    std::ifstream in(nativePath, std::ios::binary);
    if (!in)
        return view;
    std::vector<BYTE> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        return view;
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
    view.state = RecordFileView::State::Read;
    return view;
}

UnitView ViewUnit(const simsensor::SimulatedSensor& sensor, const std::string& recordFilePath) {
    UnitView view;
    view.table = sensor.Table();
    view.ownerIdMode = sensor.Capabilities().OwnerIdMode != 0;
    view.hostOwner = sensor.HostOwner();
    view.records = ReadRecordFile(recordFilePath);
    return view;
}

Removal RemovedBetween(const UnitView& before, const UnitView& after) {
    Removal removal;
    for (size_t i = 0; i < before.table.size(); ++i) {
        const simsensor::SimSlot& slot = before.table[i];
        if (slot.state != MOC_SLOT_STATE_USED ||
            (i < after.table.size() && SameTemplate(slot, after.table[i])))
            continue;
        if (before.ownerIdMode && !HostOwnerIdEqual(slot.owner, before.hostOwner))
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
