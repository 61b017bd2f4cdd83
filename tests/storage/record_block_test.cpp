// The tests every storage operation shares: which blocks and slots are this
// host's, when a block describes a slot, identity keys and their matching,
// and the removal of blocks.
#include <algorithm>
#include <cstring>
#include <mbedtls/md.h>
#include "storage/record_block.h"
#include "storage_fixture.h"

namespace storage_test {
namespace {

class RecordBlockTest : public StorageTest {};

const DatabaseRecordBlock& AsBlock(const Bytes& bytes) {
    return *reinterpret_cast<const DatabaseRecordBlock*>(bytes.data());
}

TEST_F(RecordBlockTest, HostBlocksByModeSensorAndOwner) {
    Bytes zeroFirst = OtherOwner();
    zeroFirst[0] = 0;
    Bytes hostButLast = SimHostOwner();
    hostButLast[15] ^= 1;
    Bytes otherSensor = SimSensorId();
    otherSensor[31] ^= 1;
    struct Case {
        const char* name;
        bool ownerIdMode;
        Bytes block;
        bool hosts;
    } cases[] = {
        {"this host", true, OwnedBlock(1, 2, KeyBytes(1)), true},
        {"no owner", true, OwnedBlock(1, 2, KeyBytes(1), Bytes(16, 0)), true},
        {"first owner byte zero", true, OwnedBlock(1, 2, KeyBytes(1), zeroFirst), true},
        {"another host", true, OwnedBlock(1, 2, KeyBytes(1), OtherOwner()), false},
        {"last owner byte differs", true, OwnedBlock(1, 2, KeyBytes(1), hostButLast), false},
        {"another sensor", true, OwnedBlock(1, 2, KeyBytes(1), SimHostOwner(), otherSensor), false},
        {"plain mode ignores owner and sensor", false, OwnedBlock(1, 2, KeyBytes(1), OtherOwner()),
         true},
    };
    for (const Case& c : cases) {
        Attach(c.ownerIdMode);
        EXPECT_EQ(IsHostBlock(Context(), AsBlock(c.block)), c.hosts) << c.name;
        Bytes unused = c.block;
        unused[19] = 0;
        EXPECT_FALSE(IsHostBlock(Context(), AsBlock(unused))) << c.name;
        StorageAdapterDetach(&pipeline);
    }
}

// Whether an open would reconcile a file: the adapter judges the lists it
// loaded, a reader outside it the file's bytes, and both must agree.
TEST_F(RecordBlockTest, TheFileAndItsLoadedListsTellTheSameSkip) {
    auto malformed = [](Bytes block) {
        block[19] = 0xFF;
        return block;
    };
    const Bytes mine = OwnedBlock(1, 2, KeyBytes(1)), plain = PlainBlock(1, 2, KeyBytes(1));
    const Bytes foreign = malformed(OwnedBlock(1, 2, KeyBytes(1), OtherOwner()));
    // `size` bytes past the counted blocks, zero but for a type byte at `at`.
    auto past = [&](bool ownerIdMode, size_t size, size_t at, uint8_t type) {
        Bytes trailing(size, 0);
        trailing[at] = type;
        return DatabaseFile({ownerIdMode ? mine : plain}, 29, 3, {}, trailing);
    };
    struct Case {
        const char* name;
        bool ownerIdMode;
        Bytes file;
        ReconcileSkip skip;
    } cases[] = {
        {"whole blocks", true, DatabaseFile({mine, plain}), ReconcileSkip::None},
        {"a longer header", false, DatabaseFile({plain}, 40, 3, Bytes(11, 1)), ReconcileSkip::None},
        // Only a whole block at a block boundary, typed as a block, may be one the count hides.
        {"a byte past the blocks", true, DatabaseFile({mine}, 29, 3, {}, {0}), ReconcileSkip::None},
        {"a block type byte alone", false, past(false, 1, 0, 0x10), ReconcileSkip::None},
        {"1023 bytes led by a block type", true, past(true, 1023, 0, 0x11), ReconcileSkip::None},
        {"a block of zeros", false, past(false, 1024, 0, 0), ReconcileSkip::None},
        {"a block of another type", true, past(true, 1024, 0, 0x12), ReconcileSkip::None},
        {"a block type inside a block", true, past(true, 1024, 1, 0x11), ReconcileSkip::None},
        {"a block type in the part after a block", false, past(false, 1500, 1024, 0x10),
         ReconcileSkip::None},
        {"a plain block", false, past(false, 1024, 0, 0x10), ReconcileSkip::UncountedBytes},
        {"an owned block", true, past(true, 1024, 0, 0x11), ReconcileSkip::UncountedBytes},
        {"a plain block in owner-id mode", true, past(true, 1024, 0, 0x10),
         ReconcileSkip::UncountedBytes},
        {"an owned second block", false, past(false, 2048, 1024, 0x11),
         ReconcileSkip::UncountedBytes},
        {"a block and a part", true, past(true, 1500, 0, 0x10), ReconcileSkip::UncountedBytes},
        {"a count lowered", false, DatabaseFile({plain, plain}, 29, 3, {}, {}, 1),
         ReconcileSkip::UncountedBytes},
        {"a malformed block of this host", true, DatabaseFile({mine, malformed(mine)}),
         ReconcileSkip::MalformedHostBlock},
        {"of this host in plain mode", false, DatabaseFile({malformed(plain)}),
         ReconcileSkip::MalformedHostBlock},
        {"of another host", true, DatabaseFile({mine, foreign}), ReconcileSkip::None},
        {"of the list not searched", true, DatabaseFile({malformed(plain)}), ReconcileSkip::None},
        {"in plain mode, an owned one", false, DatabaseFile({malformed(mine)}),
         ReconcileSkip::None},
    };
    BYTE sensorId[MOC_SENSOR_ID_SIZE];
    std::copy_n(SimSensorId().begin(), sizeof(sensorId), sensorId);
    HostOwnerId host;
    std::copy_n(SimHostOwner().begin(), sizeof(host.Bytes), host.Bytes);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Attach(c.ownerIdMode);
        UseDatabase({});
        WriteFile(kPrivateFile, c.file);
        ASSERT_EQ(ReloadDatabaseFile(&Context()), S_OK);
        EXPECT_EQ(ReconcileSkipOf(Context()), c.skip);
        EXPECT_EQ(ReconcileHoldOfFile(c.file, c.ownerIdMode, sensorId, host).Skip(), c.skip);
        StorageAdapterDetach(&pipeline);
    }
}

TEST_F(RecordBlockTest, SlotsOfThisHostAndOfOthers) {
    struct Case {
        const char* name;
        bool ownerIdMode;
        uint8_t state;
        Bytes owner;
        bool host, foreign;
    } cases[] = {
        {"owned by this host", true, 1, SimHostOwner(), true, false},
        {"owned by another", true, 1, OtherOwner(), false, true},
        {"zero owner is another's", true, 1, Bytes(16, 0), false, true},
        {"free", true, 0, SimHostOwner(), false, false},
        {"neither used nor free", true, 2, OtherOwner(), false, false},
        {"plain mode: every used slot", false, 1, OtherOwner(), true, false},
    };
    for (const Case& c : cases) {
        Attach(c.ownerIdMode);
        SetSlot(3, 1, 2, KeyBytes(9), c.owner, c.state);
        ASSERT_EQ(ReadTemplateTable(Context()), S_OK) << c.name;
        EXPECT_EQ(IsHostSlot(Context(), 3), c.host) << c.name;
        EXPECT_EQ(IsForeignSlot(Context(), 3), c.foreign) << c.name;
        EXPECT_FALSE(IsHostSlot(Context(), 10) || IsForeignSlot(Context(), 10)) << c.name;
        StorageAdapterDetach(&pipeline);
    }
}

// A failed or short read must never leave entries that read as slots.
TEST_F(RecordBlockTest, TableReadClearsTheBufferFirst) {
    Attach(true);
    SetSlot(0, 1, 2, KeyBytes(9));
    ASSERT_EQ(ReadTemplateTable(Context()), S_OK);
    ASSERT_TRUE(IsHostSlot(Context(), 0));
    sensor->FailNext(IOCTL_MOC_READ_TEMPLATE_TABLE, ERROR_GEN_FAILURE);
    EXPECT_EQ(ReadTemplateTable(Context()),
              MocFailure(MOC_E_READ_TEMPLATE_TABLE, ERROR_GEN_FAILURE));
    EXPECT_FALSE(IsHostSlot(Context(), 0));
    ASSERT_EQ(ReadTemplateTable(Context()), S_OK);
    sensor->ReplyShort(IOCTL_MOC_READ_TEMPLATE_TABLE, 52 * 9);
    EXPECT_EQ(ReadTemplateTable(Context()),
              MocFailure(MOC_E_READ_TEMPLATE_TABLE, ERROR_INVALID_DATA));
    EXPECT_FALSE(IsHostSlot(Context(), 0));
}

TEST_F(RecordBlockTest, BlockDescribesSlotByKindSubFactorAndKey) {
    Attach(true);
    const Bytes key = KeyBytes(0x30);
    Bytes otherKey = key;
    otherKey[31] ^= 1;
    struct Case {
        uint8_t kind, subFactor;
        Bytes key;
        bool describes;
    } cases[] = {
        {1, 2, key, true}, {0, 2, key, false}, {1, 3, key, false}, {1, 2, otherKey, false}};
    for (const Case& c : cases) {
        SetSlot(0, c.kind, c.subFactor, c.key);
        ASSERT_EQ(ReadTemplateTable(Context()), S_OK);
        EXPECT_EQ(BlockDescribesSlot(AsBlock(OwnedBlock(1, 2, key)), SlotAt(Context(), 0)),
                  c.describes)
            << int(c.kind) << "/" << int(c.subFactor);
    }
}

TEST_F(RecordBlockTest, IdentityKeysAndTheirMatching) {
    WINBIO_IDENTITY sid{};
    sid.Type = WINBIO_ID_TYPE_SID;
    sid.Value.AccountSid.Size = 12;
    std::memcpy(sid.Value.AccountSid.Data, KeyBytes(0x50).data(), 12);
    WINBIO_IDENTITY guid{};
    guid.Type = WINBIO_ID_TYPE_GUID;
    guid.Value.TemplateGuid = {
        0x00112233, 0x4455, 0x6677, {0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}};
    WINBIO_IDENTITY secure{};
    secure.Type = WINBIO_ID_TYPE_SECURE_ID;
    std::memcpy(secure.Value.SecureId, KeyBytes(0x70).data(), 32);
    WINBIO_IDENTITY wildcard{};
    wildcard.Type = WINBIO_ID_TYPE_WILDCARD;
    wildcard.Value.Wildcard = WINBIO_IDENTITY_WILDCARD;

    Bytes sidKey = KeyBytes(0x50);
    std::fill(sidKey.begin() + 12, sidKey.end(), 0x99); // beyond the SID: not compared
    Bytes guidKey =
        Concat({moc_test::FromHex("00112233445566778899aabbccddeeff"), Bytes(16, 0x42)});
    Bytes digest(32);
    mbedtls_md(mbedtls_md_info_from_type(MBEDTLS_MD_SHA256), KeyBytes(0x70).data(), 32,
               digest.data());

    struct Case {
        const char* name;
        const WINBIO_IDENTITY& identity;
        bool hashed;
        BYTE kind, length;
        Bytes matching, failing;
    } cases[] = {
        {"sid", sid, false, 0, 12, sidKey, KeyBytes(0x51)},
        {"guid", guid, false, 2, 16, guidKey, KeyBytes(0x00)},
        {"secure id", secure, false, 1, 32, KeyBytes(0x70), digest},
        {"secure id, hashed", secure, true, 1, 32, digest, KeyBytes(0x70)},
    };
    for (const Case& c : cases) {
        Attach(false, c.hashed);
        IdentitySearchKey key;
        ASSERT_EQ(MakeIdentitySearchKey(Context(), c.identity, &key), S_OK) << c.name;
        EXPECT_EQ(key.Kind, c.kind) << c.name;
        EXPECT_EQ(key.Length, c.length) << c.name;
        IdentityKey matching, failing;
        std::memcpy(matching.Bytes, c.matching.data(), 32);
        std::memcpy(failing.Bytes, c.failing.data(), 32);
        EXPECT_TRUE(MatchesIdentity(key, matching)) << c.name;
        EXPECT_FALSE(MatchesIdentity(key, failing)) << c.name;
        StorageAdapterDetach(&pipeline);
    }

    Attach();
    IdentitySearchKey key;
    ASSERT_EQ(MakeIdentitySearchKey(Context(), wildcard, &key), S_OK);
    EXPECT_TRUE(MatchesIdentity(key, IdentityKey{}));
    // Sizes that would match everything or overrun the key, and unknown kinds.
    WINBIO_IDENTITY bad = sid;
    for (ULONG size : {0u, 33u, 68u, 0xFFFFFFFFu}) {
        bad.Value.AccountSid.Size = size;
        EXPECT_EQ(MakeIdentitySearchKey(Context(), bad, &key), E_INVALIDARG) << size;
    }
    bad = wildcard;
    bad.Value.Wildcard = 0;
    EXPECT_EQ(MakeIdentitySearchKey(Context(), bad, &key), E_INVALIDARG);
    for (ULONG type : {0u, 5u}) {
        bad.Type = type;
        EXPECT_EQ(MakeIdentitySearchKey(Context(), bad, &key), E_INVALIDARG) << type;
    }
}

TEST_F(RecordBlockTest, RemovingBlocksKeepsTheOthersInOrder) {
    const Bytes a = PlainBlock(1, 1, KeyBytes(1), 1), b = PlainBlock(1, 1, KeyBytes(2), 2),
                c = PlainBlock(1, 1, KeyBytes(3), 3), d = PlainBlock(1, 1, KeyBytes(4), 4);
    struct Case {
        std::vector<DWORD> offsets;
        std::vector<Bytes> left;
    } cases[] = {
        {{0, 2048}, {b}},
        {{1024}, {a, c}},
        {{0, 1024, 2048}, {}},
        {{}, {a, b, c}},
    };
    for (const Case& k : cases) {
        BlockList list = Concat({a, b, c});
        RemoveBlocksAt(list, k.offsets);
        EXPECT_EQ(BlocksOf(list), k.left) << k.offsets.size();
    }
    BlockList list = Concat({a, b});
    ASSERT_TRUE(AppendBlock(list, AsBlock(d)));
    RemoveBlock(list, 0);
    EXPECT_EQ(BlocksOf(list), (std::vector<Bytes>{b, d}));

    struct PickCase {
        std::vector<uint8_t> picked; // marks
        std::vector<Bytes> left;
    } picks[] = {{{1, 3}, {b, d}}, {{2}, {a, c, d}}, {{1, 2, 3, 4}, {}}, {{}, {a, b, c, d}}};
    for (const PickCase& k : picks) {
        BlockList all = Concat({a, b, c, d});
        std::vector<uint8_t> seen;
        size_t removed = RemoveBlocksWhere(all, [&](const DatabaseRecordBlock& block) {
            const uint8_t mark = reinterpret_cast<const BYTE*>(&block)[600];
            seen.push_back(mark);
            return std::find(k.picked.begin(), k.picked.end(), mark) != k.picked.end();
        });
        EXPECT_EQ(removed, k.picked.size());
        EXPECT_EQ(BlocksOf(all), k.left) << k.picked.size();
        EXPECT_EQ(seen, (std::vector<uint8_t>{1, 2, 3, 4})); // each block once, in order
    }
}

TEST_F(RecordBlockTest, IndexAndAccountFields) {
    const ULONG elements[] = {5, 7, 0x01020304, 0xFFFFFFFF};
    struct Case {
        DWORD count;
        const char* hex;
    } cases[] = {
        {2, "0000000500000007"
            "0000000000000000"},
        {4, "0000000500000007"
            "01020304ffffffff"},
        {0, "0000000000000000"
            "0000000000000000"},
    };
    for (const Case& c : cases) {
        Bytes image = PlainBlock(1, 1, KeyBytes(1));
        std::fill(image.begin() + 85, image.begin() + 101, 0xEE);
        auto& block = *reinterpret_cast<DatabaseRecordBlock*>(image.data());
        StoreIndexElements(elements, c.count, block.IndexVector);
        EXPECT_EQ(moc_test::Hex(image.data() + 85, 16), c.hex) << c.count;
        for (DWORD i = 0; i < c.count; ++i)
            EXPECT_EQ(IndexElementAt(block, i), elements[i]) << i;
    }

    const Bytes sid = Concat({AccountSid(3), Bytes(16, 0)});
    const Bytes block = WithAccount(PlainBlock(1, 1, KeyBytes(1)), AccountSid(3));
    struct AccountCase {
        const char* name;
        Bytes sid;
        DWORD length;
        bool is;
    } accounts[] = {
        {"same account", AccountSid(3), 12, true},
        {"another account", AccountSid(4), 12, false},
        {"no account would match every block", AccountSid(3), 0, false},
        {"beyond the field", Concat({sid, Bytes(4, 0)}), 29, false},
        {"the whole field", sid, 28, true},
    };
    for (const AccountCase& c : accounts)
        EXPECT_EQ(BlockAccountIs(AsBlock(block), c.sid.data(), c.length), c.is) << c.name;
}

} // namespace
} // namespace storage_test
