// The storage operations on a private file of 255 records, each beside its
// baseline: the platform calls and driver requests that the operation cannot
// do without, made straight on the same file and the same chip. Where each
// pair is registered, its comment says what its baseline does and why that
// is the least the operation must do.
//
// The storage adapter is the loaded TolviMocAdapter's, driven through its
// interface table. The chip has 255 slots in owner-id mode; 254 hold this
// host's templates and the file's 254 blocks describe them. The 255th block
// was written for the sensor the machine had before (another sensor id): it
// stays in the file but is no record of this host, so the database is not
// full and AddRecord can still add one.
#include <windows.h>
#include <winbio_adapter.h>
#include <algorithm>
#include <cstring>
#include <io.h>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>
#include "bench/pairs.h"
#include "bench/raw_calls.h"
#include "host/adapter_library.h"
#include "host/biometric_unit.h"
#include "platform/test.h"
#include "simsensor/simulated_sensor.h"
#include "device/driver_interface.h"
#include "storage/database_file.h"
#include "support/temp_root.h"

namespace {

constexpr DWORD kSlots = 255;
constexpr DWORD kHostRecords = 254;
constexpr const char* kFolder = "C:\\WinBioDatabase";
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
        std::filesystem::create_directories(root_->Native(kFolder));
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
    HANDLE Device() const { return device_; }
    // The file as built: header, then the blocks.
    const std::string& Image() const { return image_; }

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

// How much of the world an operation changes, and so must be put back before
// each call of either half: both start from the same file and file cache.
enum class Changes { Nothing, FileAndChip };

// What a baseline works in, kept across calls as the adapter keeps its buffers.
struct Scratch {
    std::vector<BYTE> file;
    std::vector<BYTE> table;
    WINBIO_IDENTITY identity{};
    WINBIO_STORAGE_RECORD record{};
    BYTE templateBytes[MOC_BLOCK_TEMPLATE_SIZE] = {};
    BYTE payloadBytes[MOC_BLOCK_PAYLOAD_SIZE] = {};
    ULONG indexVector[MOC_BLOCK_INDEX_ELEMENTS] = {};
};

using Operation = HRESULT (*)(StorageBench&);
using Preparation = void (*)(StorageBench&);
using Baseline = bool (*)(StorageBench&, Scratch&);

class StorageCase : public moc_bench::PairCase {
public:
    StorageCase(Changes changes, Preparation prepare, Operation operation, Baseline baseline,
                const char* what)
        : changes_(changes), prepare_(prepare), operation_(operation), baseline_(baseline),
          what_(what) {}

    bool Ready(std::string* why) const { return bench_.Ready(why); }
    void Prepare() override {
        if (changes_ != Changes::Nothing)
            bench_.Restore();
        if (prepare_ != nullptr)
            prepare_(bench_);
    }
    bool Ours(std::string* why) override { return Expect(operation_(bench_), S_OK, what_, why); }
    bool Raw(std::string* why) override {
        if (baseline_(bench_, scratch_))
            return true;
        *why = std::string("the baseline of ") + what_ + " failed";
        return false;
    }

private:
    StorageBench bench_;
    Changes changes_;
    Preparation prepare_;
    Operation operation_;
    Baseline baseline_;
    const char* what_;
    Scratch scratch_;
};

void Register(const char* name, Changes changes, Preparation prepare, Operation operation,
              Baseline baseline, const char* what) {
    moc_bench::RegisterPair(
        name,
        [=](std::string* why) -> std::unique_ptr<moc_bench::PairCase> {
            auto pair = std::make_unique<StorageCase>(changes, prepare, operation, baseline, what);
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

// ---------------------------------------------------------------------------
// The baselines
// ---------------------------------------------------------------------------

constexpr size_t kBlock = MOC_DATABASE_BLOCK_SIZE;

bool ReadPrivateFile(Scratch& s) {
    return moc_bench::RawReadWhole(kPrivateFile, &s.file);
}

// The first `size` bytes of the scratch file written as the new file: the
// same amount of writing as the operation's rewrite, whatever the bytes.
bool RewritePrivateFile(Scratch& s, size_t size) {
    if (s.file.size() < size)
        s.file.resize(size);
    return moc_bench::RawRewriteWhole(kPrivateFileWide, kPrivateFileTemporary, s.file.data(), size);
}

bool DeleteSlot(StorageBench& b, BYTE slot) {
    return moc_bench::RawRequest(b.Device(), IOCTL_MOC_DELETE_TEMPLATE, &slot, 1, nullptr, 0);
}

bool ChipDatabaseVersion(StorageBench& b, BYTE operation) {
    MocDatabaseVersionRequest request{};
    request.Operation = operation;
    request.Version = operation == MOC_DATABASE_VERSION_SET ? MOC_CHIP_DATABASE_VERSION : 0;
    return moc_bench::RawRequest(b.Device(), IOCTL_MOC_DATABASE_VERSION, &request, sizeof(request),
                                 &request, sizeof(request));
}

bool RawOpen(StorageBench& b, Scratch& s) {
    WIN32_FILE_ATTRIBUTE_DATA attributes{};
    s.table.resize(size_t(kSlots) * sizeof(TemplateSlotEntryOwned));
    return _access(kFolder, 0) == 0 &&
           GetFileAttributesExW(kPrivateFileWide, GetFileExInfoStandard, &attributes) &&
           ChipDatabaseVersion(b, MOC_DATABASE_VERSION_GET) && ReadPrivateFile(s) &&
           moc_bench::RawRequest(b.Device(), IOCTL_MOC_READ_TEMPLATE_TABLE, nullptr, 0,
                                 s.table.data(), static_cast<DWORD>(s.table.size())) &&
           RewritePrivateFile(s, b.Image().size()) &&
           ChipDatabaseVersion(b, MOC_DATABASE_VERSION_SET);
}

bool RawAdd(StorageBench& b, Scratch& s) {
    return ReadPrivateFile(s) && RewritePrivateFile(s, b.Image().size() + kBlock);
}

bool RawDeleteOne(StorageBench& b, Scratch& s) {
    return ReadPrivateFile(s) && DeleteSlot(b, 100) &&
           RewritePrivateFile(s, b.Image().size() - kBlock);
}

bool RawDeleteAll(StorageBench& b, Scratch& s) {
    if (!ReadPrivateFile(s))
        return false;
    for (DWORD slot = 0; slot < kHostRecords; ++slot) {
        if (!DeleteSlot(b, static_cast<BYTE>(slot)))
            return false;
    }
    return RewritePrivateFile(s, sizeof(DatabaseFileHeader) + kBlock);
}

bool RawQuery(StorageBench&, Scratch& s) {
    return ReadPrivateFile(s);
}

// Each record as GetCurrentRecord hands it out, copied from the blocks as the
// file holds them: the identity, the sub-factor, the template and payload
// bytes.
bool RawEnumerate(StorageBench& b, Scratch& s) {
    const std::string& image = b.Image();
    for (DWORD n = 0; n < kHostRecords; ++n) {
        DatabaseRecordBlock block;
        std::memcpy(&block, image.data() + sizeof(DatabaseFileHeader) + n * kBlock, kBlock);
        s.identity.Type = WINBIO_ID_TYPE_SECURE_ID;
        std::memcpy(s.identity.Value.SecureId, block.Key.Bytes, WINBIO_SECURE_ID_SIZE);
        s.record.Identity = &s.identity;
        s.record.SubFactor = block.SubFactor;
        // The database has no index elements: none to decode.
        s.record.IndexVector = s.indexVector;
        s.record.IndexElementCount = 0;
        const size_t templateSize = std::min<size_t>(block.TemplateSize, sizeof(s.templateBytes));
        const size_t payloadSize = std::min<size_t>(block.PayloadSize, sizeof(s.payloadBytes));
        std::memcpy(s.templateBytes, block.TemplateBytes, templateSize);
        std::memcpy(s.payloadBytes, block.PayloadBytes, payloadSize);
        s.record.TemplateBlob = s.templateBytes;
        s.record.TemplateBlobSize = templateSize;
        s.record.PayloadBlob = s.payloadBytes;
        s.record.PayloadBlobSize = payloadSize;
        benchmark::DoNotOptimize(s.record);
        benchmark::ClobberMemory();
    }
    return true;
}

const bool kRegistered = [] {
    // Open: the folder and the private file looked for, the chip's database
    // version asked, the file read whole, the chip's template table read, the
    // reconciled file written back whole and the version recorded on the chip.
    // An open must rewrite the file after its reconciliation even when nothing
    // changed, and nothing of it can be left out without skipping a step.
    Register(
        "storage/open", Changes::Nothing,
        [](StorageBench& b) { b.Table()->CloseDatabase(b.Pipeline()); },
        [](StorageBench& b) { return b.Open(); }, RawOpen, "OpenDatabase");
    // Add: the file read whole and rewritten with one block more. The record
    // set lives only in the file, so no add can do with less.
    Register("storage/add", Changes::FileAndChip, nullptr, Add, RawAdd, "AddRecord");
    // Delete: the file read whole, the record's chip slot deleted and the file
    // rewritten with one block less. The chip's table that finds the slot is
    // read only by the first delete after an attach or an activation: ours
    // reads it in its first timed call alone, and the baseline leaves it out.
    Register("storage/delete", Changes::FileAndChip, nullptr, DeleteOne, RawDeleteOne,
             "DeleteRecord");
    // Delete of everything (owner-id mode): the file read whole, each of the
    // 254 slots of this host deleted with a request of its own, and the file
    // rewritten with the other sensor's block only. In owner-id mode another
    // host's templates must stay, so the slots go one by one.
    Register("storage/delete_all", Changes::FileAndChip, nullptr, DeleteAll, RawDeleteAll,
             "DeleteRecord");
    // The queries: one whole read of the file, which the first query of an
    // activation must make to search the records, and nothing else: a query
    // changes neither the file nor the chip. The first query after activation
    // reads the file; later ones of the same activation search what it read.
    Register(
        "storage/query_by_subject", Changes::Nothing,
        [](StorageBench& b) { b.Table()->Activate(b.Pipeline()); }, QueryBySubject, RawQuery,
        "QueryBySubject");
    // A query by content reads the file at every call.
    Register("storage/query_by_content", Changes::Nothing, nullptr, QueryByContent, RawQuery,
             "QueryByContent");
    // The walk through the 254 results of a query: a plain copy of each
    // record it hands out, from blocks in memory. The query has read the
    // file already, so the walk needs no platform call at all.
    Register(
        "storage/enumerate", Changes::Nothing, [](StorageBench& b) { QueryByContent(b); },
        Enumerate, RawEnumerate, "the walk through the results");
    return true;
}();

} // namespace
