// Reconciliation of the record set with the chip's template table, and the
// migration of the legacy files into one record set, through OpenDatabase.
#include "storage/database_file.h"
#include "storage_fixture.h"

namespace storage_test {
namespace {

struct SlotSpec {
    int index;
    uint8_t kind, subFactor, keySeed;
    Bytes owner = SimHostOwner();
    uint8_t state = 1;
};

class ReconcileTest : public StorageTest {
protected:
    void Prepare(bool ownerIdMode, const std::vector<SlotSpec>& slots,
                 const std::vector<Bytes>& blocks) {
        Attach(ownerIdMode);
        for (size_t i = 0; i < sensor->Table().size(); ++i)
            sensor->SetSlot(i, simsensor::SimSlot{});
        for (const SlotSpec& s : slots)
            SetSlot(s.index, s.kind, s.subFactor, KeyBytes(s.keySeed), s.owner, s.state);
        WriteFile(kPrivateFile, DatabaseFile(blocks));
    }
};

TEST_F(ReconcileTest, SlotsAndBlocksByOwnerAndMode) {
    Bytes zeroFirst = OtherOwner();
    zeroFirst[0] = 0;
    Bytes otherSensor = SimSensorId();
    otherSensor[0] ^= 0xFF;
    // Owned blocks of this host and sensor, and the same record in other forms.
    const Bytes mine = OwnedBlock(1, 2, KeyBytes(1));
    const Bytes mine3 = OwnedBlock(1, 3, KeyBytes(3));
    const Bytes foreign = OwnedBlock(1, 2, KeyBytes(1), OtherOwner());
    const Bytes noOwner = OwnedBlock(1, 2, KeyBytes(1), zeroFirst);
    const Bytes noOwner3 = OwnedBlock(1, 3, KeyBytes(3), zeroFirst);
    const Bytes elsewhere = OwnedBlock(1, 2, KeyBytes(1), SimHostOwner(), otherSensor);
    const Bytes guid = OwnedBlock(2, 2, KeyBytes(5));
    const Bytes plain = PlainBlock(1, 2, KeyBytes(1));
    const Bytes plain3 = PlainBlock(1, 3, KeyBytes(3));
    const Bytes plainTwin = PlainBlock(1, 2, KeyBytes(1), 9);
    BlockFields otherType;
    otherType.type = 0x12;
    otherType.key = KeyBytes(7);
    const Bytes other = Block(otherType);
    const SlotSpec slot1{1, 1, 2, 1};
    const SlotSpec foreignSlot1{1, 1, 2, 1, OtherOwner()};
    struct Case {
        const char* name;
        bool ownerIdMode;
        std::vector<SlotSpec> slots;
        std::vector<Bytes> blocks;
        std::vector<int> deleted;
        std::vector<Bytes> saved; // plain, owned, other
    } cases[] = {
        {"owned: slot and block match", true, {slot1}, {mine}, {}, {mine}},
        {"owned: slot without block", true, {slot1, {4, 1, 3, 3}}, {mine}, {4}, {mine}},
        {"owned: block without slot", true, {slot1}, {mine, mine3}, {}, {mine}},
        {"owned: another host's block keeps no slot", true, {slot1}, {foreign}, {1}, {foreign}},
        {"owned: another host's slot keeps no block", true, {foreignSlot1}, {mine}, {}, {}},
        {"owned: zero-led owner keeps a slot", true, {slot1}, {noOwner}, {}, {noOwner}},
        {"owned: zero-led owner is dropped alone",
         true,
         {slot1},
         {noOwner, noOwner3},
         {},
         {noOwner}},
        {"owned: another sensor's block", true, {slot1}, {elsewhere}, {1}, {elsewhere}},
        {"owned: plain and other blocks untouched", true, {}, {plain, other}, {}, {plain, other}},
        {"owned: guid record has no slot", true, {slot1}, {mine, guid}, {}, {mine}},
        {"owned: empty set deletes this host's slots",
         true,
         {slot1, {2, 1, 2, 2, OtherOwner()}, {3, 0, 4, 3}},
         {},
         {1, 3},
         {}},
        {"owned: a slot neither used nor free stays",
         true,
         {{1, 1, 2, 1, SimHostOwner(), 2}},
         {},
         {},
         {}},
        {"plain: slot and block match", false, {slot1}, {plain}, {}, {plain}},
        {"plain: every used slot counts",
         false,
         {foreignSlot1, {6, 1, 9, 9, OtherOwner()}},
         {plain},
         {6},
         {plain}},
        {"plain: block without slot", false, {slot1}, {plain, plain3}, {}, {plain}},
        {"plain: owned blocks untouched", false, {slot1}, {mine, other}, {1}, {mine, other}},
        {"plain: two blocks, one slot", false, {slot1}, {plain, plainTwin}, {}, {plain, plainTwin}},
        {"plain: one block, two slots", false, {slot1, {7, 1, 2, 1}}, {plain}, {}, {plain}},
    };
    for (const Case& c : cases) {
        Prepare(c.ownerIdMode, c.slots, c.blocks);
        EXPECT_EQ(Open(), S_OK) << c.name;
        EXPECT_EQ(DeletedSlots(), c.deleted) << c.name;
        EXPECT_EQ(ReadFile(kPrivateFile), DatabaseFile(c.saved)) << c.name;
        StorageAdapterDetach(&pipeline);
    }
}

// A record damaged after it was written (a fixed field that no writer puts
// there) no longer tells which template it keeps: the open reconciles
// nothing, so that neither the template it kept nor any other goes on its
// evidence. A damage that leaves every field possible cannot be told from a
// record that is not in use.
TEST_F(ReconcileTest, AMalformedBlockOfThisHostStopsTheReconciliation) {
    struct Damage {
        const char* name;
        size_t offset;
        uint8_t value;
        bool stops;
    } damages[] = {
        {"valid byte 2", 19, 2, true},           {"valid byte flipped", 19, 0xFE, true},
        {"identity kind 3", 20, 3, true},        {"identity length 33", 22, 33, true},
        {"account SID length 29", 55, 29, true}, {"index element count 5", 84, 5, true},
        {"template size 21", 101, 21, true},     {"payload size 21", 122, 21, true},
        {"sensor id length 33", 143, 33, true},  {"valid byte 0", 19, 0, false},
    };
    for (bool ownerIdMode : {false, true}) {
        auto block = [&](uint8_t subFactor, uint8_t seed) {
            return ownerIdMode ? OwnedBlock(1, subFactor, KeyBytes(seed))
                               : PlainBlock(1, subFactor, KeyBytes(seed));
        };
        for (const Damage& d : damages) {
            SCOPED_TRACE(std::string(d.name) + (ownerIdMode ? ", owner-id mode" : ""));
            Bytes damaged = block(2, 1);
            damaged[d.offset] = d.value;
            const Bytes orphan = block(5, 5);
            Prepare(ownerIdMode, {{0, 1, 2, 1}, {3, 1, 3, 3}}, {damaged, orphan});
            EXPECT_EQ(Open(), S_OK);
            if (d.stops) {
                EXPECT_TRUE(DeletedSlots().empty());
                EXPECT_EQ(ReadFile(kPrivateFile), DatabaseFile({damaged, orphan}));
            } else {
                EXPECT_EQ(DeletedSlots(), (std::vector<int>{0, 3}));
                EXPECT_EQ(ReadFile(kPrivateFile), DatabaseFile({damaged}));
            }
            StorageAdapterDetach(&pipeline);
        }
    }
}

// Damage in a block that is not this host's (another host's or sensor's, a
// list that is not searched) says nothing of this host's templates.
TEST_F(ReconcileTest, DamageOutsideThisHostsBlocksStopsNothing) {
    auto damaged = [](Bytes block) {
        block[19] = 2;
        return block;
    };
    const Bytes mine = OwnedBlock(1, 2, KeyBytes(1));
    Bytes otherSensor = SimSensorId();
    otherSensor[5] ^= 1;
    BlockFields otherType;
    otherType.type = 0x12;
    const Bytes foreign = damaged(OwnedBlock(1, 2, KeyBytes(1), OtherOwner()));
    const Bytes elsewhere = damaged(OwnedBlock(1, 2, KeyBytes(1), SimHostOwner(), otherSensor));
    const Bytes plain = damaged(PlainBlock(1, 2, KeyBytes(1)));
    const Bytes other = damaged(Block(otherType));
    struct Case {
        const char* name;
        Bytes block;
        std::vector<Bytes> saved; // plain, owned, other
    } cases[] = {
        {"another host's block", foreign, {mine, foreign}},
        {"another sensor's block", elsewhere, {mine, elsewhere}},
        {"a plain block", plain, {plain, mine}},
        {"a block of another type", other, {mine, other}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Prepare(true, {{0, 1, 2, 1}, {3, 1, 3, 3}}, {mine, c.block});
        EXPECT_EQ(Open(), S_OK);
        EXPECT_EQ(DeletedSlots(), std::vector<int>{3});
        EXPECT_EQ(ReadFile(kPrivateFile), DatabaseFile(c.saved));
        StorageAdapterDetach(&pipeline);
    }
}

// A count lowered by hand leaves past the counted blocks a block that the
// loader does not take, and a reconciliation would delete the template it
// keeps. The open loads the file but reconciles nothing, and leaves the chip's
// version for the next open.
TEST_F(ReconcileTest, BytesPastTheCountedBlocksStopTheReconciliation) {
    const Bytes kept = PlainBlock(1, 2, KeyBytes(1)), hidden = PlainBlock(1, 3, KeyBytes(3));
    struct Case {
        const char* name;
        Bytes file;
    } cases[] = {
        {"a block count lowered by hand", DatabaseFile({kept, hidden}, 29, 3, {}, {}, 1)},
        {"a block behind a block of zeros and a part",
         DatabaseFile({kept}, 29, 3, {}, Concat({Bytes(1024, 0), hidden, Bytes(5, 7)}))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Prepare(false, {{0, 1, 2, 1}, {3, 1, 3, 3}}, {});
        WriteFile(kPrivateFile, c.file);
        sensor->SetDatabaseVersion(2);
        EXPECT_EQ(Open(), S_OK);
        EXPECT_TRUE(DeletedSlots().empty());
        EXPECT_EQ(ReadFile(kPrivateFile), c.file);
        EXPECT_EQ(sensor->DatabaseVersion(), 2u);
        StorageAdapterDetach(&pipeline);
    }
}

// Bytes past the counted blocks that cannot be a block the count hides are
// the file's own: the open reconciles, and its save carries them as they are.
TEST_F(ReconcileTest, OtherBytesPastTheCountedBlocksAreReconciledAndKept) {
    const Bytes kept = PlainBlock(1, 2, KeyBytes(1)), orphan = PlainBlock(1, 5, KeyBytes(5));
    Bytes typedLate(1500, 0x10);
    typedLate[0] = 0;
    const Bytes trailings[] = {Bytes(5, 0x10), Bytes(1023, 0x11),
                               Concat({{0x12}, Bytes(1023, 0x11)}), typedLate};
    for (const Bytes& trailing : trailings) {
        SCOPED_TRACE(trailing.size());
        Prepare(false, {{0, 1, 2, 1}, {3, 1, 3, 3}}, {});
        WriteFile(kPrivateFile, DatabaseFile({kept, orphan}, 29, 3, {}, trailing));
        sensor->SetDatabaseVersion(2);
        EXPECT_EQ(Open(), S_OK);
        EXPECT_EQ(DeletedSlots(), std::vector<int>{3});
        EXPECT_EQ(ReadFile(kPrivateFile), DatabaseFile({kept}, 29, 3, {}, trailing));
        EXPECT_EQ(sensor->DatabaseVersion(), 3u);
        StorageAdapterDetach(&pipeline);
    }
}

TEST_F(ReconcileTest, DroppedBlocksCloseUp) {
    const Bytes a = PlainBlock(1, 1, KeyBytes(1)), b = PlainBlock(1, 2, KeyBytes(2)),
                c = PlainBlock(1, 3, KeyBytes(3));
    Prepare(false, {{0, 1, 2, 2}}, {a, b, c});
    EXPECT_EQ(Open(), S_OK);
    EXPECT_EQ(ReadFile(kPrivateFile), DatabaseFile({b}));
    EXPECT_EQ(BlocksOf(Context().PlainBlocks), std::vector<Bytes>{b});
}

TEST_F(ReconcileTest, FailedDeletionStopsBeforeTheFileChanges) {
    const Bytes orphan = PlainBlock(1, 9, KeyBytes(9));
    Prepare(false, {{1, 1, 2, 1}, {3, 1, 2, 3}, {5, 1, 2, 5}}, {orphan});
    const Bytes file = ReadFile(kPrivateFile);
    simsensor::Fault ok; // answered as usual
    ok.kind = simsensor::Fault::Kind::Short;
    simsensor::Fault fail;
    fail.error = ERROR_GEN_FAILURE;
    sensor->PlanFault(IOCTL_MOC_DELETE_TEMPLATE, ok);
    sensor->PlanFault(IOCTL_MOC_DELETE_TEMPLATE, fail);
    EXPECT_EQ(Open(), MocFailure(MOC_E_DELETE_TEMPLATE, ERROR_GEN_FAILURE));
    EXPECT_EQ(DeletedSlots(), (std::vector<int>{1, 3}));
    EXPECT_EQ(sensor->Slot(1).state, MOC_SLOT_STATE_FREE);
    EXPECT_EQ(sensor->Slot(5).state, MOC_SLOT_STATE_USED);
    EXPECT_EQ(ReadFile(kPrivateFile), file);
    EXPECT_EQ(sensor->CountOf(IOCTL_MOC_DATABASE_VERSION), 1u); // the get, no set
}

TEST_F(ReconcileTest, MigrationMergesBothLegacyFiles) {
    const Bytes shared = PlainBlock(1, 2, KeyBytes(1));
    const Bytes twin = PlainBlock(1, 3, KeyBytes(3), 3);
    const Bytes record = Bytes(shared.begin() + 19, shared.begin() + 19 + 124);
    const Bytes other = PlainBlock(1, 4, KeyBytes(4), 4);
    Bytes damagedTwin = twin;
    damagedTwin[20] = 9;
    // A sectioned file takes its records whatever their valid byte: an erased
    // one describes no template and stops no reconciliation.
    const Bytes sectioned = Concat({{0x70, 0x80, 0x68, 0x66, 0},
                                    Le16(1),
                                    {0x10},
                                    Le16(2),
                                    {0},
                                    Le16(14),
                                    {0},
                                    record,
                                    Bytes(124, 0xFF)});
    struct Case {
        const char* name;
        Bytes recordFile;          // empty: no file
        std::vector<Bytes> blocks; // of the legacy block file; empty: no file
        std::vector<Bytes> saved;
        std::vector<int> deleted;
    } cases[] = {
        {"only the record file", record, {}, {shared, other}, {1}},
        {"an erased record in a section", sectioned, {}, {shared, other}, {1}},
        {"a block in both files once",
         record,
         {shared, twin, twin},
         {shared, twin, twin, other},
         {}},
        // Its lost records may describe any slot: nothing is reconciled.
        {"a record file whose count runs past its end, no block file",
         Concat({Le16(9), Bytes(157, 1)}),
         {},
         {other},
         {}},
        // Written into the private file, it would stop every later reconciliation.
        {"a malformed block in the block file", {}, {damagedTwin}, {other}, {}},
    };
    for (const Case& c : cases) {
        DeleteFileA(kLegacyRecordFile);
        DeleteFileA(kLegacyBlockFile);
        Prepare(false, {{0, 1, 2, 1}, {1, 1, 3, 3}, {2, 1, 4, 4}}, {other});
        if (!c.recordFile.empty())
            WriteFile(kLegacyRecordFile, c.recordFile);
        if (!c.blocks.empty())
            WriteFile(kLegacyBlockFile, DatabaseFile(c.blocks));
        sensor->SetDatabaseVersion(1);
        EXPECT_EQ(Open(), S_OK) << c.name;
        EXPECT_EQ(DeletedSlots(), c.deleted) << c.name;
        EXPECT_EQ(ReadFile(kPrivateFile), DatabaseFile(c.saved)) << c.name;
        StorageAdapterDetach(&pipeline);
    }
}

} // namespace
} // namespace storage_test
