// The storage operations on a private file of 255 records, each beside one
// whole read of that file and one atomic rewrite of it with the same platform
// calls: the least that an operation which reads and saves its records whole
// must pay.
//
// The storage adapter is the loaded TolviMocAdapter's, driven through its
// interface table. The chip has 255 slots in owner-id mode; 254 hold this
// host's templates and the file's 254 blocks describe them. The 255th block
// was written for the sensor the machine had before (another sensor id): it
// stays in the file but is no record of this host, so the database is not
// full and AddRecord can still add one.
#include <windows.h>
#include <winbio_adapter.h>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>
#include "bench/pairs.h"
#include "host/adapter_library.h"
#include "host/biometric_unit.h"
#include "platform/test.h"
#include "simsensor/simulated_sensor.h"
#include "storage/database_file.h"
#include "support/temp_root.h"

namespace {

constexpr DWORD kSlots = 255;
constexpr DWORD kHostRecords = 254;
constexpr const WCHAR* kFilePath =
    u"C:\\WinBioDatabase\\{6A2F2E1C-0E1E-4D2B-9C3C-5B7E0A1D2F30}.DAT";
constexpr const char* kPrivateFile = "C:\\WinBioDatabase\\0A0A09AC-31A1-4880-9AC8-B1FF3C9E94EB.DAT";
constexpr const WCHAR* kPrivateFileWide =
    u"C:\\WinBioDatabase\\0A0A09AC-31A1-4880-9AC8-B1FF3C9E94EB.DAT";
constexpr const WCHAR* kPrivateFileTemporary =
    u"C:\\WinBioDatabase\\0A0A09AC-31A1-4880-9AC8-B1FF3C9E94EB.DAT.new";

// The secure identity of record `n`.
IdentityKey KeyOf(DWORD n) {
    IdentityKey key{};
    for (DWORD i = 0; i < sizeof(key.Bytes); ++i)
        key.Bytes[i] = static_cast<BYTE>(n * 7 + i * 13 + 1);
    key.Bytes[28] = static_cast<BYTE>(n);
    key.Bytes[29] = static_cast<BYTE>(n >> 8);
    key.Bytes[30] = 0x5A;
    return key;
}

BYTE SubFactorOf(DWORD n) {
    return static_cast<BYTE>(1 + n % 10);
}

WINBIO_IDENTITY SecureIdentityOf(DWORD n) {
    WINBIO_IDENTITY identity{};
    identity.Type = WINBIO_ID_TYPE_SECURE_ID;
    std::memcpy(identity.Value.SecureId, KeyOf(n).Bytes, WINBIO_SECURE_ID_SIZE);
    return identity;
}

// The result of a call against the one it should have given.
bool Expect(HRESULT got, HRESULT wanted, const char* what, std::string* why) {
    if (got == wanted)
        return true;
    char text[96];
    std::snprintf(text, sizeof(text), "%s returned 0x%08X", what, static_cast<unsigned>(got));
    *why = text;
    return false;
}

// A storage adapter attached to the simulated chip, its database open on the
// file of 255 records.
class StorageBench {
public:
    StorageBench() {
        platform::test::ResetAll();
        root_ = std::make_unique<moc_test::TempRoot>();
        std::filesystem::create_directories(root_->Native("C:\\WinBioDatabase"));
        sensor_ = std::make_shared<simsensor::SimulatedSensor>();
        sensor_->SetCapabilities(MocCapabilities{5, kSlots, 1, 0, {0, 0, 0, 0}});
        BuildFile();
        RestoreSlots();

        device_ = platform::test::OpenDevice(sensor_);
        library_ = host::AdapterLibrary::Load(MOC_ADAPTER_LIBRARY, &why_);
        if (library_ == nullptr)
            return;
        // Only the storage adapter is attached.
        unit_ = std::make_unique<host::BiometricUnit>(library_->Tables(), device_);
        table_ = library_->Tables().storage;
        ready_ = Expect(table_->Attach(Pipeline()), S_OK, "Attach", &why_) &&
                 Expect(Open(), S_OK, "OpenDatabase", &why_);
        sensor_->ClearLog();
    }
    ~StorageBench() {
        unit_.reset();
        library_.reset();
        CloseHandle(device_);
        root_.reset();
        platform::test::ResetAll();
    }
    StorageBench(const StorageBench&) = delete;
    StorageBench& operator=(const StorageBench&) = delete;

    bool Ready(std::string* why) const {
        *why = why_;
        return ready_;
    }
    WINBIO_PIPELINE* Pipeline() { return &unit_->Pipeline(); }
    PWINBIO_STORAGE_INTERFACE Table() const { return table_; }

    HRESULT Open() {
        GUID id{};
        return table_->OpenDatabase(Pipeline(), &id, kFilePath, u"");
    }

    // Puts the file and the chip back as they were before an operation changed
    // them, and forgets the requests the sensor logged.
    void Restore() {
        platform::test::WriteWholeFile(kPrivateFile, image_);
        RestoreSlots();
        sensor_->ClearLog();
    }

private:
    void BuildFile() {
        DatabaseFileHeader header = FreshDatabaseHeader(MOC_DATABASE_MAGIC);
        header.BlockCount = kHostRecords + 1;
        image_.assign(sizeof(header), '\0');
        std::memcpy(&image_[0], &header, sizeof(header));
        const HostOwnerId owner = sensor_->HostOwner();
        MocSensorId sensorId = sensor_->SensorId();
        for (DWORD n = 0; n <= kHostRecords; ++n) {
            DatabaseRecordBlock block{};
            block.BlockType = MOC_BLOCK_TYPE_OWNED;
            block.RecordLength = MOC_LEGACY_RECORD_SIZE_OWNED;
            block.Owner = owner;
            block.Valid = 1;
            block.IdentityKind = MOC_IDENTITY_KIND_SECURE_ID;
            block.SubFactor = SubFactorOf(n);
            block.IdentityLength = WINBIO_SECURE_ID_SIZE;
            block.Key = KeyOf(n);
            // S-1-5-21-...: eight accounts share the records.
            const BYTE sid[12] = {1, 2, 0, 0, 0, 0, 0, 5, 21, 0, 0, static_cast<BYTE>(n % 8)};
            block.AccountSidLength = sizeof(sid);
            std::memcpy(block.AccountSid, sid, sizeof(sid));
            block.SensorIdLength = MOC_SENSOR_ID_SIZE;
            std::memcpy(block.SensorId, sensorId.Bytes, MOC_SENSOR_ID_SIZE);
            if (n == kHostRecords)
                block.SensorId[0] ^= 0xFF; // the sensor this machine had before
            const auto* bytes = reinterpret_cast<const char*>(&block);
            image_.append(bytes, sizeof(block));
        }
        platform::test::WriteWholeFile(kPrivateFile, image_);
    }

    void RestoreSlots() {
        for (DWORD n = 0; n < kSlots; ++n) {
            simsensor::SimSlot slot;
            if (n < kHostRecords) {
                slot.state = MOC_SLOT_STATE_USED;
                slot.identityKind = MOC_IDENTITY_KIND_SECURE_ID;
                slot.subFactor = SubFactorOf(n);
                slot.key = KeyOf(n);
                slot.rawKey = slot.key;
                slot.owner = sensor_->HostOwner();
            }
            sensor_->SetSlot(n, slot);
        }
    }

    std::unique_ptr<moc_test::TempRoot> root_;
    std::shared_ptr<simsensor::SimulatedSensor> sensor_;
    HANDLE device_ = INVALID_HANDLE_VALUE;
    std::unique_ptr<host::AdapterLibrary> library_;
    std::unique_ptr<host::BiometricUnit> unit_;
    PWINBIO_STORAGE_INTERFACE table_ = nullptr;
    std::string image_;
    bool ready_ = false;
    std::string why_;
};

// The baseline: the file read whole, then written to a temporary file that is
// flushed, closed and moved over it write-through.
bool ReadAndRewrite(std::vector<BYTE>& buffer) {
    HANDLE file = CreateFileA(kPrivateFile, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER length{};
    DWORD done = 0;
    bool ok = GetFileSizeEx(file, &length) != FALSE;
    if (ok) {
        buffer.resize(static_cast<size_t>(length.QuadPart));
        ok = ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &done, nullptr) &&
             done == buffer.size();
    }
    CloseHandle(file);
    if (!ok)
        return false;
    file = CreateFileW(kPrivateFileTemporary, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    ok = WriteFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &done, nullptr) &&
         done == buffer.size() && FlushFileBuffers(file);
    ok = CloseHandle(file) && ok;
    return ok && MoveFileExW(kPrivateFileTemporary, kPrivateFileWide,
                             MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

// How much of the world an operation changes, and so must be put back before
// each call of either half: both start from the same file and file cache.
enum class Changes { Nothing, FileAndChip };

using Operation = HRESULT (*)(StorageBench&);
using Preparation = void (*)(StorageBench&);

class StorageCase : public moc_bench::PairCase {
public:
    StorageCase(Changes changes, Preparation prepare, Operation operation, const char* what)
        : changes_(changes), prepare_(prepare), operation_(operation), what_(what) {}

    bool Ready(std::string* why) const { return bench_.Ready(why); }
    void Prepare() override {
        if (changes_ != Changes::Nothing)
            bench_.Restore();
        if (prepare_ != nullptr)
            prepare_(bench_);
    }
    bool Ours(std::string* why) override { return Expect(operation_(bench_), S_OK, what_, why); }
    bool Raw(std::string* why) override {
        if (ReadAndRewrite(buffer_))
            return true;
        *why = "the raw read and rewrite failed";
        return false;
    }

private:
    StorageBench bench_;
    Changes changes_;
    Preparation prepare_;
    Operation operation_;
    const char* what_;
    std::vector<BYTE> buffer_;
};

void Register(const char* name, Changes changes, Preparation prepare, Operation operation,
              const char* what) {
    moc_bench::RegisterPair(
        name,
        [=](std::string* why) -> std::unique_ptr<moc_bench::PairCase> {
            auto pair = std::make_unique<StorageCase>(changes, prepare, operation, what);
            if (!pair->Ready(why))
                return nullptr;
            return pair;
        },
        moc_bench::PairOptions{});
}

HRESULT Add(StorageBench& b) {
    WINBIO_IDENTITY identity = SecureIdentityOf(kSlots + 1);
    WINBIO_STORAGE_RECORD record{};
    record.Identity = &identity;
    record.SubFactor = SubFactorOf(3);
    return b.Table()->AddRecord(b.Pipeline(), &record);
}

HRESULT DeleteOne(StorageBench& b) {
    WINBIO_IDENTITY identity = SecureIdentityOf(100);
    return b.Table()->DeleteRecord(b.Pipeline(), &identity, SubFactorOf(100));
}

HRESULT DeleteAll(StorageBench& b) {
    WINBIO_IDENTITY identity{};
    identity.Type = WINBIO_ID_TYPE_WILDCARD;
    identity.Value.Wildcard = WINBIO_IDENTITY_WILDCARD;
    return b.Table()->DeleteRecord(b.Pipeline(), &identity, WINBIO_SUBTYPE_ANY);
}

HRESULT QueryBySubject(StorageBench& b) {
    WINBIO_IDENTITY identity = SecureIdentityOf(200);
    return b.Table()->QueryBySubject(b.Pipeline(), &identity, SubFactorOf(200));
}

HRESULT QueryByContent(StorageBench& b) {
    return b.Table()->QueryByContent(b.Pipeline(), WINBIO_SUBTYPE_ANY, nullptr, 0);
}

// Every result of a query that found all of this host's records.
HRESULT Enumerate(StorageBench& b) {
    PWINBIO_STORAGE_INTERFACE table = b.Table();
    HRESULT hr = table->FirstRecord(b.Pipeline());
    DWORD walked = 0;
    while (hr == S_OK) {
        WINBIO_STORAGE_RECORD record{};
        hr = table->GetCurrentRecord(b.Pipeline(), &record);
        if (FAILED(hr))
            return hr;
        ++walked;
        hr = table->NextRecord(b.Pipeline());
    }
    return hr == WINBIO_E_DATABASE_NO_MORE_RECORDS && walked == kHostRecords ? S_OK : E_FAIL;
}

const bool kRegistered = [] {
    Register(
        "storage/open", Changes::Nothing,
        [](StorageBench& b) { b.Table()->CloseDatabase(b.Pipeline()); },
        [](StorageBench& b) { return b.Open(); }, "OpenDatabase");
    Register("storage/add", Changes::FileAndChip, nullptr, Add, "AddRecord");
    Register("storage/delete", Changes::FileAndChip, nullptr, DeleteOne, "DeleteRecord");
    Register("storage/delete_all", Changes::FileAndChip, nullptr, DeleteAll, "DeleteRecord");
    // The first query after activation reads the file; later ones of the same
    // activation search what it read.
    Register(
        "storage/query_by_subject", Changes::Nothing,
        [](StorageBench& b) { b.Table()->Activate(b.Pipeline()); }, QueryBySubject,
        "QueryBySubject");
    Register("storage/query_by_content", Changes::Nothing, nullptr, QueryByContent,
             "QueryByContent");
    Register(
        "storage/enumerate", Changes::Nothing, [](StorageBench& b) { QueryByContent(b); },
        Enumerate, "the walk through the results");
    return true;
}();

} // namespace
