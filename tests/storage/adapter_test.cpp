// The storage adapter's frame: the exported table, attach with the chip
// reads it makes, detach, the small slots and the database reset, and every
// record slot through the loaded library's table.
#include <dlfcn.h>
#include <cctype>
#include <cstring>
#include <functional>
#include <mbedtls/md.h>
#include "storage/database_file.h"
#include "storage_fixture.h"

namespace storage_test {
namespace {

class StorageAdapterTest : public StorageTest {
protected:
    PWINBIO_STORAGE_INTERFACE Table() {
        PWINBIO_STORAGE_INTERFACE table = nullptr;
        EXPECT_EQ(WbioQueryStorageInterface(&table), S_OK);
        return table;
    }
};

std::string Label(const Bytes& sensorId) {
    Bytes digest(32);
    mbedtls_md(mbedtls_md_info_from_type(MBEDTLS_MD_SHA256), sensorId.data(), sensorId.size(),
               digest.data());
    std::string hex = moc_test::Hex(digest);
    for (char& ch : hex)
        ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    return hex;
}

TEST_F(StorageAdapterTest, ExportedTable) {
    EXPECT_EQ(WbioQueryStorageInterface(nullptr), E_POINTER);
    PWINBIO_STORAGE_INTERFACE table = Table();
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(Table(), table);
    EXPECT_EQ(table->Version.MajorVersion, 5);
    EXPECT_EQ(table->Version.MinorVersion, 0);
    EXPECT_EQ(table->Type, WINBIO_ADAPTER_TYPE_STORAGE);
    EXPECT_EQ(table->Size, 272u);
    const GUID id = {0xDEC3F1F2, 0x44C0, 0x4E84, {0x95, 0x97, 0x88, 0x80, 0xEC, 0x89, 0x32, 0x77}};
    EXPECT_EQ(std::memcmp(&table->AdapterId, &id, sizeof(id)), 0);
    void* const* slots = reinterpret_cast<void* const*>(&table->Attach);
    for (int i = 0; i < 30; ++i)
        EXPECT_NE(slots[i], nullptr) << i;
    EXPECT_EQ(reinterpret_cast<void*>(table->Attach),
              reinterpret_cast<void*>(StorageAdapterAttach));
    EXPECT_EQ(reinterpret_cast<void*>(table->OpenDatabase),
              reinterpret_cast<void*>(StorageAdapterOpenDatabase));
    EXPECT_EQ(reinterpret_cast<void*>(table->UpdateRecordCommit),
              reinterpret_cast<void*>(StorageAdapterUpdateRecordCommit));
}

TEST_F(StorageAdapterTest, AttachReadsTheChip) {
    struct Case {
        const char* name;
        bool ownerIdMode;
        std::function<void(simsensor::SimulatedSensor&)> plan;
        std::vector<DWORD> requests;
        DWORD slots, tableSize, policy;
        bool sensorIdRead;
    } cases[] = {
        {"plain",
         false,
         [](auto&) {},
         {IOCTL_MOC_GET_SENSOR_ID, IOCTL_MOC_GET_CAPABILITIES, IOCTL_MOC_GET_POLICY},
         12,
         12 * 35,
         0,
         true},
        {"owner-id mode",
         true,
         [](auto&) {},
         {IOCTL_MOC_GET_SENSOR_ID, IOCTL_MOC_GET_CAPABILITIES, IOCTL_MOC_GET_POLICY,
          IOCTL_MOC_GET_HOST_ID},
         12,
         12 * 52,
         0,
         true},
        {"capabilities fail",
         true,
         [](auto& s) { s.FailNext(IOCTL_MOC_GET_CAPABILITIES, ERROR_GEN_FAILURE); },
         {IOCTL_MOC_GET_SENSOR_ID, IOCTL_MOC_GET_CAPABILITIES, IOCTL_MOC_GET_POLICY},
         10,
         350,
         0,
         true},
        {"capabilities short",
         true,
         [](auto& s) { s.ReplyShort(IOCTL_MOC_GET_CAPABILITIES, 3); },
         {IOCTL_MOC_GET_SENSOR_ID, IOCTL_MOC_GET_CAPABILITIES, IOCTL_MOC_GET_POLICY},
         10,
         350,
         0,
         true},
        {"policy 7",
         false,
         [](auto& s) {
             s.SetPolicy(MocPolicy{{0, 0xC0, 0x01, 0, 0, 0, 0, 0}});
         },
         {IOCTL_MOC_GET_SENSOR_ID, IOCTL_MOC_GET_CAPABILITIES, IOCTL_MOC_GET_POLICY},
         12,
         12 * 35,
         7,
         true},
        {"policy fails",
         false,
         [](auto& s) {
             s.SetPolicy(MocPolicy{{0, 0xC0, 0x01, 0, 0, 0, 0, 0}});
             s.FailNext(IOCTL_MOC_GET_POLICY, ERROR_GEN_FAILURE);
         },
         {IOCTL_MOC_GET_SENSOR_ID, IOCTL_MOC_GET_CAPABILITIES, IOCTL_MOC_GET_POLICY},
         12,
         12 * 35,
         0,
         true},
        {"sensor id fails",
         false,
         [](auto& s) { s.FailNext(IOCTL_MOC_GET_SENSOR_ID, ERROR_GEN_FAILURE); },
         {IOCTL_MOC_GET_SENSOR_ID, IOCTL_MOC_GET_CAPABILITIES, IOCTL_MOC_GET_POLICY},
         12,
         12 * 35,
         0,
         false},
    };
    for (const Case& c : cases) {
        sensor->SetCapabilities({5, 12, static_cast<BYTE>(c.ownerIdMode ? 1 : 0), 0, {}});
        sensor->SetPolicy(MocPolicy{});
        sensor->ClearLog();
        c.plan(*sensor);
        ASSERT_EQ(StorageAdapterAttach(&pipeline), S_OK) << c.name;
        EXPECT_EQ(sensor->LoggedCodes(), c.requests) << c.name;
        WINIBIO_STORAGE_CONTEXT& context = Context();
        EXPECT_EQ(context.SlotCount, c.slots) << c.name;
        EXPECT_EQ(context.TemplateTableSize, c.tableSize) << c.name;
        EXPECT_EQ(context.TemplateTable.size(), c.tableSize) << c.name;
        EXPECT_EQ(context.Policy, c.policy) << c.name;
        EXPECT_EQ(context.SensorIdRead, c.sensorIdRead) << c.name;
        EXPECT_EQ(context.DatabaseMagic, 0x66688070u) << c.name;
        EXPECT_EQ(context.FirstUnlockFlag, 1u) << c.name;
        EXPECT_EQ(context.RememberedSidLength, 28u) << c.name;
        EXPECT_EQ(context.BuildCondition.dwBuildNumber, 26100u) << c.name;
        Bytes sensorId = c.sensorIdRead ? SimSensorId() : Bytes(32, 0);
        EXPECT_EQ(moc_test::Hex(context.SensorId, 32), moc_test::Hex(sensorId)) << c.name;
        EXPECT_EQ(std::string(context.UnitLabel), Label(sensorId)) << c.name;
        ASSERT_EQ(StorageAdapterDetach(&pipeline), S_OK);
        EXPECT_EQ(pipeline.StorageContext, nullptr);
    }
    EXPECT_EQ(platform::test::LiveHeapBlocks(), 0u);
}

TEST_F(StorageAdapterTest, AttachRefusesAnOccupiedPipeline) {
    Attach();
    PWINIBIO_STORAGE_CONTEXT first = pipeline.StorageContext;
    EXPECT_EQ(StorageAdapterAttach(&pipeline), WINBIO_E_INVALID_DEVICE_STATE);
    EXPECT_EQ(pipeline.StorageContext, first);
    ASSERT_EQ(StorageAdapterDetach(&pipeline), S_OK);
    pipeline.StorageHandle = reinterpret_cast<HANDLE>(0x1234);
    EXPECT_EQ(StorageAdapterAttach(&pipeline), WINBIO_E_INVALID_DEVICE_STATE);
    EXPECT_EQ(pipeline.StorageContext, nullptr);
    pipeline.StorageHandle = INVALID_HANDLE_VALUE;
    platform::test::FailNextHeapAllocations(1);
    EXPECT_EQ(StorageAdapterAttach(&pipeline), E_OUTOFMEMORY);
    EXPECT_EQ(pipeline.StorageContext, nullptr);
    EXPECT_EQ(StorageAdapterAttach(nullptr), E_POINTER);
    EXPECT_EQ(StorageAdapterDetach(&pipeline), WINBIO_E_INVALID_DEVICE_STATE);
}

// Calls every slot that tests its context with arguments that pass the
// pointer tests, and collects the results.
std::vector<HRESULT> CallEveryContextSlot(PWINBIO_PIPELINE pipeline) {
    GUID guid{};
    WINBIO_VERSION version{};
    WINBIO_EXTENDED_STORAGE_INFO info{};
    UCHAR buffer[8] = {};
    SIZE_T size = 0, total = 0;
    ULONG status = 0;
    WINBIO_IDENTITY identity = WildcardIdentity();
    WINBIO_STORAGE_RECORD record{};
    record.Identity = &identity;
    return {
        StorageAdapterClearContext(pipeline),
        StorageAdapterAddRecord(pipeline, &record),
        StorageAdapterDeleteRecord(pipeline, &identity, WINBIO_SUBTYPE_ANY),
        StorageAdapterQueryBySubject(pipeline, &identity, WINBIO_SUBTYPE_ANY),
        StorageAdapterQueryByContent(pipeline, WINBIO_SUBTYPE_ANY, nullptr, 0),
        StorageAdapterGetDatabaseSize(pipeline, &size, &total),
        StorageAdapterGetRecordCount(pipeline, &size),
        StorageAdapterFirstRecord(pipeline),
        StorageAdapterNextRecord(pipeline),
        StorageAdapterGetCurrentRecord(pipeline, &record),
        StorageAdapterCreateDatabase(pipeline, &guid, WINBIO_TYPE_FINGERPRINT, &guid, kFilePath,
                                     u"", 0, 0),
        StorageAdapterEraseDatabase(pipeline, &guid, kFilePath, u""),
        StorageAdapterOpenDatabase(pipeline, &guid, kFilePath, u""),
        StorageAdapterCloseDatabase(pipeline),
        StorageAdapterGetDataFormat(pipeline, &guid, &version),
        StorageAdapterControlUnit(pipeline, IOCTL_MOC_GET_POLICY, buffer, 8, buffer, 8, &size,
                                  &status),
        StorageAdapterNotifyPowerChange(pipeline, PBT_APMSUSPEND),
        StorageAdapterPipelineInit(pipeline),
        StorageAdapterPipelineCleanup(pipeline),
        StorageAdapterActivate(pipeline),
        StorageAdapterDeactivate(pipeline),
        StorageAdapterQueryExtendedInfo(pipeline, &info, sizeof(info)),
        StorageAdapterNotifyDatabaseChange(pipeline, TRUE),
    };
}

// An attach that fails part-way leaves a context behind for Detach; nothing
// else may use it.
TEST_F(StorageAdapterTest, FailedAttachLeavesOnlyDetach) {
    sensor->SetCapabilities({5, 10, 1, 0, {}});
    sensor->FailNext(IOCTL_MOC_GET_HOST_ID, ERROR_GEN_FAILURE);
    EXPECT_EQ(StorageAdapterAttach(&pipeline), WINBIO_E_DEVICE_FAILURE);
    ASSERT_NE(pipeline.StorageContext, nullptr);
    WriteFile(kPrivateFile, DatabaseFile({}));
    sensor->ClearLog();
    for (HRESULT hr : CallEveryContextSlot(&pipeline))
        EXPECT_EQ(hr, WINBIO_E_INVALID_DEVICE_STATE);
    EXPECT_TRUE(sensor->Log().empty());
    EXPECT_TRUE(Exists(kPrivateFile));
    EXPECT_EQ(StorageAdapterDetach(&pipeline), S_OK);
    EXPECT_EQ(pipeline.StorageContext, nullptr);
    EXPECT_EQ(platform::test::LiveHeapBlocks(), 0u);
    // Without any context the same.
    for (HRESULT hr : CallEveryContextSlot(&pipeline))
        EXPECT_EQ(hr, WINBIO_E_INVALID_DEVICE_STATE);
}

TEST_F(StorageAdapterTest, NullPipelineAndPointers) {
    Attach();
    GUID guid{};
    WINBIO_VERSION version{};
    UCHAR buffer[4] = {};
    SIZE_T size = 0;
    ULONG status = 0;
    HRESULT results[] = {
        StorageAdapterClearContext(nullptr),
        StorageAdapterCloseDatabase(nullptr),
        StorageAdapterGetDataFormat(&pipeline, nullptr, &version),
        StorageAdapterGetDataFormat(&pipeline, &guid, nullptr),
        StorageAdapterControlUnit(&pipeline, IOCTL_MOC_GET_POLICY, nullptr, 0, buffer, 4, &size,
                                  &status),
        StorageAdapterControlUnit(&pipeline, IOCTL_MOC_GET_POLICY, buffer, 4, nullptr, 4, &size,
                                  &status),
        StorageAdapterControlUnit(&pipeline, IOCTL_MOC_GET_POLICY, buffer, 4, buffer, 4, nullptr,
                                  &status),
        StorageAdapterControlUnit(&pipeline, IOCTL_MOC_GET_POLICY, buffer, 4, buffer, 4, &size,
                                  nullptr),
        StorageAdapterNotifyPowerChange(nullptr, PBT_APMSUSPEND),
        StorageAdapterActivate(nullptr),
        StorageAdapterQueryExtendedInfo(&pipeline, nullptr, 12),
        StorageAdapterOpenDatabase(&pipeline, nullptr, kFilePath, u""),
        StorageAdapterOpenDatabase(&pipeline, &guid, nullptr, u""),
        StorageAdapterOpenDatabase(&pipeline, &guid, kFilePath, nullptr),
        StorageAdapterCreateDatabase(&pipeline, &guid, 8, nullptr, kFilePath, u"", 0, 0),
        StorageAdapterEraseDatabase(&pipeline, &guid, kFilePath, nullptr),
        StorageAdapterAddRecord(nullptr, nullptr),
        StorageAdapterDeleteRecord(nullptr, nullptr, 1),
        StorageAdapterQueryBySubject(nullptr, nullptr, 1),
        StorageAdapterQueryByContent(nullptr, 1, nullptr, 0),
        StorageAdapterGetDatabaseSize(&pipeline, nullptr, &size),
        StorageAdapterGetRecordCount(&pipeline, nullptr),
        StorageAdapterFirstRecord(nullptr),
        StorageAdapterNextRecord(nullptr),
        StorageAdapterGetCurrentRecord(&pipeline, nullptr),
    };
    for (HRESULT hr : results)
        EXPECT_EQ(hr, E_POINTER);
    EXPECT_TRUE(sensor->Log().empty());
}

TEST_F(StorageAdapterTest, SmallSlots) {
    Attach();
    UCHAR buffer[8] = {};
    for (DWORD code : {0x443094u, 0x443020u, 0x443024u, 0x44309Cu, 0x443040u}) {
        SIZE_T size = 99;
        ULONG status = 99;
        HRESULT expected = code == 0x443040u ? E_INVALIDARG : S_OK;
        EXPECT_EQ(StorageAdapterControlUnit(&pipeline, code, buffer, 8, buffer, 8, &size, &status),
                  expected)
            << code;
        EXPECT_EQ(size, 0u);
        EXPECT_EQ(status, 0u);
    }
    EXPECT_TRUE(sensor->Log().empty());

    // The privileged slot tests nothing and must not write through a null pointer.
    SIZE_T size = 99;
    ULONG status = 99;
    EXPECT_EQ(
        StorageAdapterControlUnitPrivileged(nullptr, 0, nullptr, 0, nullptr, 0, nullptr, nullptr),
        E_NOTIMPL);
    EXPECT_EQ(
        StorageAdapterControlUnitPrivileged(&pipeline, 0, nullptr, 0, nullptr, 0, &size, nullptr),
        E_NOTIMPL);
    EXPECT_EQ(
        StorageAdapterControlUnitPrivileged(&pipeline, 0, nullptr, 0, nullptr, 0, nullptr, &status),
        E_NOTIMPL);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(status, 0u);

    for (ULONG event : {4u, 10u, 18u, 7u})
        EXPECT_EQ(StorageAdapterNotifyPowerChange(&pipeline, event),
                  event == 7u ? E_INVALIDARG : S_OK)
            << event;

    WINBIO_EXTENDED_STORAGE_INFO info;
    std::memset(&info, 0xCC, sizeof(info));
    EXPECT_EQ(StorageAdapterQueryExtendedInfo(&pipeline, &info, sizeof(info)), S_OK);
    EXPECT_EQ(info.GenericStorageCapabilities, 0u);
    EXPECT_EQ(info.Factor, WINBIO_TYPE_FINGERPRINT);
    EXPECT_EQ(info.Specific.Fingerprint.Capabilities, 0u);
    EXPECT_EQ(StorageAdapterQueryExtendedInfo(&pipeline, &info, 8), E_INVALIDARG);

    EXPECT_EQ(StorageAdapterReserved1(&pipeline, nullptr, nullptr, nullptr), E_NOTIMPL);
    EXPECT_EQ(StorageAdapterReserved2(nullptr, nullptr), E_NOTIMPL);
    EXPECT_EQ(StorageAdapterUpdateRecordBegin(nullptr, nullptr, 0, nullptr), E_NOTIMPL);
    EXPECT_EQ(StorageAdapterUpdateRecordCommit(nullptr, nullptr), E_NOTIMPL);
    EXPECT_EQ(StorageAdapterPipelineInit(&pipeline), S_OK);
    EXPECT_EQ(StorageAdapterPipelineCleanup(&pipeline), S_OK);
    EXPECT_EQ(StorageAdapterNotifyDatabaseChange(&pipeline, FALSE), S_OK);
    EXPECT_TRUE(sensor->Log().empty());
}

TEST_F(StorageAdapterTest, ContextStateOfTheSmallSlots) {
    Attach();
    WINIBIO_STORAGE_CONTEXT& context = Context();
    auto dirty = [&] {
        context.FormatGuid = {1, 2, 3, {4}};
        context.ResultCount = context.ResultPosition = context.DeleteCounter = 5;
        context.QueryCounter = context.IndexElementCount = 5;
        context.ResultList = {1024, 2048};
        std::memset(context.RememberedSid, 0xAB, 28);
        context.RememberedSidLength = 12;
    };
    dirty();
    ASSERT_EQ(StorageAdapterActivate(&pipeline), S_OK);
    GUID format;
    WINBIO_VERSION version{};
    ASSERT_EQ(StorageAdapterGetDataFormat(&pipeline, &format, &version), S_OK);
    const GUID zero{};
    EXPECT_EQ(std::memcmp(&format, &zero, sizeof(GUID)), 0);
    EXPECT_EQ(version.MajorVersion, 1u);
    EXPECT_EQ(version.MinorVersion, 3u);
    EXPECT_EQ(context.ResultCount + context.ResultPosition + context.DeleteCounter +
                  context.QueryCounter + context.IndexElementCount,
              0u);
    EXPECT_TRUE(context.ResultList.empty());
    EXPECT_EQ(moc_test::Hex(context.RememberedSid, 28),
              moc_test::Hex(Concat({Bytes(12, 0), Bytes(16, 0xAB)})));
    EXPECT_EQ(context.RememberedSidLength, 12u);

    dirty();
    ASSERT_EQ(StorageAdapterDeactivate(&pipeline), S_OK);
    EXPECT_EQ(context.DeleteCounter, 0u);
    EXPECT_TRUE(context.ResultList.empty());
    EXPECT_EQ(context.ResultCount, 5u);

    dirty();
    ASSERT_EQ(StorageAdapterClearContext(&pipeline), S_OK);
    EXPECT_EQ(context.ResultCount + context.ResultPosition + context.DeleteCounter, 0u);
    EXPECT_TRUE(context.ResultList.empty());
    EXPECT_EQ(context.QueryCounter, 5u);
}

TEST_F(StorageAdapterTest, CloseAndDetachHandleTheStorageHandle) {
    Attach();
    EXPECT_EQ(StorageAdapterCloseDatabase(&pipeline), S_OK);
    HANDLE file = CreateFileA("C:\\held.bin", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    size_t open = platform::test::OpenHandleCount();
    pipeline.StorageHandle = file;
    EXPECT_EQ(StorageAdapterCloseDatabase(&pipeline), S_OK);
    EXPECT_EQ(pipeline.StorageHandle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(platform::test::OpenHandleCount(), open - 1);

    // Detach gives the handle back as invalid but does not close it.
    file = CreateFileA("C:\\held.bin", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    pipeline.StorageHandle = file;
    ASSERT_EQ(StorageAdapterDetach(&pipeline), S_OK);
    EXPECT_EQ(pipeline.StorageHandle, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(file));
}

TEST_F(StorageAdapterTest, ResetDeletesOnlyThisHostsTemplates) {
    struct Case {
        const char* name;
        bool ownerIdMode;
        DWORD failingCode;
        HRESULT result;
        std::vector<int> deleted;
    } cases[] = {
        {"owner-id mode", true, 0, S_OK, {1, 4}},
        {"owner-id mode, deletion fails",
         true,
         IOCTL_MOC_DELETE_TEMPLATE,
         MocFailure(MOC_E_DELETE_TEMPLATE, ERROR_GEN_FAILURE),
         {1}},
        {"owner-id mode, table read fails",
         true,
         IOCTL_MOC_READ_TEMPLATE_TABLE,
         MocFailure(MOC_E_READ_TEMPLATE_TABLE, ERROR_GEN_FAILURE),
         {}},
        {"plain mode", false, 0, S_OK, {255}},
        {"plain mode, deletion fails", false, IOCTL_MOC_DELETE_TEMPLATE, S_OK, {255}},
    };
    for (const Case& c : cases) {
        Attach(c.ownerIdMode);
        SetSlot(1, 1, 2, KeyBytes(1));
        SetSlot(2, 1, 2, KeyBytes(2), OtherOwner());
        SetSlot(3, 1, 2, KeyBytes(3), Bytes(16, 0));
        SetSlot(4, 0, 3, KeyBytes(4));
        if (c.failingCode != 0)
            sensor->FailNext(c.failingCode, ERROR_GEN_FAILURE);
        std::strcpy(Context().PrivateFilePath, kPrivateFile);
        WriteFile(kPrivateFile, DatabaseFile({PlainBlock(1, 2, KeyBytes(1))}));
        EXPECT_EQ(ResetDatabase(&Context()), c.result) << c.name;
        EXPECT_EQ(DeletedSlots(), c.deleted) << c.name;
        EXPECT_EQ(ReadFile(kPrivateFile), FreshHeader()) << c.name;
        StorageAdapterDetach(&pipeline);
    }
}

TEST_F(StorageAdapterTest, ResetThatCannotWriteLeavesTheChipAlone) {
    Attach(true);
    SetSlot(1, 1, 2, KeyBytes(1));
    std::strcpy(Context().PrivateFilePath, kPrivateFile);
    const Bytes old = DatabaseFile({PlainBlock(1, 2, KeyBytes(1))});
    WriteFile(kPrivateFile, old);
    platform::test::FailNextFileCall("MoveFileExW", ERROR_ACCESS_DENIED);
    EXPECT_EQ(ResetDatabase(&Context()), WINBIO_E_DATABASE_CANT_CREATE);
    EXPECT_TRUE(sensor->Log().empty());
    EXPECT_EQ(ReadFile(kPrivateFile), old);
}

// What attach could not read of the chip is not guessed at: on a chip that
// keeps owners and hashes identities, taking it for one that does neither
// would delete other hosts' templates (every slot at once), store raw
// identities and search the list of the other mode; without the sensor id
// every record of this host looks another sensor's. Every operation that
// deletes templates, adds or deletes a record, or queries the records is
// refused the same way and changes nothing; the open goes on without a
// reconciliation; the next attach that reads the chip lifts it all.
TEST_F(StorageAdapterTest, WhatAttachCouldNotReadForbidsChanges) {
    const Bytes mine = KeyBytes(0x10);
    const WINBIO_IDENTITY added = SecureIdentity(KeyBytes(0x50));
    struct Case {
        const char* name;
        DWORD unread; // the attach request that fails
        bool privateFile;
        std::function<HRESULT()> operation;
        HRESULT refused, lifted;
    } cases[] = {
        {"create after an open: the reset", IOCTL_MOC_GET_CAPABILITIES, false,
         [&] {
             EXPECT_EQ(Open(), WINBIO_E_DATABASE_CANT_FIND);
             return Create();
         },
         WINBIO_E_DEVICE_FAILURE, S_OK},
        {"erase", IOCTL_MOC_GET_CAPABILITIES, true, [&] { return Erase(); },
         WINBIO_E_DEVICE_FAILURE, S_OK},
        {"delete everything", IOCTL_MOC_GET_CAPABILITIES, true,
         [&] { return DeleteRecord(WildcardIdentity(), WINBIO_SUBTYPE_ANY); },
         WINBIO_E_DEVICE_FAILURE, S_OK},
        {"delete an identity", IOCTL_MOC_GET_CAPABILITIES, true,
         [&] { return DeleteRecord(SecureIdentity(mine), 2); }, WINBIO_E_DEVICE_FAILURE, S_OK},
        {"add a record", IOCTL_MOC_GET_CAPABILITIES, true, [&] { return AddRecord(added, 3); },
         WINBIO_E_DEVICE_FAILURE, S_OK},
        {"add a record without the sensor id", IOCTL_MOC_GET_SENSOR_ID, true,
         [&] { return AddRecord(added, 3); }, WINBIO_E_DEVICE_FAILURE, S_OK},
        {"delete an identity without the sensor id", IOCTL_MOC_GET_SENSOR_ID, true,
         [&] { return DeleteRecord(SecureIdentity(mine), 2); }, WINBIO_E_DEVICE_FAILURE, S_OK},
        {"delete everything without the sensor id", IOCTL_MOC_GET_SENSOR_ID, true,
         [&] { return DeleteRecord(WildcardIdentity(), WINBIO_SUBTYPE_ANY); },
         WINBIO_E_DEVICE_FAILURE, S_OK},
        {"query by subject", IOCTL_MOC_GET_CAPABILITIES, true,
         [&] { return QueryBySubject(SecureIdentity(mine), 2); }, WINBIO_E_DEVICE_FAILURE, S_OK},
        {"query by subject without the sensor id", IOCTL_MOC_GET_SENSOR_ID, true,
         [&] { return QueryBySubject(SecureIdentity(mine), 2); }, WINBIO_E_DEVICE_FAILURE, S_OK},
        {"query by content", IOCTL_MOC_GET_CAPABILITIES, true,
         [&] { return StorageAdapterQueryByContent(&pipeline, 2, nullptr, 0); },
         WINBIO_E_DEVICE_FAILURE, S_OK},
        {"database size", IOCTL_MOC_GET_CAPABILITIES, true,
         [&] {
             SIZE_T available = 0, total = 0;
             return StorageAdapterGetDatabaseSize(&pipeline, &available, &total);
         },
         WINBIO_E_DEVICE_FAILURE, S_OK},
        {"open answers from the file", IOCTL_MOC_GET_CAPABILITIES, true, [&] { return Open(); },
         S_OK, S_OK},
    };
    // Each file as it is: its bytes behind a 1, or nothing when it is absent.
    auto files = [this] {
        std::vector<Bytes> out;
        for (const char* path : {kFrameworkFile, kPrivateFile})
            out.push_back(Exists(path) ? Concat({{1}, ReadFile(path)}) : Bytes{});
        return out;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (bool readable : {false, true}) {
            WriteFile(kFrameworkFile, FreshHeader());
            DeleteFileA(kPrivateFile);
            if (c.privateFile)
                WriteFile(kPrivateFile, DatabaseFile({OwnedBlock(1, 2, Sha256Of(mine))}));
            if (!readable)
                sensor->FailNext(c.unread, ERROR_GEN_FAILURE);
            Attach(true, true);
            sensor->SetDatabaseVersion(3);
            SetSlot(0, 1, 2, Sha256Of(mine));
            SetSlot(1, 1, 2, Sha256Of(mine), OtherOwner());
            std::strcpy(Context().PrivateFilePath, kPrivateFile);
            const std::vector<Bytes> before = files();
            EXPECT_EQ(c.operation(), readable ? c.lifted : c.refused);
            if (!readable) {
                EXPECT_TRUE(DeletedSlots().empty());
                EXPECT_EQ(sensor->CountOf(IOCTL_MOC_DELETE_TEMPLATES), 0u);
                EXPECT_EQ(sensor->Slot(0).state, MOC_SLOT_STATE_USED);
                EXPECT_EQ(sensor->Slot(1).state, MOC_SLOT_STATE_USED);
                EXPECT_EQ(files(), before);
            }
            // Another host's template outlives every one of them.
            EXPECT_EQ(sensor->Slot(1).state, MOC_SLOT_STATE_USED);
            StorageAdapterDetach(&pipeline);
        }
    }
}

// The library the biometric service loads hands out the same operations.
TEST_F(StorageAdapterTest, LoadedLibraryAnswersThroughItsTable) {
    void* library = dlopen(MOC_ADAPTER_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    auto query = reinterpret_cast<PWINBIO_QUERY_STORAGE_INTERFACE_FN>(
        dlsym(library, "WbioQueryStorageInterface"));
    ASSERT_NE(query, nullptr);
    PWINBIO_STORAGE_INTERFACE table = nullptr;
    ASSERT_EQ(query(&table), S_OK);
    ASSERT_EQ(table->Size, 272u);
    ASSERT_EQ(table->Attach(&pipeline), S_OK);
    GUID id{};
    EXPECT_EQ(table->OpenDatabase(&pipeline, &id, kFilePath, u""), WINBIO_E_DATABASE_CANT_FIND);
    EXPECT_EQ(table->CreateDatabase(&pipeline, &id, 8, &id, kFilePath, u"", 0, 0), S_OK);
    EXPECT_EQ(ReadFile(kPrivateFile), FreshHeader());
    EXPECT_EQ(table->OpenDatabase(&pipeline, &id, kFilePath, u""), S_OK);

    // A record through the whole road: added, found, walked, sized, deleted.
    WINBIO_IDENTITY identity = SecureIdentity(KeyBytes(0x21));
    WINBIO_STORAGE_RECORD record{};
    record.Identity = &identity;
    record.SubFactor = 2;
    EXPECT_EQ(table->AddRecord(&pipeline, &record), S_OK);
    EXPECT_EQ(table->AddRecord(&pipeline, &record), WINBIO_E_DUPLICATE_ENROLLMENT);
    EXPECT_EQ(table->QueryBySubject(&pipeline, &identity, 2), S_OK);
    SIZE_T count = 0, available = 0;
    EXPECT_EQ(table->GetRecordCount(&pipeline, &count), S_OK);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(table->FirstRecord(&pipeline), S_OK);
    WINBIO_STORAGE_RECORD current{};
    EXPECT_EQ(table->GetCurrentRecord(&pipeline, &current), S_OK);
    ASSERT_NE(current.Identity, nullptr);
    EXPECT_EQ(moc_test::BytesOf(*current.Identity), moc_test::BytesOf(identity));
    EXPECT_EQ(table->NextRecord(&pipeline), WINBIO_E_DATABASE_NO_MORE_RECORDS);
    EXPECT_EQ(table->GetDatabaseSize(&pipeline, &available, &count), S_OK);
    EXPECT_EQ(available, 9u);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(table->QueryByContent(&pipeline, 2, nullptr, 0), S_OK);
    EXPECT_EQ(table->DeleteRecord(&pipeline, &identity, 2), S_OK);
    EXPECT_EQ(table->QueryByContent(&pipeline, 2, nullptr, 0), WINBIO_E_DATABASE_NO_RESULTS);
    EXPECT_EQ(ReadFile(kPrivateFile), FreshHeader());
    EXPECT_EQ(table->Detach(&pipeline), S_OK);
    EXPECT_EQ(pipeline.StorageContext, nullptr);
    dlclose(library);
}

} // namespace
} // namespace storage_test
