// What the framework stand-in can see of a unit's kept state by itself, without asking the
// adapter library: the simulated chip's template table and the storage adapter's record
// file as it lies on disk. Two views, taken before and after a call, tell what the call
// removed, as the platform's service could tell it from the chip and the file alone.
#pragma once
#include <windows.h>
#include <string>
#include <vector>
#include "simsensor/simulated_sensor.h"
#include "storage/database_file.h"

namespace host {

struct RecordFileView {
    enum class State {
        Absent,
        Damaged, // there, but unreadable or not of the format: its records cannot be told
        Read,
    };
    State state = State::Absent;
    // Whether the fixed header (the match statistics among it) is there, with the magic.
    bool headerRead = false;
    DatabaseFileHeader header{};
    std::vector<std::vector<BYTE>> blocks; // State::Read only, in file order
};

// The record file at a native path.
RecordFileView ReadRecordFile(const std::string& nativePath);

struct UnitView {
    std::vector<simsensor::SimSlot> table;
    bool ownerIdMode = false;
    HostOwnerId hostOwner{};
    RecordFileView records;
};

UnitView ViewUnit(const simsensor::SimulatedSensor& sensor, const std::string& recordFilePath);

struct Removal {
    size_t hostTemplates = 0;    // of this host (every template when the chip keeps no owners)
    size_t foreignTemplates = 0; // of other hosts, in owner-id mode
    size_t records = 0;          // blocks of the record file; 0 when it could not be read before
    bool Empty() const { return hostTemplates == 0 && foreignTemplates == 0 && records == 0; }
};

// What went between two views: the chip's templates that are no longer in their slots,
// and the record file's blocks that are no longer in it.
Removal RemovedBetween(const UnitView& before, const UnitView& after);

} // namespace host
