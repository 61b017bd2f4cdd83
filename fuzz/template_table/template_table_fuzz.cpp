// The chip's capabilities and its template table, read by both adapters: the
// engine picks a free slot from the table and looks for an equal enrollment
// before a commit; the storage adapter reconciles its records with the table
// when it opens the database. Input: the 8-byte capability reply, then the
// table reply (every table read of the run gets it).
#include <cstring>
#include <string>
#include "engine/engine_adapter.h"
#include "storage/database_file.h"
#include "storage/storage_context.h"
#include "support/fuzz_unit.h"

namespace {

// The layout as the driver interface publishes it, not as the code computes
// it, so that a wrong size or offset in the code shows: the slot count in
// capability byte 1, owner-id mode in byte 2; 35 bytes an entry, 52 in
// owner-id mode with the owner id at byte 36.
constexpr size_t kSlotCountAt = 1;
constexpr size_t kOwnerIdModeAt = 2;
constexpr size_t kEntrySize = 35;
constexpr size_t kOwnedEntrySize = 52;
constexpr size_t kOwnerAt = 36;

std::string privateFile; // a few blocks of this host, for the reconciliation

// One block of each type the storage adapter searches, both for the secure
// identity that the commit below enrolls.
std::string PrivateFile() {
    DatabaseFileHeader header = FreshDatabaseHeader(MOC_DATABASE_MAGIC);
    header.BlockCount = 2;
    std::string file(reinterpret_cast<const char*>(&header), sizeof(header));
    for (BYTE type : {MOC_BLOCK_TYPE_PLAIN, MOC_BLOCK_TYPE_OWNED}) {
        const DatabaseRecordBlock block =
            moc_fuzz::HostRecordBlock(type, moc_fuzz::SecureIdentity());
        file.append(reinterpret_cast<const char*>(&block), sizeof(block));
    }
    return file;
}

void Start(moc_fuzz::Unit&) {
    privateFile = PrivateFile();
}

void Run(moc_fuzz::Unit& unit, const uint8_t* data, size_t size) {
    using moc_fuzz::Expect;
    const moc_fuzz::Bytes caps(data, data + sizeof(MocCapabilities));
    unit.sensor->ReplyWith(IOCTL_MOC_GET_CAPABILITIES, caps, ERROR_SUCCESS, 2);
    unit.sensor->ReplyWith(IOCTL_MOC_READ_TEMPLATE_TABLE,
                           moc_fuzz::Rest(data, size, sizeof(MocCapabilities)), ERROR_SUCCESS, 16);
    Expect(unit.AttachEngine() == S_OK, "engine attach");
    Expect(unit.AttachStorage() == S_OK, "storage attach");
    PWINBIO_PIPELINE pipeline = &unit.pipeline;

    if (unit.engine->CreateEnrollment(pipeline) == S_OK) {
        WINBIO_IDENTITY identity = moc_fuzz::SecureIdentity();
        unit.engine->CommitEnrollment(pipeline, &identity, WINBIO_ANSI_381_POS_RH_INDEX_FINGER,
                                      nullptr, 0);
    }

    moc_fuzz::PrivateFile().Lay(privateFile);
    GUID id{};
    unit.storage->OpenDatabase(pipeline, &id, moc_fuzz::kDatabaseFilePath, u"");
    unit.storage->CloseDatabase(pipeline);

    // The requests the table led to, against the table itself.
    const size_t slots = caps[kSlotCountAt];
    const bool owned = caps[kOwnerIdModeAt] != 0;
    const uint8_t* table = data + caps.size();
    const size_t entrySize = owned ? kOwnedEntrySize : kEntrySize;
    const bool whole = size - caps.size() >= slots * entrySize;
    size_t firstFree = 255; // what the engine asks for when no slot is free
    for (size_t slot = 0; whole && slot < slots && firstFree == 255; ++slot)
        if (table[slot * entrySize] == MOC_SLOT_STATE_FREE)
            firstFree = slot;
    const HostOwnerId host = unit.sensor->HostOwner();
    for (const simsensor::LoggedRequest& request : unit.sensor->Log()) {
        if (request.code == IOCTL_MOC_BEGIN_ENROLLMENT) {
            Expect(whole && request.input.size() == 1,
                   "an enrollment begins on a table read whole");
            Expect(request.input[0] == firstFree, "an enrollment begins on the first free slot");
        }
        // No purge policy is set: a reconciliation deletes this host's orphans only.
        if (request.code == IOCTL_MOC_DELETE_TEMPLATE ||
            request.code == IOCTL_MOC_DELETE_TEMPLATES) {
            Expect(whole && request.code == IOCTL_MOC_DELETE_TEMPLATE && request.input.size() == 1,
                   "single slots deleted, from a table read whole");
            const BYTE slot = request.input[0];
            Expect(slot < slots && table[slot * entrySize] == MOC_SLOT_STATE_USED,
                   "a deleted slot is in use");
            if (owned)
                Expect(std::memcmp(table + slot * entrySize + kOwnerAt, host.Bytes,
                                   sizeof(host.Bytes)) == 0,
                       "a deleted slot is this host's");
        }
    }
    // The next input's attach reads its own capabilities and table.
    unit.DetachStorage();
    unit.DetachEngine();
}

} // namespace

const moc_fuzz::Harness moc_fuzz::kHarness = {0, sizeof(MocCapabilities), Start, Run};
