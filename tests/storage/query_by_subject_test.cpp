// Query by subject: the foreign-template purges, the scan rules of each
// identity kind, the purge flag with its removal, and the values the query
// leaves for the other operations.
#include <wtsapi32.h>
#include <algorithm>
#include <cstring>
#include "storage/record_block.h"
#include "storage_fixture.h"

namespace storage_test {
namespace {

class QueryBySubjectTest : public TracedStorageTest {
protected:
    void AttachWithPolicy(bool ownerIdMode, DWORD policy, BYTE slots = 10) {
        sensor->SetPolicy(MocPolicy{{0, static_cast<BYTE>(policy << 6), 0, 0, 0, 0, 0, 0}});
        Attach(ownerIdMode, false, slots);
    }
    std::vector<std::vector<uint8_t>> Inputs(DWORD code) const {
        std::vector<std::vector<uint8_t>> out;
        for (const auto& r : sensor->Log())
            if (r.code == code)
                out.push_back(r.input);
        return out;
    }
    std::vector<DWORD> Results() const { return Context().ResultList; }
    const WINIBIO_STORAGE_CONTEXT& Context() const { return *pipeline.StorageContext; }
    using StorageTest::Context;
};

TEST_F(QueryBySubjectTest, ForeignTemplatePurgeDecision) {
    enum Lock { Locked, Unlocked, Unknown, QueryFails };
    struct Case {
        const char* name;
        Lock lock;
        bool ownerIdMode;
        DWORD policy;
        uint8_t lastSlotState; // slot 3: 0 free, 1 this host's, 2 neither
        bool decides;          // the table is read for the decision
        std::vector<int> first, second;
    } cases[] = {
        {"locked", Locked, true, 2, 1, false, {}, {}},
        {"lock state unknown", Unknown, true, 3, 1, false, {}, {}},
        {"lock state query fails", QueryFails, true, 3, 1, false, {}, {}},
        {"plain mode", Unlocked, false, 2, 1, false, {}, {}},
        {"policy 0", Unlocked, true, 0, 1, false, {}, {}},
        {"policy 1 purges at open instead", Unlocked, true, 1, 1, false, {}, {}},
        {"policy 2: once per attach", Unlocked, true, 2, 0, true, {1, 2}, {}},
        {"policy 3: a slot free", Unlocked, true, 3, 0, true, {}, {}},
        {"policy 3: every slot used, each time", Unlocked, true, 3, 1, true, {1, 2}, {1, 2}},
        {"policy 3: a slot neither used nor free", Unlocked, true, 3, 2, true, {}, {}},
    };
    for (const Case& c : cases) {
        platform::test::SetConsoleLockState(c.lock == Locked    ? WTS_SESSIONSTATE_LOCK
                                            : c.lock == Unknown ? WTS_SESSIONSTATE_UNKNOWN
                                                                : WTS_SESSIONSTATE_UNLOCK);
        platform::test::FailSessionQuery(c.lock == QueryFails ? ERROR_GEN_FAILURE : 0);
        AttachWithPolicy(c.ownerIdMode, c.policy, 4);
        UseDatabase({});
        auto fillTable = [&] {
            SetSlot(0, 1, 2, KeyBytes(1));
            SetSlot(1, 1, 2, KeyBytes(2), OtherOwner());
            SetSlot(2, 0, 2, KeyBytes(3), Bytes(16, 0)); // an all-zero owner is another host
            SetSlot(3, 1, 2, KeyBytes(4), SimHostOwner(), c.lastSlotState);
        };
        for (const std::vector<int>* deleted : {&c.first, &c.second}) {
            fillTable(); // other hosts enroll again between the queries
            sensor->ClearLog();
            EXPECT_EQ(QueryBySubject(WildcardIdentity(), WINBIO_SUBTYPE_ANY),
                      WINBIO_E_DATABASE_NO_RESULTS)
                << c.name;
            EXPECT_EQ(DeletedSlots(), *deleted) << c.name;
            EXPECT_EQ(TableReads(), c.decides ? 1u : 0u) << c.name;
            EXPECT_EQ(sensor->Slot(0).state, MOC_SLOT_STATE_USED) << c.name;
        }
        StorageAdapterDetach(&pipeline);
    }
}

TEST_F(QueryBySubjectTest, FailedForeignPurgeStaysDue) {
    AttachWithPolicy(true, 2, 4);
    UseDatabase({});
    SetSlot(1, 1, 2, KeyBytes(2), OtherOwner());
    SetSlot(2, 1, 2, KeyBytes(3), OtherOwner());
    sensor->FailNext(IOCTL_MOC_READ_TEMPLATE_TABLE, ERROR_GEN_FAILURE);
    EXPECT_EQ(QueryBySubject(WildcardIdentity(), WINBIO_SUBTYPE_ANY),
              MocFailure(MOC_E_READ_TEMPLATE_TABLE, ERROR_GEN_FAILURE));
    EXPECT_EQ(Context().QueryCounter, 0u);
    sensor->FailNext(IOCTL_MOC_DELETE_TEMPLATE, ERROR_GEN_FAILURE);
    EXPECT_EQ(QueryBySubject(WildcardIdentity(), WINBIO_SUBTYPE_ANY),
              MocFailure(MOC_E_DELETE_TEMPLATE, ERROR_GEN_FAILURE));
    EXPECT_EQ(Context().FirstUnlockFlag, 0u);
    EXPECT_EQ(Context().PurgePendingFlag, 1u);
    sensor->ClearLog();
    EXPECT_EQ(QueryBySubject(WildcardIdentity(), WINBIO_SUBTYPE_ANY), WINBIO_E_DATABASE_NO_RESULTS);
    EXPECT_EQ(DeletedSlots(), (std::vector<int>{1, 2}));
    EXPECT_EQ(Context().PurgePendingFlag, 0u);
}

TEST_F(QueryBySubjectTest, ScanRulesOfEachIdentity) {
    const Bytes a = KeyBytes(0x10), b = KeyBytes(0x20);
    Bytes sidKey = AccountSid(3);
    sidKey.resize(32, 0x55); // past the SID: not compared
    const GUID guid = {
        0x00112233, 0x4455, 0x6677, {0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}};
    Bytes unused = PlainBlock(1, 1, b);
    unused[19] = 0;
    const std::vector<Bytes> plain = {
        PlainBlock(1, 1, a),
        PlainBlock(1, 2, a),
        PlainBlock(0, 1, sidKey),
        PlainBlock(
            2, 2, Concat({moc_test::FromHex("00112233445566778899aabbccddeeff"), Bytes(16, 0x42)})),
        unused,
        PlainBlock(1, 1, Sha256Of(a))};
    Bytes zeroFirst = OtherOwner();
    zeroFirst[0] = 0;
    Bytes otherSensor = SimSensorId();
    otherSensor[31] ^= 1;
    const std::vector<Bytes> owned = {
        OwnedBlock(1, 1, a), OwnedBlock(1, 1, a, SimHostOwner(), otherSensor),
        OwnedBlock(1, 1, a, OtherOwner()), OwnedBlock(1, 1, a, zeroFirst),
        OwnedBlock(0, 1, sidKey, OtherOwner())};
    constexpr BYTE kAny = WINBIO_SUBTYPE_ANY;
    struct Case {
        const char* name;
        bool ownerIdMode, hashed;
        WINBIO_IDENTITY identity;
        BYTE subFactor;
        std::vector<DWORD> results; // block offsets
    } cases[] = {
        {"listing: accounts and GUIDs only", false, false, WildcardIdentity(), kAny, {2048, 3072}},
        {"wildcard of a finger: every kind", false, false, WildcardIdentity(), 1, {0, 2048, 5120}},
        {"secure identity, any finger", false, false, SecureIdentity(a), kAny, {0, 1024}},
        {"secure identity and finger", false, false, SecureIdentity(a), 2, {1024}},
        {"a record not in use", false, false, SecureIdentity(b), kAny, {}},
        {"SID by its bytes", false, false, SidIdentity(AccountSid(3)), kAny, {2048}},
        {"SID and finger", false, false, SidIdentity(AccountSid(3)), 1, {2048}},
        {"GUID by its packed bytes", false, false, GuidIdentity(guid), kAny, {3072}},
        {"hashed: by the digest", false, true, SecureIdentity(a), kAny, {5120}},
        {"owner-id mode: this host and records without owner",
         true,
         false,
         SecureIdentity(a),
         kAny,
         {0, 3072}},
        {"owner-id mode: the listing tests owners too", true, false, WildcardIdentity(), kAny, {}},
        {"owner-id mode: wildcard of a finger", true, false, WildcardIdentity(), 1, {0, 3072}},
    };
    for (const Case& c : cases) {
        Attach(c.ownerIdMode, c.hashed);
        UseDatabase(c.ownerIdMode ? owned : plain);
        EXPECT_EQ(QueryBySubject(c.identity, c.subFactor),
                  c.results.empty() ? WINBIO_E_DATABASE_NO_RESULTS : S_OK)
            << c.name;
        EXPECT_EQ(Results(), c.results) << c.name;
        EXPECT_EQ(Context().ResultCount, c.results.size()) << c.name;
        EXPECT_EQ(Context().QueryCounter, 1u) << c.name;
        // Only a hashed query remembers the raw identity it was asked for.
        const Bytes remembered(Context().RememberedSecureId, Context().RememberedSecureId + 32);
        EXPECT_EQ(remembered, c.hashed ? a : Bytes(32, 0)) << c.name;
        EXPECT_TRUE(Context().KeptHeader.empty() && Context().KeptTrailing.empty()) << c.name;
        StorageAdapterDetach(&pipeline);
    }
}

TEST_F(QueryBySubjectTest, RefusalsComeBeforeTheFile) {
    Attach();
    UseCorruptDatabase();
    EXPECT_EQ(QueryBySubject(SecureIdentity(KeyBytes(1)), 0), E_INVALIDARG);
    for (const NamedIdentity& refused : RefusedIdentities())
        EXPECT_EQ(QueryBySubject(refused.identity, 1), E_INVALIDARG) << refused.name;
    EXPECT_EQ(QueryBySubject(SidIdentity(Bytes(32, 1)), 1), WINBIO_E_DATABASE_CORRUPTED);
    EXPECT_TRUE(sensor->Log().empty());
    EXPECT_EQ(Context().QueryCounter, 0u);
    EXPECT_EQ(Context().RememberedSidLength, 28u);

    WINBIO_IDENTITY identity = WildcardIdentity();
    EXPECT_EQ(StorageAdapterQueryBySubject(nullptr, &identity, 1), E_POINTER);
    EXPECT_EQ(StorageAdapterQueryBySubject(&pipeline, nullptr, 1), E_POINTER);
    StorageAdapterDetach(&pipeline);
    EXPECT_EQ(StorageAdapterQueryBySubject(&pipeline, &identity, 1), WINBIO_E_INVALID_DEVICE_STATE);
}

// While the chip's purge flag is set, a query by account and finger finds
// nothing, and the first such query removes the account's secure-identity
// records with their templates.
TEST_F(QueryBySubjectTest, PurgeFlagRemovesTheAccountsSecureIdentities) {
    const Bytes s = AccountSid(3), t = AccountSid(4);
    Bytes sidKey = s;
    sidKey.resize(32, 0);
    auto block = [](uint8_t kind, uint8_t subFactor, const Bytes& key, const Bytes& account,
                    uint8_t mark) {
        return WithAccount(PlainBlock(kind, subFactor, key, mark), account);
    };
    const std::vector<Bytes> blocks = {
        block(1, 1, KeyBytes(0x10), s, 1), block(0, 1, sidKey, s, 2),
        block(1, 1, KeyBytes(0x20), s, 3), block(1, 1, KeyBytes(0x40), t, 4),
        block(1, 2, KeyBytes(0x30), s, 5), block(1, 1, KeyBytes(0x10), s, 6)};
    WINBIO_IDENTITY guidAsAccount{};
    guidAsAccount.Type = WINBIO_ID_TYPE_GUID; // its value's bytes read as the SID S
    guidAsAccount.Value.AccountSid.Size = static_cast<ULONG>(s.size());
    std::copy(s.begin(), s.end(), guidAsAccount.Value.AccountSid.Data);
    struct Case {
        const char* name;
        BYTE flag;
        WINBIO_IDENTITY identity;
        DWORD failing;
        HRESULT result;
        std::vector<int> deletedAtOnce;
        std::vector<std::vector<uint8_t>> deletedTogether;
        std::vector<uint8_t> kept;
    } cases[] = {
        {"flag set", 1, SidIdentity(s), 0, WINBIO_E_DATABASE_NO_RESULTS, {1}, {{4, 6}}, {2, 4}},
        {"flag clear: the account's record is found",
         0,
         SidIdentity(s),
         0,
         S_OK,
         {},
         {},
         {1, 2, 3, 4, 5, 6}},
        {"table read fails: nothing is removed",
         1,
         SidIdentity(s),
         IOCTL_MOC_READ_TEMPLATE_TABLE,
         WINBIO_E_DATABASE_NO_RESULTS,
         {},
         {},
         {1, 2, 3, 4, 5, 6}},
        {"a query by GUID names no account",
         1,
         guidAsAccount,
         0,
         WINBIO_E_DATABASE_NO_RESULTS,
         {},
         {},
         {1, 2, 3, 4, 5, 6}},
    };
    for (const Case& c : cases) {
        Attach();
        sensor->SetPurgeFlag(c.flag);
        SetSlot(1, 1, 1, KeyBytes(0x10));
        SetSlot(4, 1, 1, KeyBytes(0x20));
        SetSlot(6, 1, 2, KeyBytes(0x30));
        SetSlot(7, 1, 1, KeyBytes(0x40));
        UseDatabase(blocks);
        // The buffer holds what an earlier operation read, as it would.
        ASSERT_EQ(ReadTemplateTable(Context()), S_OK);
        sensor->ClearLog();
        if (c.failing != 0)
            sensor->FailNext(c.failing, ERROR_GEN_FAILURE);
        EXPECT_EQ(QueryBySubject(c.identity, 1), c.result) << c.name;
        EXPECT_EQ(DeletedSlots(), c.deletedAtOnce) << c.name;
        EXPECT_EQ(Inputs(IOCTL_MOC_DELETE_TEMPLATES), c.deletedTogether) << c.name;
        std::vector<uint8_t> marks;
        for (const Bytes& b : FileBlocks())
            marks.push_back(b[600]);
        EXPECT_EQ(marks, c.kept) << c.name;
        StorageAdapterDetach(&pipeline);
    }

    // A later query of the same activation that finds nothing asks no flag.
    Attach();
    sensor->SetPurgeFlag(0);
    UseDatabase(blocks);
    ASSERT_EQ(QueryBySubject(SecureIdentity(KeyBytes(0x99)), 1), WINBIO_E_DATABASE_NO_RESULTS);
    EXPECT_EQ(sensor->CountOf(IOCTL_MOC_GET_PURGE_FLAG), 1u);
    sensor->SetPurgeFlag(1);
    EXPECT_EQ(QueryBySubject(SecureIdentity(KeyBytes(0x99)), 1), WINBIO_E_DATABASE_NO_RESULTS);
    EXPECT_EQ(sensor->CountOf(IOCTL_MOC_GET_PURGE_FLAG), 1u);
    EXPECT_EQ(FileBlocks().size(), blocks.size());
}

// Owner-id mode: the removal takes this host's record and template of the
// account only; another host's slot and block of the same identity, and a
// block of another sensor, stay.
TEST_F(QueryBySubjectTest, PurgeFlagRemovalSparesOtherHostsAndSensors) {
    const Bytes s = AccountSid(3), k = KeyBytes(0x10);
    Bytes otherSensor = SimSensorId();
    otherSensor[7] ^= 1;
    Attach(true);
    sensor->SetPurgeFlag(1);
    SetSlot(1, 1, 1, k, OtherOwner());
    SetSlot(3, 1, 1, k);
    auto block = [&](const Bytes& owner, const Bytes& sensorId, uint8_t mark) {
        Bytes b = WithAccount(OwnedBlock(1, 1, k, owner, sensorId), s);
        b[600] = mark;
        return b;
    };
    UseDatabase({block(OtherOwner(), SimSensorId(), 1), block(SimHostOwner(), SimSensorId(), 2),
                 block(SimHostOwner(), otherSensor, 3)});
    EXPECT_EQ(QueryBySubject(SidIdentity(s), 1), WINBIO_E_DATABASE_NO_RESULTS);
    EXPECT_EQ(DeletedSlots(), std::vector<int>{3});
    EXPECT_EQ(sensor->CountOf(IOCTL_MOC_DELETE_TEMPLATES), 0u);
    std::vector<uint8_t> marks;
    for (const Bytes& b : FileBlocks())
        marks.push_back(b[600]);
    EXPECT_EQ(marks, (std::vector<uint8_t>{1, 3}));
}

// After a change that failed part-way, or that removed the file, the lists
// may not be the file's: the queries that follow answer from what the file
// holds, neither hiding a record that is still there nor showing one that was
// never saved or is gone.
TEST_F(QueryBySubjectTest, QueriesAfterAFailedChangeSeeTheFile) {
    const WINBIO_IDENTITY a = SecureIdentity(KeyBytes(0x10)), b = SecureIdentity(KeyBytes(0x20));
    const Bytes account = AccountSid(3);
    struct Case {
        const char* name;
        bool ownerIdMode;
        std::function<void()> fault;
        std::function<HRESULT()> change;
        HRESULT changeResult;
        WINBIO_IDENTITY query;
        std::vector<DWORD> results;
        bool removesFile = false;
    } cases[] = {
        {"a deletion whose slot deletion fails",
         true,
         [this] { sensor->FailNext(IOCTL_MOC_DELETE_TEMPLATE, ERROR_GEN_FAILURE); },
         [&] { return DeleteRecord(a, WINBIO_SUBTYPE_ANY); },
         MocFailure(MOC_E_DELETE_TEMPLATE, ERROR_GEN_FAILURE),
         a,
         {0}},
        {"a deletion whose save fails",
         false,
         [] { platform::test::FailNextFileCall("MoveFileExW", ERROR_ACCESS_DENIED); },
         [&] { return DeleteRecord(a, WINBIO_SUBTYPE_ANY); },
         WINBIO_E_DATABASE_CORRUPTED,
         a,
         {0}},
        {"a deletion whose file cannot be read",
         false,
         [] { platform::test::FailNextFileCall("CreateFileA", ERROR_SHARING_VIOLATION); },
         [&] { return DeleteRecord(a, WINBIO_SUBTYPE_ANY); },
         WINBIO_E_DATABASE_CORRUPTED,
         a,
         {0}},
        {"an addition whose save fails",
         false,
         [] { platform::test::FailNextFileCall("MoveFileExW", ERROR_ACCESS_DENIED); },
         [&] { return AddRecord(b, 2); },
         WINBIO_E_DATABASE_CORRUPTED,
         b,
         {}},
        {"a purge-flag removal whose slot deletion and save fail",
         false,
         [this] {
             sensor->SetPurgeFlag(1);
             sensor->FailNext(IOCTL_MOC_DELETE_TEMPLATE, ERROR_GEN_FAILURE);
             platform::test::FailNextFileCall("MoveFileExW", ERROR_ACCESS_DENIED);
         },
         [&] {
             // The removal comes with the first query of an activation.
             StorageAdapterActivate(&pipeline);
             return QueryBySubject(SidIdentity(account), 2);
         },
         WINBIO_E_DATABASE_CORRUPTED,
         a,
         {0}},
        {"an open whose migrated records are not saved",
         false,
         [this] {
             WriteFile(kLegacyBlockFile, DatabaseFile({PlainBlock(1, 2, KeyBytes(0x20))}));
             sensor->SetDatabaseVersion(2);
             sensor->FailNext(IOCTL_MOC_READ_TEMPLATE_TABLE, ERROR_GEN_FAILURE);
         },
         [&] { return Open(); },
         S_OK,
         b,
         {}},
        {"an erase whose chip step fails",
         true,
         [this] { sensor->FailNext(IOCTL_MOC_READ_TEMPLATE_TABLE, ERROR_GEN_FAILURE); },
         [&] { return Erase(); },
         MocFailure(MOC_E_READ_TEMPLATE_TABLE, ERROR_GEN_FAILURE),
         a,
         {},
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DeleteFileA(kLegacyBlockFile);
        Attach(c.ownerIdMode);
        SetSlot(0, 1, 2, KeyBytes(0x10));
        UseDatabase({WithAccount(c.ownerIdMode ? OwnedBlock(1, 2, KeyBytes(0x10))
                                               : PlainBlock(1, 2, KeyBytes(0x10)),
                                 account)});
        const Bytes file = ReadFile(kPrivateFile);
        // A first query loads the lists; the later ones answer from them.
        ASSERT_EQ(QueryBySubject(a, 2), S_OK);
        c.fault();
        EXPECT_EQ(c.change(), c.changeResult);
        if (c.removesFile) {
            // With no file there is nothing to answer from.
            EXPECT_FALSE(Exists(kPrivateFile));
            EXPECT_EQ(QueryBySubject(c.query, 2), WINBIO_E_DATABASE_CORRUPTED);
        } else {
            EXPECT_EQ(ReadFile(kPrivateFile), file);
            EXPECT_EQ(QueryBySubject(c.query, 2),
                      c.results.empty() ? WINBIO_E_DATABASE_NO_RESULTS : S_OK);
            EXPECT_EQ(Results(), c.results);
        }
        StorageAdapterDetach(&pipeline);
    }
}

// More blocks of one template than the chip has slots: the slot goes once,
// and the blocks with it.
TEST_F(QueryBySubjectTest, PurgeFlagRemovalDeletesASlotOnce) {
    const Bytes s = AccountSid(3);
    Attach(false, false, 2);
    sensor->SetPurgeFlag(1);
    SetSlot(0, 1, 1, KeyBytes(0x10));
    const Bytes same = WithAccount(PlainBlock(1, 1, KeyBytes(0x10)), s);
    UseDatabase({same, same, same, same});
    EXPECT_EQ(QueryBySubject(SidIdentity(s), 1), WINBIO_E_DATABASE_NO_RESULTS);
    EXPECT_EQ(DeletedSlots(), std::vector<int>{0});
    EXPECT_EQ(sensor->CountOf(IOCTL_MOC_DELETE_TEMPLATES), 0u);
    EXPECT_TRUE(FileBlocks().empty());
}

// The account of a query by SID that found nothing is the account of the
// next secure-identity or GUID record; a SID too long for the field is not
// remembered at all.
TEST_F(QueryBySubjectTest, RememberedAccountReachesTheNextRecord) {
    const GUID guid = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    const Bytes s = AccountSid(3), t = AccountSid(4), longSid = moc_test::Pattern(30, 1);
    struct Case {
        const char* name;
        WINBIO_IDENTITY query, added;
        Bytes account; // stored with the added record
    } cases[] = {
        {"secure identity", SidIdentity(s), SecureIdentity(KeyBytes(0x10)), s},
        {"GUID", SidIdentity(s), GuidIdentity(guid), s},
        {"a SID keeps its own account", SidIdentity(s), SidIdentity(t), t},
        {"a query by another kind leaves the account", SecureIdentity(KeyBytes(0x20)),
         SecureIdentity(KeyBytes(0x10)), Bytes(28, 0)},
        {"a SID beyond the field", SidIdentity(longSid), SecureIdentity(KeyBytes(0x10)), {}},
    };
    for (const Case& c : cases) {
        Attach();
        UseDatabase({});
        EXPECT_EQ(QueryBySubject(c.query, 2), WINBIO_E_DATABASE_NO_RESULTS) << c.name;
        EXPECT_EQ(AddRecord(c.added, 2), S_OK) << c.name;
        const std::vector<Bytes> file = FileBlocks();
        ASSERT_EQ(file.size(), 1u) << c.name;
        EXPECT_EQ(file[0][55], c.account.size()) << c.name;
        Bytes account(28, 0);
        std::copy(c.account.begin(), c.account.end(), account.begin());
        EXPECT_EQ(Bytes(file[0].begin() + 56, file[0].begin() + 84), account) << c.name;
        StorageAdapterDetach(&pipeline);
    }
}

} // namespace
} // namespace storage_test
