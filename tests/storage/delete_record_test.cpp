// Deleting records: the exact blocks and chip slots each deletion mode takes,
// its failures, and a table read afresh for every call.
#include <algorithm>
#include "storage_fixture.h"

namespace storage_test {
namespace {

class DeleteRecordTest : public TracedStorageTest {
protected:
    // Slots and blocks of three secure identities A, B, C, D and a SID S:
    //   slot 0: A finger 2   slot 1: A finger 3   slot 2: A finger 2, another host
    //   slot 3: B finger 2   slot 4: S finger 2   slot 5: D finger 2 (no block)
    //   block 1: A finger 2  block 2: A finger 3  block 3: B finger 2
    //   block 4: S finger 2  block 5: C finger 2 (no slot)
    //   block 6: of another type, never searched
    //   block 7 (owner-id mode): A finger 2 of another sensor
    // In hashed mode the secure identities are stored as their digests.
    void Populate(bool ownerIdMode, bool hashed) {
        auto stored = [&](const Bytes& value) { return hashed ? Sha256Of(value) : value; };
        SetSlot(0, 1, 2, stored(kA));
        SetSlot(1, 1, 3, stored(kA));
        SetSlot(2, 1, 2, stored(kA), OtherOwner());
        SetSlot(3, 1, 2, stored(kB));
        SetSlot(4, 0, 2, SidKey());
        SetSlot(5, 1, 2, stored(kD));
        auto block = [&](uint8_t kind, uint8_t subFactor, const Bytes& key, uint8_t mark) {
            Bytes b =
                ownerIdMode ? OwnedBlock(kind, subFactor, key) : PlainBlock(kind, subFactor, key);
            b[600] = mark;
            return b;
        };
        original = {block(1, 2, stored(kA), 1), block(1, 3, stored(kA), 2),
                    block(1, 2, stored(kB), 3), block(0, 2, SidKey(), 4),
                    block(1, 2, stored(kC), 5)};
        BlockFields other;
        other.type = 0x20;
        other.mark = 6;
        original.push_back(Block(other));
        if (ownerIdMode) {
            Bytes otherSensor = SimSensorId();
            otherSensor[5] ^= 1;
            Bytes b = OwnedBlock(1, 2, stored(kA), SimHostOwner(), otherSensor);
            b[600] = 7;
            original.push_back(b);
        }
        UseDatabase(original);
    }
    static Bytes SidKey() {
        Bytes key = AccountSid(3);
        key.resize(32, 0);
        return key;
    }
    std::vector<uint8_t> Marks() {
        std::vector<uint8_t> marks;
        for (const Bytes& b : FileBlocks())
            marks.push_back(b[600]);
        std::sort(marks.begin(), marks.end());
        return marks;
    }

    const Bytes kA = KeyBytes(0x10), kB = KeyBytes(0x20), kC = KeyBytes(0x30), kD = KeyBytes(0x40);
    std::vector<Bytes> original;
};

TEST_F(DeleteRecordTest, EachModeTakesTheExactBlocksAndSlots) {
    const WINBIO_IDENTITY a = SecureIdentity(KeyBytes(0x10)), c = SecureIdentity(KeyBytes(0x30)),
                          d = SecureIdentity(KeyBytes(0x40)), s = SidIdentity(AccountSid(3)),
                          any = WildcardIdentity();
    constexpr BYTE kAny = WINBIO_SUBTYPE_ANY;
    constexpr HRESULT kNone = WINBIO_E_DATABASE_NO_SUCH_RECORD;
    struct Case {
        const char* name;
        bool ownerIdMode, hashed;
        WINBIO_IDENTITY identity;
        BYTE subFactor;
        HRESULT result;
        std::vector<int> deleted;
        std::vector<uint8_t> kept;
    } cases[] = {
        {"identity over every finger", false, false, a, kAny, S_OK, {0, 1, 2}, {3, 4, 5, 6}},
        {"identity and finger", false, false, a, 2, S_OK, {0, 2}, {2, 3, 4, 5, 6}},
        {"SID and finger", false, false, s, 2, S_OK, {4}, {1, 2, 3, 5, 6}},
        {"every identity of a finger", false, false, any, 2, S_OK, {0, 2, 3, 4, 5}, {2, 6}},
        {"everything", false, false, any, kAny, S_OK, {255}, {6}},
        {"a block without slot", false, false, c, kAny, S_OK, {}, {1, 2, 3, 4, 6}},
        {"a slot without block", false, false, d, kAny, kNone, {5}, {1, 2, 3, 4, 5, 6}},
        {"hashed: found by the digest", false, true, a, kAny, S_OK, {0, 1, 2}, {3, 4, 5, 6}},
        {"owner-id mode: identity, this host only",
         true,
         false,
         a,
         kAny,
         S_OK,
         {0, 1},
         {3, 4, 5, 6, 7}},
        {"owner-id mode: every identity of a finger",
         true,
         false,
         any,
         2,
         S_OK,
         {0, 3, 4, 5},
         {2, 6, 7}},
        {"owner-id mode: everything of this host, blocks with a slot",
         true,
         false,
         any,
         kAny,
         S_OK,
         {0, 1, 3, 4, 5},
         {5, 6, 7}},
        {"owner-id mode: a slot without block",
         true,
         false,
         d,
         kAny,
         kNone,
         {5},
         {1, 2, 3, 4, 5, 6, 7}},
    };
    for (const Case& k : cases) {
        Attach(k.ownerIdMode, k.hashed);
        Populate(k.ownerIdMode, k.hashed);
        const Bytes file = ReadFile(kPrivateFile);
        EXPECT_EQ(DeleteRecord(k.identity, k.subFactor), k.result) << k.name;
        EXPECT_EQ(DeletedSlots(), k.deleted) << k.name;
        EXPECT_EQ(Marks(), k.kept) << k.name;
        if (k.result != S_OK) {
            EXPECT_EQ(ReadFile(kPrivateFile), file) << k.name;
        }
        EXPECT_TRUE(Context().KeptHeader.empty() && Context().KeptTrailing.empty()) << k.name;
        StorageAdapterDetach(&pipeline);
    }

    // Without a plain block the chip is still asked to drop everything.
    Attach();
    UseDatabase({});
    EXPECT_EQ(DeleteRecord(any, kAny), kNone);
    EXPECT_EQ(DeletedSlots(), std::vector<int>{255});
}

TEST_F(DeleteRecordTest, FailuresOfTheChip) {
    const WINBIO_IDENTITY a = SecureIdentity(KeyBytes(0x10)), any = WildcardIdentity();
    const HRESULT deleteFailed = MocFailure(MOC_E_DELETE_TEMPLATE, ERROR_GEN_FAILURE);
    struct Case {
        const char* name;
        bool ownerIdMode;
        WINBIO_IDENTITY identity;
        DWORD failing;
        HRESULT result;
        std::vector<int> deleted;
        std::vector<uint8_t> kept;
    } cases[] = {
        {"owner-id mode: a failed deletion ends it",
         true,
         a,
         IOCTL_MOC_DELETE_TEMPLATE,
         deleteFailed,
         {0},
         {1, 2, 3, 4, 5, 6, 7}},
        {"owner-id mode: the same for everything",
         true,
         any,
         IOCTL_MOC_DELETE_TEMPLATE,
         deleteFailed,
         {0},
         {1, 2, 3, 4, 5, 6, 7}},
        {"plain: a failed deletion goes on",
         false,
         a,
         IOCTL_MOC_DELETE_TEMPLATE,
         S_OK,
         {0, 1, 2},
         {3, 4, 5, 6}},
        {"a failed table read deletes no slot",
         false,
         a,
         IOCTL_MOC_READ_TEMPLATE_TABLE,
         S_OK,
         {},
         {3, 4, 5, 6}},
        {"everything still goes at once",
         false,
         any,
         IOCTL_MOC_READ_TEMPLATE_TABLE,
         S_OK,
         {255},
         {6}},
        {"plain: a failed deletion of everything keeps the file",
         false,
         any,
         IOCTL_MOC_DELETE_TEMPLATE,
         deleteFailed,
         {255},
         {1, 2, 3, 4, 5, 6}},
        {"nor in owner-id mode, where blocks go only with their slots",
         true,
         any,
         IOCTL_MOC_READ_TEMPLATE_TABLE,
         WINBIO_E_DATABASE_NO_SUCH_RECORD,
         {},
         {1, 2, 3, 4, 5, 6, 7}},
    };
    for (const Case& k : cases) {
        Attach(k.ownerIdMode);
        Populate(k.ownerIdMode, false);
        sensor->FailNext(k.failing, ERROR_GEN_FAILURE);
        EXPECT_EQ(DeleteRecord(k.identity, WINBIO_SUBTYPE_ANY), k.result) << k.name;
        EXPECT_EQ(DeletedSlots(), k.deleted) << k.name;
        EXPECT_EQ(Marks(), k.kept) << k.name;
        StorageAdapterDetach(&pipeline);
    }
}

TEST_F(DeleteRecordTest, RefusalsComeBeforeTheFile) {
    Attach();
    UseCorruptDatabase();
    EXPECT_EQ(DeleteRecord(SecureIdentity(KeyBytes(1)), 0), E_INVALIDARG);
    for (const NamedIdentity& refused : RefusedIdentities())
        EXPECT_EQ(DeleteRecord(refused.identity, 2), E_INVALIDARG) << refused.name;
    EXPECT_EQ(DeleteRecord(SidIdentity(Bytes(32, 1)), 2), WINBIO_E_DATABASE_CORRUPTED);
    EXPECT_TRUE(sensor->Log().empty());
    EXPECT_EQ(Context().DeleteCounter, 0u);

    WINBIO_IDENTITY identity = SecureIdentity(KeyBytes(1));
    EXPECT_EQ(StorageAdapterDeleteRecord(nullptr, &identity, 2), E_POINTER);
    EXPECT_EQ(StorageAdapterDeleteRecord(&pipeline, nullptr, 2), E_POINTER);
    StorageAdapterDetach(&pipeline);
    EXPECT_EQ(StorageAdapterDeleteRecord(&pipeline, &identity, 2), WINBIO_E_INVALID_DEVICE_STATE);
}

// A slot freed by one deletion and taken by another account before the next
// must not be deleted on the strength of what the first call read.
TEST_F(DeleteRecordTest, EveryCallReadsTheTableAfresh) {
    Attach(true);
    Populate(true, false);
    ASSERT_EQ(DeleteRecord(SecureIdentity(kA), 2), S_OK);
    EXPECT_EQ(DeletedSlots(), std::vector<int>{0});
    SetSlot(0, 1, 2, KeyBytes(0x77)); // enrolled since, by another account
    sensor->ClearLog();
    EXPECT_EQ(DeleteRecord(SecureIdentity(kA), 2), WINBIO_E_DATABASE_NO_SUCH_RECORD);
    EXPECT_TRUE(DeletedSlots().empty());
    EXPECT_EQ(sensor->Slot(0).state, MOC_SLOT_STATE_USED);
    EXPECT_EQ(TableReads(), 1u);
    EXPECT_EQ(Context().DeleteCounter, 2u);
}

} // namespace
} // namespace storage_test
