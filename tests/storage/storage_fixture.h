// Shared ground of the storage suites: record blocks and database files built
// byte by byte from their offsets (never from the system's records, so that a
// wrong field offset shows), and a pipeline with the storage adapter attached
// to a simulated sensor under a fresh drive root.
#pragma once
#include <gtest/gtest.h>
#include <windows.h>
#include <winbio_adapter.h>
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>
#include "platform/test.h"
#include "simsensor/simulated_sensor.h"
#include "common/trace_provider.h"
#include "storage/storage_adapter.h"
#include "storage/storage_context.h"
#include "support/bytes.h"
#include "support/temp_root.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved);

namespace storage_test {

using moc_test::Bytes;
using moc_test::Concat;
using moc_test::Le16;
using moc_test::Le32;

constexpr size_t kBlockSize = 1024;

// The simulated sensor's defaults.
inline Bytes SimSensorId() {
    Bytes id(32);
    for (size_t i = 0; i < id.size(); ++i)
        id[i] = static_cast<uint8_t>(0x10 + i);
    return id;
}
inline Bytes SimHostOwner() {
    Bytes id(16);
    for (size_t i = 0; i < id.size(); ++i)
        id[i] = static_cast<uint8_t>(0x40 + i);
    return id;
}
inline Bytes OtherOwner() {
    return Bytes(16, 0x77);
}

inline Bytes KeyBytes(uint8_t first) {
    Bytes key(32);
    for (size_t i = 0; i < key.size(); ++i)
        key[i] = static_cast<uint8_t>(first + 3 * i);
    return key;
}

struct BlockFields {
    uint8_t type = 0x10;
    uint8_t valid = 1;
    uint8_t kind = 1;
    uint8_t subFactor = 2;
    Bytes key = KeyBytes(0xA0);
    Bytes owner;      // 16 bytes, or none
    Bytes sensorId;   // 32 bytes, or none
    uint8_t mark = 0; // a byte in the zero area, to tell equal records apart
};

// One 1024-byte block at the offsets of the file format.
inline Bytes Block(const BlockFields& f) {
    Bytes b(kBlockSize, 0);
    b[0] = f.type;
    b[1] = f.type == 0x11 ? 0x9D : 0x7C;
    std::copy(f.owner.begin(), f.owner.end(), b.begin() + 3);
    b[19] = f.valid;
    b[20] = f.kind;
    b[21] = f.subFactor;
    b[22] = static_cast<uint8_t>(f.key.size());
    std::copy(f.key.begin(), f.key.end(), b.begin() + 23);
    if (!f.sensorId.empty()) {
        b[143] = 0x20;
        std::copy(f.sensorId.begin(), f.sensorId.end(), b.begin() + 144);
    }
    b[600] = f.mark;
    return b;
}

// A block of this host and sensor in owner-id mode describing `key`/`subFactor`.
inline Bytes OwnedBlock(uint8_t kind, uint8_t subFactor, const Bytes& key,
                        Bytes owner = SimHostOwner(), Bytes sensorId = SimSensorId()) {
    BlockFields f;
    f.type = 0x11;
    f.kind = kind;
    f.subFactor = subFactor;
    f.key = key;
    f.owner = std::move(owner);
    f.sensorId = std::move(sensorId);
    return Block(f);
}

// The same block with the account SID `sid` (length byte 55, bytes from 56).
inline Bytes WithAccount(Bytes block, const Bytes& sid) {
    block[55] = static_cast<uint8_t>(sid.size());
    std::copy(sid.begin(), sid.end(), block.begin() + 56);
    return block;
}

inline Bytes PlainBlock(uint8_t kind, uint8_t subFactor, const Bytes& key, uint8_t mark = 0) {
    BlockFields f;
    f.kind = kind;
    f.subFactor = subFactor;
    f.key = key;
    f.mark = mark;
    return Block(f);
}

// The five counters as the engine would have left them.
inline Bytes Counters() {
    return Concat({Le32(7), Le32(3), Le32(2), Le32(1), Le32(1)});
}

// A private database file image: magic, version, block count (`blockCount`,
// or the number of blocks when negative), header size, the counters, further
// header bytes up to the header size, the blocks and the trailing bytes.
inline Bytes DatabaseFile(const std::vector<Bytes>& blocks, uint16_t headerSize = 29,
                          uint8_t version = 3, const Bytes& extraHeader = {},
                          const Bytes& trailing = {}, int blockCount = -1) {
    Bytes out = Concat({{0x70, 0x80, 0x68, 0x66},
                        {version},
                        Le16(blockCount < 0 ? static_cast<uint32_t>(blocks.size())
                                            : static_cast<uint32_t>(blockCount)),
                        Le16(headerSize),
                        Counters(),
                        extraHeader});
    out.resize(headerSize, 0);
    for (const Bytes& block : blocks)
        out.insert(out.end(), block.begin(), block.end());
    out.insert(out.end(), trailing.begin(), trailing.end());
    return out;
}

// The blocks of a private database file image (header size from bytes 7-8).
inline std::vector<Bytes> BlocksOfFile(const Bytes& file) {
    if (file.size() < 9)
        return {};
    const size_t headerSize = file[7] | (file[8] << 8);
    const size_t count = file[5] | (file[6] << 8);
    std::vector<Bytes> out;
    for (size_t i = 0; i < count && headerSize + (i + 1) * kBlockSize <= file.size(); ++i)
        out.emplace_back(file.begin() + headerSize + i * kBlockSize,
                         file.begin() + headerSize + (i + 1) * kBlockSize);
    return out;
}

// A template as the chip's table and the files describe it.
struct HeldTemplate {
    uint8_t kind = 0;
    uint8_t subFactor = 0;
    Bytes key;
    bool operator==(const HeldTemplate& other) const {
        return kind == other.kind && subFactor == other.subFactor && key == other.key;
    }
};

// The templates that the valid blocks of a database file image (the private
// file, or the legacy block file of the same format) describe.
inline std::vector<HeldTemplate> TemplatesOfFile(const Bytes& file) {
    std::vector<HeldTemplate> out;
    for (const Bytes& b : BlocksOfFile(file))
        if (b[19] == 1)
            out.push_back({b[20], b[21], Bytes(b.begin() + 23, b.begin() + 55)});
    return out;
}

// The templates of a legacy record file in the counted layout: a 16-bit
// record count, then 157-byte records (valid, kind, sub-factor, length, key).
inline std::vector<HeldTemplate> TemplatesOfCountedRecords(const Bytes& file) {
    std::vector<HeldTemplate> out;
    const size_t count = file.size() < 2 ? 0 : (file[0] | (file[1] << 8));
    for (size_t i = 0; i < count && 2 + (i + 1) * 157 <= file.size(); ++i) {
        const uint8_t* r = file.data() + 2 + i * 157;
        if (r[0] == 1)
            out.push_back({r[1], r[2], Bytes(r + 4, r + 36)});
    }
    return out;
}

// Identities as the framework hands them in.
inline WINBIO_IDENTITY SecureIdentity(const Bytes& value) {
    WINBIO_IDENTITY id{};
    id.Type = WINBIO_ID_TYPE_SECURE_ID;
    std::copy(value.begin(), value.end(), id.Value.SecureId);
    return id;
}
inline WINBIO_IDENTITY SidIdentity(const Bytes& sid, ULONG size = 0xFFFFFFFFu) {
    WINBIO_IDENTITY id{};
    id.Type = WINBIO_ID_TYPE_SID;
    id.Value.AccountSid.Size = size != 0xFFFFFFFFu ? size : static_cast<ULONG>(sid.size());
    std::copy(sid.begin(), sid.end(), id.Value.AccountSid.Data);
    return id;
}
inline WINBIO_IDENTITY GuidIdentity(const GUID& guid) {
    WINBIO_IDENTITY id{};
    id.Type = WINBIO_ID_TYPE_GUID;
    id.Value.TemplateGuid = guid;
    return id;
}
inline WINBIO_IDENTITY WildcardIdentity() {
    WINBIO_IDENTITY id{};
    id.Type = WINBIO_ID_TYPE_WILDCARD;
    id.Value.Wildcard = WINBIO_IDENTITY_WILDCARD;
    return id;
}

// Identities every record operation refuses with E_INVALIDARG: unknown
// types, a wildcard without its value, and SID sizes that would match every
// record (0) or run past the 32-byte key.
struct NamedIdentity {
    const char* name;
    WINBIO_IDENTITY identity;
};
inline std::vector<NamedIdentity> RefusedIdentities() {
    std::vector<NamedIdentity> out;
    for (WINBIO_IDENTITY_TYPE type : {0u, 5u, 0xFFFFFFFFu}) {
        WINBIO_IDENTITY id = SecureIdentity(Bytes(32, 1));
        id.Type = type;
        out.push_back({"unknown type", id});
    }
    WINBIO_IDENTITY wildcard = WildcardIdentity();
    wildcard.Value.Wildcard = WINBIO_IDENTITY_WILDCARD + 1;
    out.push_back({"wildcard without its value", wildcard});
    for (ULONG size : {0u, 33u, 68u, 0xFFFFFFFFu})
        out.push_back({"SID size", SidIdentity(Bytes(68, 1), size)});
    return out;
}

// A 12-byte account SID (S-1-5-21-...) whose last byte tells accounts apart.
inline Bytes AccountSid(uint8_t last) {
    return {1, 2, 0, 0, 0, 0, 0, 5, 21, 0, 0, last};
}

// The key a block or slot stores for a secure identity in hashed mode.
inline Bytes Sha256Of(const Bytes& value) {
    IdentityKey key{};
    std::copy(value.begin(), value.end(), key.Bytes);
    IdentityKey digest = simsensor::SimulatedSensor::Sha256Key(key);
    return Bytes(digest.Bytes, digest.Bytes + 32);
}

inline Bytes FreshHeader() {
    return moc_test::FromHex("70806866"
                             "03"
                             "0000"
                             "1d00" +
                             std::string(40, '0'));
}

// Blocks of a list, for comparing with fixtures.
inline std::vector<Bytes> BlocksOf(const std::vector<BYTE>& list) {
    std::vector<Bytes> out;
    for (size_t at = 0; at + kBlockSize <= list.size(); at += kBlockSize)
        out.emplace_back(list.begin() + at, list.begin() + at + kBlockSize);
    return out;
}

inline std::string Str(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}
inline Bytes FromStr(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

// The database folder the framework names, and the files in it.
constexpr const WCHAR* kFilePath =
    u"C:\\WinBioDatabase\\{6A2F2E1C-0E1E-4D2B-9C3C-5B7E0A1D2F30}.DAT";
constexpr const char* kFrameworkFile =
    "C:\\WinBioDatabase\\{6A2F2E1C-0E1E-4D2B-9C3C-5B7E0A1D2F30}.DAT";
constexpr const char* kPrivateFile = "C:\\WinBioDatabase\\0A0A09AC-31A1-4880-9AC8-B1FF3C9E94EB.DAT";
constexpr const char* kLegacyRecordFile =
    "C:\\WinBioDatabase\\90508806-8172-4C04-B03F-DCB28DBEA104.DAT";
constexpr const char* kLegacyBlockFile =
    "C:\\WinBioDatabase\\6854BC36-3957-4783-880B-563B476816E4.DAT";

class StorageTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::test::ResetAll();
        std::filesystem::create_directories(root.Native("C:\\WinBioDatabase"));
        sensor = std::make_shared<simsensor::SimulatedSensor>();
        pipeline.SensorHandle = platform::test::OpenDevice(sensor);
        pipeline.EngineHandle = INVALID_HANDLE_VALUE;
        pipeline.StorageHandle = INVALID_HANDLE_VALUE;
    }
    void TearDown() override {
        if (pipeline.StorageContext != nullptr)
            StorageAdapterDetach(&pipeline);
        CloseHandle(pipeline.SensorHandle);
        platform::test::ResetAll();
    }

    // Attaches with the chip in owner-id mode or not, and forgets the attach's requests.
    void Attach(bool ownerIdMode = false, bool hashed = false, BYTE slots = 10) {
        MocCapabilities caps{5,
                             slots,
                             static_cast<BYTE>(ownerIdMode ? 1 : 0),
                             static_cast<BYTE>(hashed ? 1 : 0),
                             {0, 0, 0, 0}};
        sensor->SetCapabilities(caps);
        ASSERT_EQ(StorageAdapterAttach(&pipeline), S_OK);
        sensor->ClearLog();
    }
    WINIBIO_STORAGE_CONTEXT& Context() { return *pipeline.StorageContext; }

    void WriteFile(const char* path, const Bytes& bytes) {
        platform::test::WriteWholeFile(path, Str(bytes));
    }
    Bytes ReadFile(const char* path) { return FromStr(platform::test::ReadWholeFile(path)); }
    bool Exists(const char* path) { return std::filesystem::exists(root.Native(path)); }
    // Puts in place of `path` a link whose target is not there, as when the volume that
    // holds the file is not mounted.
    void LinkToNothing(const char* path) {
        std::filesystem::remove(root.Native(path));
        std::filesystem::create_symlink(root.Folder() + "/unmounted/file", root.Native(path));
    }
    // Whether `path` is still such a link, with nothing made where it leads.
    bool LinksToNothing(const char* path) {
        std::error_code ec;
        return std::filesystem::is_symlink(root.Native(path), ec) &&
               !std::filesystem::exists(root.Folder() + "/unmounted", ec);
    }

    void SetSlot(size_t index, uint8_t kind, uint8_t subFactor, const Bytes& key,
                 const Bytes& owner = SimHostOwner(), uint8_t state = 1) {
        simsensor::SimSlot slot;
        slot.state = state;
        slot.identityKind = kind;
        slot.subFactor = subFactor;
        std::memcpy(slot.key.Bytes, key.data(), 32);
        std::memcpy(slot.owner.Bytes, owner.data(), 16);
        sensor->SetSlot(index, slot);
    }

    // Slot numbers of the single-slot deletions sent, in order (255: all).
    std::vector<int> DeletedSlots() const {
        std::vector<int> slots;
        for (const auto& request : sensor->Log())
            if (request.code == IOCTL_MOC_DELETE_TEMPLATE && request.input.size() == 1)
                slots.push_back(request.input[0]);
        return slots;
    }

    HRESULT Open() {
        GUID id{};
        return StorageAdapterOpenDatabase(&pipeline, &id, kFilePath, u"");
    }
    HRESULT Create(SIZE_T indexElements = 0) {
        GUID id{};
        GUID format = {0x11223344, 0x5566, 0x7788, {1, 2, 3, 4, 5, 6, 7, 8}};
        return StorageAdapterCreateDatabase(&pipeline, &id, WINBIO_TYPE_FINGERPRINT, &format,
                                            kFilePath, u"", indexElements, 0);
    }
    HRESULT Erase() {
        GUID id{};
        return StorageAdapterEraseDatabase(&pipeline, &id, kFilePath, u"");
    }

    // The private file with `blocks`, as OpenDatabase would have named it.
    void UseDatabase(const std::vector<Bytes>& blocks) {
        WriteFile(kPrivateFile, DatabaseFile(blocks));
        std::strcpy(Context().PrivateFilePath, kPrivateFile);
    }
    // A private file whose blocks reach past its end: every load refuses it.
    void UseCorruptDatabase() {
        WriteFile(kPrivateFile, DatabaseFile({}, 29, 3, {}, {}, 2));
        std::strcpy(Context().PrivateFilePath, kPrivateFile);
    }
    std::vector<Bytes> FileBlocks() { return BlocksOfFile(ReadFile(kPrivateFile)); }

    // The record operations with the identity passed by value.
    HRESULT AddRecord(WINBIO_IDENTITY identity, BYTE subFactor,
                      const std::function<void(WINBIO_STORAGE_RECORD&)>& adjust = nullptr) {
        WINBIO_STORAGE_RECORD record{};
        record.Identity = &identity;
        record.SubFactor = subFactor;
        if (adjust)
            adjust(record);
        return StorageAdapterAddRecord(&pipeline, &record);
    }
    HRESULT DeleteRecord(WINBIO_IDENTITY identity, BYTE subFactor) {
        return StorageAdapterDeleteRecord(&pipeline, &identity, subFactor);
    }
    HRESULT QueryBySubject(WINBIO_IDENTITY identity, BYTE subFactor) {
        return StorageAdapterQueryBySubject(&pipeline, &identity, subFactor);
    }
    void RememberAccount(const Bytes& sid, DWORD length) {
        std::memset(Context().RememberedSid, 0, sizeof(Context().RememberedSid));
        std::copy(sid.begin(), sid.end(), Context().RememberedSid);
        Context().RememberedSidLength = length;
    }
    size_t TableReads() const { return sensor->CountOf(IOCTL_MOC_READ_TEMPLATE_TABLE); }

    moc_test::TempRoot root;
    std::shared_ptr<simsensor::SimulatedSensor> sensor;
    WINBIO_PIPELINE pipeline{};
};

// The open after a restart: a fresh attach of the storage adapter on
// `pipeline`, then OpenDatabase of `filePath`. It must succeed, or find no
// private file, and leave every template of the chip that `held` describes.
inline ::testing::AssertionResult NextOpenKeeps(WINBIO_PIPELINE& pipeline,
                                                const simsensor::SimulatedSensor& sensor,
                                                const WCHAR* filePath,
                                                const std::vector<HeldTemplate>& held) {
    if (pipeline.StorageContext != nullptr)
        StorageAdapterDetach(&pipeline);
    if (StorageAdapterAttach(&pipeline) != S_OK)
        return ::testing::AssertionFailure() << "the attach before the next open failed";
    const std::vector<simsensor::SimSlot> before = sensor.Table();
    GUID id{};
    const HRESULT hr = StorageAdapterOpenDatabase(&pipeline, &id, filePath, u"");
    const std::vector<simsensor::SimSlot> after = sensor.Table();
    if (hr != S_OK && hr != WINBIO_E_DATABASE_CANT_FIND)
        return ::testing::AssertionFailure() << "the next open failed with " << std::hex << hr;
    for (size_t i = 0; i < before.size(); ++i) {
        const simsensor::SimSlot& slot = before[i];
        const HeldTemplate t{slot.identityKind, slot.subFactor,
                             Bytes(slot.key.Bytes, slot.key.Bytes + 32)};
        if (slot.state != 1 || std::find(held.begin(), held.end(), t) == held.end())
            continue;
        if (i >= after.size() || after[i].state != 1 ||
            std::memcmp(after[i].key.Bytes, slot.key.Bytes, 32) != 0)
            return ::testing::AssertionFailure()
                   << "the next open deleted slot " << i << ", which the files hold";
    }
    return ::testing::AssertionSuccess();
}

// The same with the adapter's trace provider enabled, so that every trace
// statement's arguments are evaluated as well.
class TracedStorageTest : public StorageTest {
protected:
    void SetUp() override {
        StorageTest::SetUp();
        ASSERT_TRUE(DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr));
        platform::test::EnableTraceSession(AdapterTraceControlGuid, TRACE_LEVEL_INFORMATION, 1);
    }
    void TearDown() override {
        StorageTest::TearDown();
        DllMain(nullptr, DLL_PROCESS_DETACH, nullptr);
        platform::test::ResetAll();
    }
};

} // namespace storage_test
