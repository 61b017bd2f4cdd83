// What the framework stand-in can see of a unit's kept state by itself, without asking the
// adapter library: the simulated chip's template table and the storage adapter's files as
// they lie on disk, read through the platform's file calls as the library reads them. Two
// views, taken before and after a call, tell what the call removed, as the platform's
// service could tell it from the chip and the files alone.
#pragma once
#include <windows.h>
#include <string>
#include <vector>
#include "host/file_trouble.h"
#include "simsensor/simulated_sensor.h"
#include "storage/database_file.h"

namespace host {

struct RecordFileView {
    enum class State {
        Absent,
        Unreadable, // there, but a file call refused it: `trouble` says why
        Damaged,    // read, but not of the format: its records cannot be told
        Read,
    };
    State state = State::Absent;
    FileTrouble trouble;
    // Whether the fixed header (the match statistics among it) is there, with the magic.
    bool headerRead = false;
    DatabaseFileHeader header{};
    DWORD headerSize = 0;                  // State::Read only: where the first block begins
    std::vector<BYTE> bytes;               // State::Read only: the whole file
    std::vector<std::vector<BYTE>> blocks; // State::Read only, in file order
};

// The record file at its platform path.
RecordFileView ReadRecordFile(const std::string& path);

// What of one file keeps the storage adapter's open from reconciling the record set with the
// chip, as the adapter judges the files: no template is then deleted and no record dropped.
struct FileHold {
    std::string path;                  // its platform path
    bool older = false;                // one of the older files that the open migrates
    bool refused = false;              // an older file that is there but damaged or unreadable
    size_t damagedRecords = 0;         // this host's records that are malformed
    std::vector<size_t> damagedBlocks; // their positions, in a file of blocks
    DWORD headerSize = 0;              // where the first block of a file of blocks begins
    size_t bytesPastBlocks = 0;        // behind the counted blocks, where they may be blocks
    bool Any() const { return refused || damagedRecords != 0 || bytesPastBlocks != 0; }
};

struct ReconcileHold {
    std::vector<FileHold> files; // those that hold: the record file, then the older ones
    bool Any() const { return !files.empty(); }
};

struct UnitView {
    std::vector<simsensor::SimSlot> table;
    bool ownerIdMode = false;
    HostOwnerId hostOwner{};
    RecordFileView records;
    ReconcileHold hold; // for an open of the record file as it is
};

// The unit's files in the database folder (a platform path) beside the chip.
UnitView ViewUnit(const simsensor::SimulatedSensor& sensor, const std::string& databaseFolder);

struct RemovedTemplate {
    size_t slot = 0;
    BYTE subFactor = 0;
    bool foreign = false; // of another host, in owner-id mode
};

struct Removal {
    std::vector<RemovedTemplate> templates; // in slot order
    size_t hostTemplates = 0;    // of this host (every template when the chip keeps no owners)
    size_t foreignTemplates = 0; // of other hosts, in owner-id mode
    size_t records = 0;          // blocks of the record file; 0 when it could not be read before
    bool Empty() const { return hostTemplates == 0 && foreignTemplates == 0 && records == 0; }
};

// What went between two views: the chip's templates that are no longer in their slots,
// and the record file's blocks that are no longer in it.
Removal RemovedBetween(const UnitView& before, const UnitView& after);

} // namespace host
