// Opening, creating and erasing the database against the simulated sensor,
// with the exact chip requests each sends. The suite runs with the adapter's
// trace provider enabled, so that every trace statement's arguments are
// evaluated as well.
#include <cstring>
#include <functional>
#include "storage/database_file.h"
#include "storage_fixture.h"

namespace storage_test {
namespace {

constexpr DWORD kVersion = IOCTL_MOC_DATABASE_VERSION;
constexpr DWORD kTable = IOCTL_MOC_READ_TEMPLATE_TABLE;
constexpr DWORD kDelete = IOCTL_MOC_DELETE_TEMPLATE;

class LifecycleTest : public TracedStorageTest {
protected:
    // The database version requests sent: 1 for a get, 0 for a set.
    std::vector<int> VersionRequests() const {
        std::vector<int> out;
        for (const auto& r : sensor->Log())
            if (r.code == kVersion && !r.input.empty())
                out.push_back(r.input[0]);
        return out;
    }

    // A database at `filePath` that the framework can open, create and open again.
    void ExpectUsablePath(const WCHAR* filePath, const std::string& privateFile) {
        GUID id{};
        EXPECT_EQ(StorageAdapterOpenDatabase(&pipeline, &id, filePath, u""),
                  WINBIO_E_DATABASE_CANT_FIND);
        EXPECT_STREQ(Context().PrivateFilePath, privateFile.c_str());
        EXPECT_EQ(StorageAdapterCreateDatabase(&pipeline, &id, WINBIO_TYPE_FINGERPRINT, &id,
                                               filePath, u"", 0, 0),
                  S_OK);
        EXPECT_EQ(ReadFile(privateFile.c_str()), FreshHeader());
        EXPECT_EQ(StorageAdapterOpenDatabase(&pipeline, &id, filePath, u""), S_OK);
    }
    // A `filePath` that names no file of ours: every lifecycle operation refuses
    // it before a chip request.
    void ExpectRefusedPath(const WCHAR* filePath) {
        GUID id{};
        EXPECT_EQ(StorageAdapterOpenDatabase(&pipeline, &id, filePath, u""),
                  WINBIO_E_DATABASE_CANT_OPEN);
        EXPECT_EQ(StorageAdapterCreateDatabase(&pipeline, &id, WINBIO_TYPE_FINGERPRINT, &id,
                                               filePath, u"", 0, 0),
                  WINBIO_E_DATABASE_CANT_CREATE);
        EXPECT_EQ(StorageAdapterEraseDatabase(&pipeline, &id, filePath, u""),
                  WINBIO_E_DATABASE_CANT_ERASE);
        EXPECT_TRUE(sensor->Log().empty());
        EXPECT_EQ(Context().OpenFlag, 0u);
    }
};

TEST_F(LifecycleTest, OpenWithoutPrivateFileThenCreateBuildsIt) {
    Attach();
    EXPECT_EQ(Open(), WINBIO_E_DATABASE_CANT_FIND);
    EXPECT_EQ(Context().OpenFlag, 1u);
    EXPECT_STREQ(Context().PrivateFilePath, kPrivateFile);
    EXPECT_TRUE(sensor->Log().empty());

    EXPECT_EQ(Create(2), S_OK);
    EXPECT_EQ(ReadFile(kPrivateFile), FreshHeader());
    EXPECT_FALSE(Exists(kFrameworkFile));
    EXPECT_EQ(sensor->LoggedCodes(), (std::vector<DWORD>{kDelete, kVersion}));
    EXPECT_EQ(DeletedSlots(), std::vector<int>{255});
    EXPECT_EQ(sensor->DatabaseVersion(), 3u);
    EXPECT_EQ(Context().OpenFlag, 0u);
    EXPECT_EQ(Context().IndexElementCount, 2u);
    EXPECT_EQ(Context().FormatGuid.Data1, 0x11223344u);
}

TEST_F(LifecycleTest, CreateWithoutOpenWritesTheFrameworkFile) {
    Attach();
    EXPECT_EQ(Create(), S_OK);
    EXPECT_EQ(ReadFile(kFrameworkFile), FreshHeader());
    EXPECT_FALSE(Exists(kPrivateFile));
    EXPECT_TRUE(sensor->Log().empty());
    EXPECT_EQ(Create(3), WINBIO_E_DATABASE_ALREADY_EXISTS);
    // The format and the count are kept even so.
    EXPECT_EQ(Context().IndexElementCount, 3u);
    EXPECT_EQ(Context().FormatGuid.Data1, 0x11223344u);
    // A link there whose target is not there is a file all the same, left as it is.
    LinkToNothing(kFrameworkFile);
    EXPECT_EQ(Create(), WINBIO_E_DATABASE_ALREADY_EXISTS);
    EXPECT_TRUE(LinksToNothing(kFrameworkFile));
}

TEST_F(LifecycleTest, CreateRefusals) {
    Attach();
    pipeline.StorageHandle = reinterpret_cast<HANDLE>(0x1234);
    EXPECT_EQ(Create(2), WINBIO_E_INVALID_DEVICE_STATE);
    EXPECT_EQ(Context().IndexElementCount, 0u);
    EXPECT_EQ(Context().FormatGuid.Data1, 0u);
    // A missing folder is reported first.
    std::filesystem::remove_all(root.Native("C:\\WinBioDatabase"));
    EXPECT_EQ(Create(2), WINBIO_E_DATABASE_CANT_CREATE);
    EXPECT_EQ(Open(), WINBIO_E_DATABASE_CANT_CREATE);
    EXPECT_EQ(Erase(), WINBIO_E_DATABASE_CANT_CREATE);
    pipeline.StorageHandle = INVALID_HANDLE_VALUE;
    std::filesystem::create_directories(root.Native("C:\\WinBioDatabase"));
    // A block holds four index elements at most.
    EXPECT_EQ(Create(5), E_INVALIDARG);
    EXPECT_FALSE(Exists(kFrameworkFile));
}

// A failed fresh framework file is reported and leaves nothing half-written.
TEST_F(LifecycleTest, CreateReportsAFailedFrameworkFile) {
    Attach();
    platform::test::FailNextFileCall("WriteFile", ERROR_DISK_FULL);
    EXPECT_EQ(Create(), WINBIO_E_DATABASE_CANT_CREATE);
    EXPECT_FALSE(Exists(kFrameworkFile));
    EXPECT_EQ(Create(), S_OK);
}

TEST_F(LifecycleTest, OpenReconcilesSavesAndRecordsTheVersion) {
    Attach();
    SetSlot(0, 1, 2, KeyBytes(0x10));
    SetSlot(1, 1, 3, KeyBytes(0x20));
    const Bytes kept = PlainBlock(1, 2, KeyBytes(0x10));
    const Bytes orphan = PlainBlock(1, 4, KeyBytes(0x30));
    WriteFile(kPrivateFile, DatabaseFile({kept, orphan}, 40, 3, Bytes(11, 0x5A)));
    sensor->SetDatabaseVersion(3);
    EXPECT_EQ(Open(), S_OK);
    EXPECT_EQ(sensor->LoggedCodes(), (std::vector<DWORD>{kVersion, kTable, kDelete, kVersion}));
    EXPECT_EQ(DeletedSlots(), std::vector<int>{1});
    EXPECT_EQ(VersionRequests(), (std::vector<int>{1, 0}));
    EXPECT_EQ(ReadFile(kPrivateFile), DatabaseFile({kept}, 40, 3, Bytes(11, 0x5A)));
    EXPECT_TRUE(Context().KeptHeader.empty() && Context().KeptTrailing.empty());
    EXPECT_FALSE(platform::test::CapturedTraces().empty());
}

// A table that did not arrive whole shows no slots; acting on it would drop
// every record and delete nothing that should go.
TEST_F(LifecycleTest, UnreadTableSkipsTheReconciliation) {
    struct Case {
        const char* name;
        std::function<void()> plan;
    } cases[] = {
        {"table read fails", [this] { sensor->FailNext(kTable, ERROR_GEN_FAILURE); }},
        {"table reply short", [this] { sensor->ReplyShort(kTable, 35 * 9); }},
        {"slot count fallback on a chip of another size",
         [this] {
             StorageAdapterDetach(&pipeline);
             sensor->FailNext(IOCTL_MOC_GET_CAPABILITIES, ERROR_GEN_FAILURE);
             sensor->SetCapabilities({5, 12, 0, 0, {}});
             ASSERT_EQ(StorageAdapterAttach(&pipeline), S_OK);
             sensor->ClearLog();
         }},
    };
    for (const Case& c : cases) {
        Attach();
        SetSlot(0, 1, 2, KeyBytes(0x10));
        const Bytes file = DatabaseFile({PlainBlock(1, 4, KeyBytes(0x30))});
        WriteFile(kPrivateFile, file);
        sensor->SetDatabaseVersion(2);
        c.plan();
        EXPECT_EQ(Open(), S_OK) << c.name;
        EXPECT_TRUE(DeletedSlots().empty()) << c.name;
        EXPECT_EQ(ReadFile(kPrivateFile), file) << c.name;
        EXPECT_EQ(sensor->DatabaseVersion(), 2u) << c.name;
        StorageAdapterDetach(&pipeline);
    }
}

// Without the sensor id every owned block would look like another sensor's.
TEST_F(LifecycleTest, UnknownSensorIdDeletesNothing) {
    sensor->FailNext(IOCTL_MOC_GET_SENSOR_ID, ERROR_GEN_FAILURE);
    Attach(true);
    SetSlot(0, 1, 2, KeyBytes(0x10));
    const Bytes file = DatabaseFile({OwnedBlock(1, 2, KeyBytes(0x10))});
    WriteFile(kPrivateFile, file);
    EXPECT_EQ(Open(), S_OK);
    EXPECT_TRUE(DeletedSlots().empty());
    EXPECT_EQ(ReadFile(kPrivateFile), file);
}

// A private file that is there but damaged (cut short of its blocks, or
// without its header) has lost records, not held none. Until the database is
// erased no operation loads, saves or deletes anything on the strength of it;
// erased, the database is created afresh.
TEST_F(LifecycleTest, ADamagedFileIsLeftAndTheChipTooUntilErased) {
    Bytes cut = DatabaseFile({PlainBlock(1, 2, KeyBytes(0x10)), PlainBlock(1, 3, KeyBytes(0x11))});
    cut.resize(cut.size() - 100);
    Bytes zeroed = DatabaseFile({PlainBlock(1, 2, KeyBytes(0x10))});
    std::fill_n(zeroed.begin(), 29, 0);
    const Bytes fresh = FreshHeader();
    struct Case {
        const char* name;
        Bytes file;
        bool linkToNothing = false; // in place of the file
    } cases[] = {
        {"blocks cut short", cut},
        {"zeroed header", zeroed},
        {"emptied", {}},
        {"8 bytes", Bytes(fresh.begin(), fresh.begin() + 8)},
        {"random bytes", moc_test::Pattern(3000, 0x5D)},
        // Its volume is not mounted: the records are there, but cannot be read now.
        {"a link whose target is not there", {}, true},
    };
    const WINBIO_IDENTITY account = SidIdentity(AccountSid(1));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Attach();
        SetSlot(0, 1, 2, KeyBytes(0x10));
        SetSlot(1, 0, 4, KeyBytes(0x20));
        if (c.linkToNothing)
            LinkToNothing(kPrivateFile);
        else
            WriteFile(kPrivateFile, c.file);
        EXPECT_EQ(Open(), WINBIO_E_DATABASE_CORRUPTED);
        EXPECT_EQ(sensor->LoggedCodes(), std::vector<DWORD>{kVersion});
        EXPECT_EQ(Create(), WINBIO_E_DATABASE_ALREADY_EXISTS);
        EXPECT_EQ(AddRecord(account, 5), WINBIO_E_DATABASE_CORRUPTED);
        EXPECT_EQ(DeleteRecord(WildcardIdentity(), WINBIO_SUBTYPE_ANY),
                  WINBIO_E_DATABASE_CORRUPTED);
        EXPECT_EQ(DeleteRecord(account, 4), WINBIO_E_DATABASE_CORRUPTED);
        EXPECT_EQ(QueryBySubject(WildcardIdentity(), WINBIO_SUBTYPE_ANY),
                  WINBIO_E_DATABASE_CORRUPTED);
        EXPECT_EQ(QueryBySubject(account, 4), WINBIO_E_DATABASE_CORRUPTED);
        SIZE_T available = 0, total = 0;
        EXPECT_EQ(StorageAdapterGetDatabaseSize(&pipeline, &available, &total),
                  WINBIO_E_DATABASE_CORRUPTED);
        EXPECT_TRUE(DeletedSlots().empty());
        if (c.linkToNothing)
            EXPECT_TRUE(LinksToNothing(kPrivateFile));
        else
            EXPECT_EQ(ReadFile(kPrivateFile), c.file);

        EXPECT_EQ(Erase(), S_OK);
        EXPECT_EQ(Open(), WINBIO_E_DATABASE_CANT_FIND);
        EXPECT_EQ(Create(), S_OK);
        EXPECT_EQ(ReadFile(kPrivateFile), fresh);
        EXPECT_EQ(Open(), S_OK);
        StorageAdapterDetach(&pipeline);
    }
}

TEST_F(LifecycleTest, PurgeOfForeignTemplatesAtOpen) {
    sensor->SetPolicy(MocPolicy{{0, 0x40, 0, 0, 0, 0, 0, 0}});
    Attach(true);
    SetSlot(0, 1, 2, KeyBytes(0x10));
    SetSlot(1, 1, 2, KeyBytes(0x11), OtherOwner());
    SetSlot(2, 1, 2, KeyBytes(0x12), Bytes(16, 0));
    SetSlot(3, 1, 2, KeyBytes(0x13), OtherOwner(), 2);
    WriteFile(kPrivateFile, DatabaseFile({OwnedBlock(1, 2, KeyBytes(0x10))}));
    EXPECT_EQ(Open(), S_OK);
    EXPECT_EQ(DeletedSlots(), (std::vector<int>{1, 2}));
    EXPECT_EQ(Context().Policy, 0u);
    sensor->ClearLog();
    SetSlot(1, 1, 2, KeyBytes(0x11), OtherOwner());
    EXPECT_EQ(Open(), S_OK);
    EXPECT_TRUE(DeletedSlots().empty());
}

TEST_F(LifecycleTest, PurgeAtOpenFailuresAndPlainMode) {
    sensor->SetPolicy(MocPolicy{{0, 0x40, 0, 0, 0, 0, 0, 0}});
    Attach(true);
    SetSlot(1, 1, 2, KeyBytes(0x11), OtherOwner());
    SetSlot(2, 1, 2, KeyBytes(0x12), OtherOwner());
    sensor->FailNext(kDelete, ERROR_GEN_FAILURE);
    EXPECT_EQ(Open(), MocFailure(MOC_E_DELETE_TEMPLATE, ERROR_GEN_FAILURE));
    EXPECT_EQ(Context().OpenFlag, 0u);
    EXPECT_EQ(Context().Policy, 1u);
    sensor->FailNext(kTable, ERROR_GEN_FAILURE);
    EXPECT_EQ(Open(), MocFailure(MOC_E_READ_TEMPLATE_TABLE, ERROR_GEN_FAILURE));
    StorageAdapterDetach(&pipeline);

    Attach(false);
    EXPECT_EQ(Open(), WINBIO_E_DATABASE_CANT_FIND);
    EXPECT_TRUE(sensor->Log().empty());
    EXPECT_EQ(Context().Policy, 1u);
}

TEST_F(LifecycleTest, LegacyFilesMigrateOnlyBelowChipVersionThree) {
    const Bytes record = Concat({{1, 1, 2, 32}, KeyBytes(0x10), Bytes(124 - 36, 0)});
    const Bytes migratedBlock = [&] {
        Bytes b(1024, 0);
        b[0] = 0x10;
        b[1] = 0x7C;
        std::copy(record.begin(), record.end(), b.begin() + 19);
        return b;
    }();
    const Bytes fileBlock = PlainBlock(1, 2, KeyBytes(0x10), 7);
    struct Case {
        const char* name;
        std::function<void(simsensor::SimulatedSensor&)> plan;
        std::vector<Bytes> saved;
    } cases[] = {
        {"version 2", [](auto& s) { s.SetDatabaseVersion(2); }, {migratedBlock, fileBlock}},
        {"version get fails",
         [](auto& s) {
             s.SetDatabaseVersion(3);
             s.FailNext(kVersion, ERROR_GEN_FAILURE);
         },
         {migratedBlock, fileBlock}},
        {"version 3", [](auto& s) { s.SetDatabaseVersion(3); }, {fileBlock}},
    };
    for (const Case& c : cases) {
        Attach();
        SetSlot(0, 1, 2, KeyBytes(0x10));
        WriteFile(kLegacyRecordFile, record);
        WriteFile(kPrivateFile, DatabaseFile({fileBlock}));
        c.plan(*sensor);
        EXPECT_EQ(Open(), S_OK) << c.name;
        EXPECT_EQ(ReadFile(kPrivateFile), DatabaseFile(c.saved)) << c.name;
        EXPECT_EQ(sensor->DatabaseVersion(), 3u) << c.name;
        EXPECT_EQ(ReadFile(kLegacyRecordFile), record) << c.name;
        StorageAdapterDetach(&pipeline);
    }
}

TEST_F(LifecycleTest, CreateAfterOpenMigratesTheLegacyFiles) {
    const Bytes blockA = PlainBlock(1, 2, KeyBytes(0x10), 1);
    const Bytes blockB = PlainBlock(1, 3, KeyBytes(0x20), 2);
    // The block file's own header (counters, further bytes) and the bytes
    // past its blocks that cannot be blocks go into the new private file.
    const Bytes trailing = Concat({{0x12}, Bytes(1023, 0x11), {0x10}});
    WriteFile(kLegacyBlockFile, DatabaseFile({blockA, blockB}, 33, 3, Bytes(4, 0x3C), trailing));
    Attach();
    SetSlot(0, 1, 2, KeyBytes(0x10));
    SetSlot(5, 1, 9, KeyBytes(0x50));
    ASSERT_EQ(Open(), WINBIO_E_DATABASE_CANT_FIND);
    EXPECT_EQ(Create(), S_OK);
    EXPECT_EQ(sensor->LoggedCodes(), (std::vector<DWORD>{kTable, kDelete, kVersion}));
    EXPECT_EQ(DeletedSlots(), std::vector<int>{5});
    EXPECT_EQ(ReadFile(kPrivateFile), DatabaseFile({blockA}, 33, 3, Bytes(4, 0x3C), trailing));
    EXPECT_EQ(sensor->DatabaseVersion(), 3u);
}

// Reporting success with no private file would lose the migrated records.
TEST_F(LifecycleTest, CreateWritesTheMigratedSetWhenTheTableCannotBeRead) {
    const Bytes block = PlainBlock(1, 2, KeyBytes(0x10), 1);
    WriteFile(kLegacyBlockFile, DatabaseFile({block}));
    Attach();
    ASSERT_EQ(Open(), WINBIO_E_DATABASE_CANT_FIND);
    sensor->FailNext(kTable, ERROR_GEN_FAILURE);
    EXPECT_EQ(Create(), S_OK);
    EXPECT_EQ(ReadFile(kPrivateFile), DatabaseFile({block}));
    EXPECT_TRUE(DeletedSlots().empty());
}

// An older file that is there but cannot be read just now (a file call
// fails), or that is damaged, holds records that a reconciliation without them
// would take for orphans, deleting their templates for good; and a damaged
// record of this host, written into the private file, would stop every later
// reconciliation. The open leaves the private file and the chip's version for
// the next open; the create, with templates of this host on the chip that the
// file may describe, builds nothing.
TEST_F(LifecycleTest, LegacyFileThatCannotBeReadOrIsDamagedChangesNothing) {
    const Bytes record = Concat({{1, 1, 2, 32}, KeyBytes(0x10), Bytes(124 - 36, 0)});
    const Bytes block = PlainBlock(1, 3, KeyBytes(0x20), 1);
    Bytes zeroed = DatabaseFile({block});
    std::fill_n(zeroed.begin(), 29, 0);
    const Bytes fresh = FreshHeader();
    Bytes malformed = block;
    malformed[19] = 2;
    struct Case {
        const char* name;
        bool recordFile, blockFile;
        const char* call; // the failing call, and which one of it
        int n;
        Bytes damagedBlockFile;       // in place of the block file, when there is no failing call
        Bytes damagedRecordFile = {}; // in place of the record file, when not empty
        const char* linkToNothing = nullptr; // the file that is a link whose target is not there
    } cases[] = {
        {"record file cannot be opened", true, false, "CreateFileA", 1, {}},
        {"record file cannot be read", true, true, "ReadFile", 1, {}},
        {"block file cannot be measured", true, true, "GetFileSizeEx", 2, {}},
        {"block file with a zeroed header", false, true, nullptr, 0, zeroed},
        {"block file of 8 bytes", true, true, nullptr, 0, Bytes(fresh.begin(), fresh.begin() + 8)},
        {"block file with its count lowered", true, true, nullptr, 0,
         DatabaseFile({PlainBlock(1, 2, KeyBytes(0x10), 2), block}, 29, 3, {}, {}, 1)},
        {"a damaged record of this host in the block file", true, true, nullptr, 0,
         DatabaseFile({malformed})},
        // Counted layout: a count of 2 with one record behind it.
        {"record file whose count runs past its end",
         true,
         false,
         nullptr,
         0,
         {},
         Concat({{2, 0}, record, Bytes(157 - 124, 0)})},
        {"record file cut to six bytes", true, false, nullptr, 0, {}, Bytes(6, 1)},
        // A link whose target is not there: its volume is not mounted.
        {"record file a dangling link", true, false, nullptr, 0, {}, {}, kLegacyRecordFile},
        {"block file a dangling link", true, true, nullptr, 0, {}, {}, kLegacyBlockFile},
    };
    for (const Case& c : cases) {
        for (bool create : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (create ? ", create" : ", open"));
            Attach();
            sensor->SetDatabaseVersion(2);
            SetSlot(0, 1, 2, KeyBytes(0x10));
            SetSlot(1, 1, 3, KeyBytes(0x20));
            DeleteFileA(kPrivateFile);
            DeleteFileA(kLegacyRecordFile);
            DeleteFileA(kLegacyBlockFile);
            if (c.recordFile)
                WriteFile(kLegacyRecordFile,
                          c.damagedRecordFile.empty() ? record : c.damagedRecordFile);
            if (c.blockFile)
                WriteFile(kLegacyBlockFile,
                          c.call != nullptr ? DatabaseFile({block}) : c.damagedBlockFile);
            if (c.linkToNothing != nullptr)
                LinkToNothing(c.linkToNothing);
            if (create) {
                ASSERT_EQ(Open(), WINBIO_E_DATABASE_CANT_FIND);
            } else {
                WriteFile(kPrivateFile, DatabaseFile({}));
            }
            sensor->ClearLog();
            if (c.call != nullptr)
                platform::test::FailFileCallAt(c.call, c.n, ERROR_SHARING_VIOLATION);
            if (create) {
                EXPECT_EQ(Create(), WINBIO_E_DATABASE_CANT_CREATE);
                EXPECT_FALSE(Exists(kPrivateFile));
            } else {
                EXPECT_EQ(Open(), S_OK);
                EXPECT_EQ(ReadFile(kPrivateFile), DatabaseFile({}));
            }
            EXPECT_TRUE(DeletedSlots().empty());
            EXPECT_EQ(sensor->DatabaseVersion(), 2u);

            // Once the file reads again, or is mended, the next open migrates it.
            StorageAdapterDetach(&pipeline);
            if (c.linkToNothing != nullptr) {
                EXPECT_TRUE(LinksToNothing(c.linkToNothing));
                std::filesystem::remove(root.Native(c.linkToNothing));
            }
            if (c.blockFile)
                WriteFile(kLegacyBlockFile, DatabaseFile({block}));
            if (c.recordFile)
                WriteFile(kLegacyRecordFile, record);
            Attach();
            if (create) {
                ASSERT_EQ(Open(), WINBIO_E_DATABASE_CANT_FIND);
            }
            EXPECT_EQ(create ? Create() : Open(), S_OK);
            EXPECT_EQ(TemplatesOfFile(ReadFile(kPrivateFile)).size(),
                      size_t{c.recordFile} + size_t{c.blockFile});
            EXPECT_EQ(sensor->Slot(0).state,
                      c.recordFile ? MOC_SLOT_STATE_USED : MOC_SLOT_STATE_FREE);
            EXPECT_EQ(sensor->Slot(1).state,
                      c.blockFile ? MOC_SLOT_STATE_USED : MOC_SLOT_STATE_FREE);
            EXPECT_EQ(sensor->DatabaseVersion(), 3u);
            StorageAdapterDetach(&pipeline);
        }
    }
}

// A damaged older file holds the create back only while the chip holds
// templates of this host that a create without its records would delete: on
// a fresh chip, one that holds other hosts' templates alone, after an erase,
// or when the other file describes every template, the create builds from the
// other file (none of the damaged file's header or trailing bytes) or fresh,
// and leaves the damaged file in place. One that cannot be read, or a table
// that cannot be read, holds it back whatever the chip holds.
TEST_F(LifecycleTest, ADamagedLegacyFileHoldsTheCreateBackOnlyWhileTemplatesAreAtStake) {
    const Bytes record = Concat({{1, 1, 2, 32}, KeyBytes(0x10), Bytes(124 - 36, 0)});
    Bytes fromRecord(1024, 0);
    fromRecord[0] = 0x10;
    fromRecord[1] = 0x7C;
    std::copy(record.begin(), record.end(), fromRecord.begin() + 19);
    Bytes withoutCounters = DatabaseFile({fromRecord});
    std::fill(withoutCounters.begin() + 9, withoutCounters.begin() + 29, 0);
    const Bytes owned = OwnedBlock(1, 2, KeyBytes(0x10));
    const Bytes cutShort(6, 1);
    const Bytes countPastEnd = Concat({Le16(2), Bytes(157, 0)});
    Bytes zeroedHeader = DatabaseFile({owned});
    std::fill_n(zeroedHeader.begin(), 29, 0);
    const Bytes countLowered =
        DatabaseFile({PlainBlock(1, 2, KeyBytes(0x10), 1), PlainBlock(1, 3, KeyBytes(0x20), 2)}, 29,
                     3, {}, {}, 1);
    struct Case {
        const char* name;
        bool ownerIdMode;
        Bytes recordFile, blockFile;  // empty: no file
        std::vector<int> hostSlots;   // slot 0: kind 1, finger 2, key 0x10; slot 2: finger 4
        bool foreignSlot;             // slot 1 holds another host's template
        std::function<void()> before; // after the open, before the create
        HRESULT result;
        Bytes built; // the private file, when built
        std::vector<int> deleted;
    } cases[] = {
        {"a fresh chip", false, cutShort, {}, {}, false, [] {}, S_OK, FreshHeader(), {255}},
        {"other hosts' templates alone",
         true,
         {},
         zeroedHeader,
         {},
         true,
         [] {},
         S_OK,
         FreshHeader(),
         {}},
        {"the record file describes every template",
         false,
         record,
         countLowered,
         {0},
         false,
         [] {},
         S_OK,
         withoutCounters,
         {}},
        {"the block file describes every template of this host",
         true,
         countPastEnd,
         DatabaseFile({owned}),
         {0},
         true,
         [] {},
         S_OK,
         DatabaseFile({owned}),
         {}},
        {"after an erase",
         true,
         cutShort,
         {},
         {0, 2},
         true,
         [this] { ASSERT_EQ(Erase(), S_OK); },
         S_OK,
         FreshHeader(),
         {}},
        {"a template the damaged file may describe",
         true,
         countPastEnd,
         DatabaseFile({owned}),
         {0, 2},
         true,
         [] {},
         WINBIO_E_DATABASE_CANT_CREATE,
         {},
         {}},
        {"a table that cannot be read",
         false,
         cutShort,
         {},
         {},
         false,
         [this] { sensor->FailNext(kTable, ERROR_GEN_FAILURE); },
         WINBIO_E_DATABASE_CANT_CREATE,
         {},
         {}},
        {"a file that cannot be read, on a fresh chip",
         false,
         record,
         {},
         {},
         false,
         [] { platform::test::FailFileCallAt("CreateFileA", 1, ERROR_SHARING_VIOLATION); },
         WINBIO_E_DATABASE_CANT_CREATE,
         {},
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DeleteFileA(kPrivateFile);
        DeleteFileA(kLegacyRecordFile);
        DeleteFileA(kLegacyBlockFile);
        for (size_t slot = 0; slot < 10; ++slot)
            sensor->SetSlot(slot, simsensor::SimSlot{});
        Attach(c.ownerIdMode);
        sensor->SetDatabaseVersion(2);
        for (int slot : c.hostSlots)
            SetSlot(slot, 1, static_cast<uint8_t>(2 + slot), KeyBytes(0x10 + slot));
        if (c.foreignSlot)
            SetSlot(1, 1, 3, KeyBytes(0x20), OtherOwner());
        if (!c.recordFile.empty())
            WriteFile(kLegacyRecordFile, c.recordFile);
        if (!c.blockFile.empty())
            WriteFile(kLegacyBlockFile, c.blockFile);
        ASSERT_EQ(Open(), WINBIO_E_DATABASE_CANT_FIND);
        c.before();
        sensor->ClearLog();
        EXPECT_EQ(Create(), c.result);
        EXPECT_EQ(Exists(kPrivateFile) ? ReadFile(kPrivateFile) : Bytes{}, c.built);
        EXPECT_EQ(DeletedSlots(), c.deleted);
        EXPECT_EQ(sensor->Slot(1).state, c.foreignSlot ? MOC_SLOT_STATE_USED : MOC_SLOT_STATE_FREE);
        EXPECT_EQ(sensor->DatabaseVersion(), SUCCEEDED(c.result) ? 3u : 2u);
        // The older files are left as they were.
        EXPECT_EQ(Exists(kLegacyRecordFile) ? ReadFile(kLegacyRecordFile) : Bytes{}, c.recordFile);
        EXPECT_EQ(Exists(kLegacyBlockFile) ? ReadFile(kLegacyBlockFile) : Bytes{}, c.blockFile);
        StorageAdapterDetach(&pipeline);
        platform::test::FailFileCallAt("CreateFileA", 0, 0);
    }
}

// A folder that bears an older file's name holds no records: the open
// reconciles and records the chip's version, the create builds the file.
TEST_F(LifecycleTest, AFolderOfALegacyFilesNameIsNoFile) {
    for (const char* legacy : {kLegacyRecordFile, kLegacyBlockFile}) {
        for (bool create : {false, true}) {
            SCOPED_TRACE(std::string(legacy) + (create ? ", create" : ", open"));
            std::filesystem::create_directories(root.Native(legacy));
            Attach();
            sensor->SetDatabaseVersion(2);
            SetSlot(0, 1, 2, KeyBytes(0x10));
            SetSlot(1, 1, 3, KeyBytes(0x20));
            if (create) {
                DeleteFileA(kPrivateFile);
                ASSERT_EQ(Open(), WINBIO_E_DATABASE_CANT_FIND);
                EXPECT_EQ(Create(), S_OK);
                EXPECT_EQ(Exists(kPrivateFile) ? ReadFile(kPrivateFile) : Bytes{}, FreshHeader());
            } else {
                WriteFile(kPrivateFile, DatabaseFile({PlainBlock(1, 2, KeyBytes(0x10))}));
                EXPECT_EQ(Open(), S_OK);
                EXPECT_EQ(DeletedSlots(), std::vector<int>{1});
            }
            EXPECT_EQ(sensor->DatabaseVersion(), 3u);
            StorageAdapterDetach(&pipeline);
            std::filesystem::remove_all(root.Native(legacy));
        }
    }
}

// A record file whose counts run past its end has lost records: the create
// neither resets the chip in its place nor builds a file, whatever the mode,
// and tries again each time.
TEST_F(LifecycleTest, CreateBuildsNothingFromARecordFileWhoseCountsRunPastItsEnd) {
    WriteFile(kLegacyRecordFile, Concat({Le16(5), Bytes(157, 1)}));
    Attach(true);
    SetSlot(0, 1, 2, KeyBytes(0x10));
    SetSlot(1, 1, 2, KeyBytes(0x11), OtherOwner());
    for (int attempt = 0; attempt < 2; ++attempt) {
        ASSERT_EQ(Open(), WINBIO_E_DATABASE_CANT_FIND);
        EXPECT_EQ(Create(), WINBIO_E_DATABASE_CANT_CREATE);
        EXPECT_FALSE(Exists(kPrivateFile));
        EXPECT_TRUE(DeletedSlots().empty());
    }
}

// A folder that bears the private file's name holds no records, yet every
// open refuses it and every create finds it there. The erase takes it away
// when it is empty; while anything in it keeps the name taken, the erase
// fails and leaves the chip's templates, and never says the database is gone.
TEST_F(LifecycleTest, AFolderOfThePrivateFilesNameGoesWithTheEraseWhenEmpty) {
    const std::string inside = std::string(kPrivateFile) + "\\kept";
    for (bool empty : {true, false}) {
        SCOPED_TRACE(empty ? "empty" : "not empty");
        Attach();
        SetSlot(0, 1, 2, KeyBytes(0x10));
        std::filesystem::create_directories(root.Native(kPrivateFile));
        if (!empty)
            WriteFile(inside.c_str(), Bytes(3, 1));
        EXPECT_TRUE(FAILED(Open()));
        sensor->ClearLog();
        if (empty) {
            EXPECT_EQ(Erase(), S_OK);
            EXPECT_FALSE(Exists(kPrivateFile));
            EXPECT_EQ(DeletedSlots(), std::vector<int>{255});
            EXPECT_EQ(Open(), WINBIO_E_DATABASE_CANT_FIND);
            EXPECT_EQ(Create(), S_OK);
            EXPECT_EQ(ReadFile(kPrivateFile), FreshHeader());
        } else {
            EXPECT_EQ(Erase(), WINBIO_E_DATABASE_CANT_ERASE);
            EXPECT_EQ(ReadFile(inside.c_str()), Bytes(3, 1));
            EXPECT_TRUE(DeletedSlots().empty());
            EXPECT_EQ(sensor->Slot(0).state, MOC_SLOT_STATE_USED);
        }
        StorageAdapterDetach(&pipeline);
        std::filesystem::remove_all(root.Native(kPrivateFile));
    }
}

TEST_F(LifecycleTest, EraseDeletesBothFilesAndThisHostsTemplates) {
    struct Case {
        const char* name;
        bool ownerIdMode, files, readOnly, deleteFails;
        HRESULT result;
        std::vector<int> deleted;
        bool linksToNothing = false; // in place of the files
    } cases[] = {
        {"owner-id mode", true, true, false, false, S_OK, {0, 3}},
        {"owner-id mode, deletion fails",
         true,
         true,
         false,
         true,
         MocFailure(MOC_E_DELETE_TEMPLATE, ERROR_GEN_FAILURE),
         {0}},
        {"plain mode", false, true, false, false, S_OK, {255}},
        {"plain mode, deletion fails", false, true, false, true, S_OK, {255}},
        {"read-only framework file", false, true, true, false, S_OK, {255}},
        {"no files", true, false, false, false, S_OK, {0, 3}},
        // The names go, and nothing is made where they lead.
        {"links whose target is not there", false, true, false, false, S_OK, {255}, true},
    };
    for (const Case& c : cases) {
        Attach(c.ownerIdMode);
        SetSlot(0, 1, 2, KeyBytes(0x10));
        SetSlot(1, 1, 2, KeyBytes(0x11), OtherOwner());
        SetSlot(3, 0, 4, KeyBytes(0x13));
        if (c.files) {
            WriteFile(kFrameworkFile, FreshHeader());
            WriteFile(kPrivateFile, DatabaseFile({PlainBlock(1, 2, KeyBytes(0x10))}));
        }
        if (c.readOnly) {
            ASSERT_TRUE(SetFileAttributesA(kFrameworkFile, FILE_ATTRIBUTE_READONLY));
        }
        if (c.linksToNothing) {
            LinkToNothing(kFrameworkFile);
            LinkToNothing(kPrivateFile);
        }
        if (c.deleteFails)
            sensor->FailNext(kDelete, ERROR_GEN_FAILURE);
        Context().QueryCounter = 4;
        Context().FormatGuid.Data1 = 9;
        Context().OpenFlag = 1;
        EXPECT_EQ(Erase(), c.result) << c.name;
        EXPECT_EQ(DeletedSlots(), c.deleted) << c.name;
        for (const char* file : {kFrameworkFile, kPrivateFile})
            EXPECT_FALSE(
                std::filesystem::exists(std::filesystem::symlink_status(root.Native(file))))
                << c.name << ": " << file;
        EXPECT_STREQ(Context().PrivateFilePath, kPrivateFile) << c.name;
        bool cleared = SUCCEEDED(c.result);
        EXPECT_EQ(Context().QueryCounter, cleared ? 0u : 4u) << c.name;
        EXPECT_EQ(Context().FormatGuid.Data1, cleared ? 0u : 9u) << c.name;
        EXPECT_EQ(Context().OpenFlag, 1u) << c.name;
        StorageAdapterDetach(&pipeline);
    }
}

// A path with no narrow form, or too long for its buffer, names no file of
// ours: taking it for a missing file would have the framework create the
// database anew and reset the chip.
TEST_F(LifecycleTest, UnusablePathsFailTheOperation) {
    const WCHAR* accented = u"C:\\WinBio\u00e9\\db.DAT";
    std::filesystem::create_directories(root.Native("C:\\WinBio\xc3\xa9"));
    std::u16string longPath = u"C:\\" + std::u16string(250, u'd') + u"\\db.DAT";
    GUID id{};
    Attach();
    platform::test::SetAnsiCodePage(1252);
    platform::test::SetAnsiCodePageHighest(0x7F);
    ExpectRefusedPath(accented);
    platform::test::SetAnsiCodePageHighest(0x10FFFF);
    EXPECT_EQ(StorageAdapterOpenDatabase(&pipeline, &id, longPath.c_str(), u""),
              WINBIO_E_DATABASE_CANT_OPEN);
    EXPECT_TRUE(sensor->Log().empty());
    EXPECT_EQ(Context().OpenFlag, 0u);
    // The accented folder works once the code page has its character.
    EXPECT_EQ(StorageAdapterOpenDatabase(&pipeline, &id, accented, u""),
              WINBIO_E_DATABASE_CANT_FIND);
}

// Where the ANSI code page is UTF-8, every well-formed path has a narrow form,
// and the conversion must take it under the UTF-8 rules; an unpaired surrogate
// has none.
TEST_F(LifecycleTest, AUtf8CodePageGivesEveryWellFormedPathItsForm) {
    struct Case {
        std::u16string folder;
        std::string narrowFolder;
    } cases[] = {
        {u"C:\\WinBio\u00e9", "C:\\WinBio\xc3\xa9"},
        {u"C:\\\u4e2d\u6587", "C:\\\xe4\xb8\xad\xe6\x96\x87"},
        {u"C:\\\U0001F600", "C:\\\xf0\x9f\x98\x80"},
    };
    Attach();
    ASSERT_EQ(GetACP(), CP_UTF8);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.narrowFolder);
        std::filesystem::create_directories(root.Native(c.narrowFolder));
        ExpectUsablePath((c.folder + u"\\db.DAT").c_str(),
                         c.narrowFolder + "\\" + PrivateDatabaseFile);
    }
    sensor->ClearLog();
    Context().OpenFlag = 0;
    ExpectRefusedPath(u"C:\\WinBio\xD800\\db.DAT");
}

// The private file is rewritten through a temporary file of a longer name
// beside it, and the platform refuses a path of MAX_PATH characters: a folder
// that leaves no room for that name is refused before anything is read or
// sent, instead of failing every save after the open has reconciled.
TEST_F(LifecycleTest, ThePrivateFilesTemporaryNameMustFitToo) {
    const size_t privateName = 1 + std::strlen(PrivateDatabaseFile);
    const size_t temporarySuffix = std::strlen(".new");
    struct Case {
        size_t folderLength;
        bool usable;
    } cases[] = {
        {MAX_PATH - 1 - privateName - temporarySuffix, true},
        {MAX_PATH - privateName - temporarySuffix, false},
        {MAX_PATH - privateName, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.folderLength);
        Attach();
        const std::string folder = "C:\\" + std::string(c.folderLength - 3, 'p');
        std::filesystem::create_directories(root.Native(folder));
        const std::string narrow = folder + "\\db.DAT";
        const std::u16string filePath(narrow.begin(), narrow.end());
        if (c.usable) {
            ExpectUsablePath(filePath.c_str(), folder + "\\" + PrivateDatabaseFile);
        } else {
            ExpectRefusedPath(filePath.c_str());
            EXPECT_TRUE(std::filesystem::is_empty(root.Native(folder)));
        }
        StorageAdapterDetach(&pipeline);
    }
}

// An existence test that fails for another reason than a missing file is
// no answer either.
TEST_F(LifecycleTest, UnreadableAttributesAreNotAMissingFile) {
    Attach();
    WriteFile(kPrivateFile, DatabaseFile({}));
    platform::test::FailNextFileCall("GetFileAttributesExW", ERROR_ACCESS_DENIED);
    EXPECT_EQ(Open(), WINBIO_E_DATABASE_CANT_OPEN);
    Context().OpenFlag = 1;
    platform::test::FailNextFileCall("GetFileAttributesExW", ERROR_ACCESS_DENIED);
    EXPECT_EQ(Create(), WINBIO_E_DATABASE_CANT_CREATE);
    EXPECT_EQ(ReadFile(kPrivateFile), DatabaseFile({}));
    EXPECT_TRUE(sensor->Log().empty());
}

} // namespace
} // namespace storage_test
