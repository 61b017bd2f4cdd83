// Writes the seed corpus of every harness: valid inputs built from the
// system's own records, and a few truncated or odd ones beside them.
//   fuzz_make_seeds FUZZ_FOLDER   (writes FUZZ_FOLDER/<harness>/corpus/<seed>)
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include "device/capture_data.h"
#include "device/identity_key.h"
#include "sensor/certificate_chains.h"
#include "storage/database_file.h"
#include "platform/test.h"
#include "support/fuzz_unit.h"
#include "support/sample_capture.h"

namespace {

using moc_fuzz::Bytes;
using moc_test::BytesOf;
using moc_test::Concat;
using moc_test::Le16;
std::filesystem::path folder;

void Seed(const char* harness, const char* name, const Bytes& bytes) {
    std::filesystem::path dir = folder / harness / "corpus";
    std::filesystem::create_directories(dir);
    std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

Bytes Cut(Bytes bytes, size_t drop) {
    bytes.resize(bytes.size() > drop ? bytes.size() - drop : 0);
    return bytes;
}

IdentityKey KeyOf(const WINBIO_IDENTITY& identity) {
    IdentityKey key;
    PackIdentityKey(&identity, &key);
    return key;
}

// ---------------------------------------------------------------------------
// Files
// ---------------------------------------------------------------------------

// A private-format file: header of `headerSize` (extra bytes patterned), the
// blocks, trailing bytes; `count` overrides the block count.
Bytes PrivateFormat(const std::initializer_list<Bytes>& blocks, USHORT headerSize = 29,
                    const Bytes& trailing = {}, int count = -1) {
    DatabaseFileHeader header = FreshDatabaseHeader(MOC_DATABASE_MAGIC);
    header.BlockCount = static_cast<USHORT>(count >= 0 ? count : int(blocks.size()));
    header.HeaderSize = headerSize;
    header.Statistics = {7, 3, 2, 1, 1};
    Bytes out = BytesOf(header);
    out.resize(headerSize, 0xA5);
    for (const Bytes& b : blocks)
        out.insert(out.end(), b.begin(), b.end());
    out.insert(out.end(), trailing.begin(), trailing.end());
    return out;
}

Bytes Plain() {
    return BytesOf(moc_fuzz::HostRecordBlock(MOC_BLOCK_TYPE_PLAIN, moc_fuzz::SecureIdentity()));
}
Bytes Owned() {
    return BytesOf(moc_fuzz::HostRecordBlock(MOC_BLOCK_TYPE_OWNED, moc_fuzz::AccountIdentity()));
}
Bytes OtherType() {
    return BytesOf(moc_fuzz::HostRecordBlock(0x12, moc_fuzz::AccountIdentity()));
}

void DatabaseFileSeeds() {
    Seed("database_file", "fresh", PrivateFormat({}));
    Seed("database_file", "plain_owned_other", PrivateFormat({Plain(), Owned(), OtherType()}));
    Seed("database_file", "long_header_trailing", PrivateFormat({Owned()}, 40, Bytes(37, 0x51)));
    Seed("database_file", "short_header", PrivateFormat({Plain()}, 10));
    Seed("database_file", "count_past_end", PrivateFormat({Plain()}, 29, {}, 2));
    Seed("database_file", "header_past_end", Cut(PrivateFormat({}, 64), 30));
    Seed("database_file", "eight_bytes", Cut(PrivateFormat({}), 21));
    Bytes other = PrivateFormat({Plain()});
    other[0] ^= 0xFF;
    Seed("database_file", "other_magic", other);
}

void DatabaseRecordSeeds() {
    DatabaseRecordBlock full =
        moc_fuzz::HostRecordBlock(MOC_BLOCK_TYPE_PLAIN, moc_fuzz::AccountIdentity());
    full.IndexElementCount = 2;
    std::memset(full.IndexVector, 0, sizeof(full.IndexVector));
    full.TemplateSize = MOC_BLOCK_TEMPLATE_SIZE;
    std::memset(full.TemplateBytes, 0x7E, sizeof(full.TemplateBytes));
    full.PayloadSize = 10;
    std::memset(full.PayloadBytes, 0x9A, full.PayloadSize);
    DatabaseRecordBlock oversized = full;
    oversized.TemplateSize = 200;
    DatabaseRecordBlock guid = full;
    guid.IdentityKind = MOC_IDENTITY_KIND_GUID;
    guid.IdentityLength = 16;
    const Bytes file = PrivateFormat({BytesOf(full), Plain(), BytesOf(guid)});
    const BYTE right = WINBIO_ANSI_381_POS_RH_INDEX_FINGER;
    Seed("database_records", "all_accounts", Concat({{0x00, 0}, file}));
    Seed("database_records", "account", Concat({{0x01, right}, file}));
    Seed("database_records", "account_any_finger", Concat({{0x01, WINBIO_SUBTYPE_ANY}, file}));
    Seed("database_records", "secure_identity", Concat({{0x02, right}, file}));
    Seed("database_records", "content", Concat({{0x03, right}, file}));
    Seed("database_records", "content_two_elements", Concat({{0x23, right}, file}));
    Seed("database_records", "oversized_template",
         Concat({{0x01, right}, PrivateFormat({BytesOf(oversized)})}));
    Seed("database_records", "count_past_end",
         Concat({{0x00, 0}, PrivateFormat({BytesOf(full)}, 29, {}, 3)}));
}

// Bare legacy records: the block bytes from the record offset on.
Bytes Bare(const Bytes& block, DWORD size) {
    return Bytes(block.begin() + MOC_BLOCK_RECORD_OFFSET,
                 block.begin() + MOC_BLOCK_RECORD_OFFSET + size);
}

// Harness input: which files exist, the record file's length, both files.
Bytes Legacy(int found, const Bytes& recordFile, const Bytes& blockFile) {
    return Concat({{static_cast<uint8_t>(found)},
                   Le16(static_cast<unsigned>(recordFile.size())),
                   recordFile,
                   blockFile});
}

void LegacySeeds() {
    const Bytes owned = Bare(Owned(), MOC_LEGACY_RECORD_SIZE_OWNED);
    const Bytes plain = Bare(Plain(), MOC_LEGACY_RECORD_SIZE_PLAIN);
    Bytes invalidPlain = plain;
    invalidPlain[0] = 0;
    // Sectioned: magic, a byte, the section count, then per section its type,
    // record count, a byte and the records' offset, and a byte.
    const size_t at = 7 + 3 * 7;
    Bytes sectioned = Concat(
        {BytesOf(MOC_DATABASE_MAGIC),
         {3},
         Le16(3),
         Concat({{MOC_BLOCK_TYPE_OWNED}, Le16(1), {0}, Le16(unsigned(at)), {0}}),
         Concat({{MOC_BLOCK_TYPE_PLAIN}, Le16(1), {0}, Le16(unsigned(at + owned.size())), {0}}),
         Concat({{0x20}, Le16(9), {0}, Le16(0), {0}}),
         owned,
         plain});
    Seed("legacy_files", "record_empty", Legacy(1, {0, 0}, {}));
    Seed("legacy_files", "record_too_short", Legacy(1, {1, 0, 0, 0, 0}, {}));
    Seed("legacy_files", "record_sectioned", Legacy(1, sectioned, {}));
    Seed("legacy_files", "record_sectioned_past_end", Legacy(1, Cut(sectioned, 40), {}));
    Seed("legacy_files", "record_counted", Legacy(1, Concat({Le16(2), owned, owned}), {}));
    Seed("legacy_files", "record_counted_past_end", Legacy(1, Concat({Le16(3), owned, owned}), {}));
    Seed("legacy_files", "record_plain", Legacy(1, Concat({plain, invalidPlain, plain, {9}}), {}));
    Seed("legacy_files", "block_file", Legacy(2, {}, PrivateFormat({Plain(), Owned()})));
    Seed("legacy_files", "both",
         Legacy(3, Concat({Le16(1), owned}), PrivateFormat({Owned(), Plain(), OtherType()})));
    Seed("legacy_files", "both_block_cut",
         Legacy(3, Concat({plain, plain}), Cut(PrivateFormat({Owned(), Plain()}), 100)));
}

// ---------------------------------------------------------------------------
// Driver replies
// ---------------------------------------------------------------------------

MocIdentifyResponse IdentifyReply(BYTE status, const IdentityKey& key) {
    MocIdentifyResponse reply = {};
    reply.Status = status;
    reply.SubFactor = WINBIO_ANSI_381_POS_RH_INDEX_FINGER;
    reply.Key = key;
    reply.Tail.WithoutNonce.Detail.Value0 = 123456;
    reply.Tail.WithoutNonce.Detail.Value1 = -7000;
    return reply;
}

void IdentifySeeds() {
    const Bytes sid = BytesOf(IdentifyReply(0, KeyOf(moc_fuzz::AccountIdentity())));
    MocIdentifyResponse secure = IdentifyReply(0, KeyOf(moc_fuzz::SecureIdentity()));
    std::memset(secure.Tail.WithNonce.Authorization, 0xAB, MOC_AUTHORIZATION_SIZE);
    Seed("identify", "match", Concat({{0, 0}, sid}));
    Seed("identify", "match_locked", Concat({{4, 0}, sid}));
    Seed("identify", "no_match", Concat({{0, 0}, BytesOf(IdentifyReply(11, {}))}));
    Seed("identify", "too_skewed_locked", Concat({{4, 0}, BytesOf(IdentifyReply(12, {}))}));
    Seed("identify", "reject_detail", Concat({{0, 0}, BytesOf(IdentifyReply(5, {}))}));
    Seed("identify", "short", Concat({{0, 0}, Cut(sid, 33)}));
    Seed("identify", "authenticated", Concat({{1, 0}, BytesOf(secure)}));
    Seed("identify", "authenticated_short", Concat({{1, 0}, Cut(BytesOf(secure), 1)}));
    Seed("identify", "authenticated_odd_nonce", Concat({{2, 16}, BytesOf(secure)}));
    Seed("identify", "verify", Concat({{3, WINBIO_ANSI_381_POS_RH_INDEX_FINGER}, sid}));
    Seed("identify", "verify_any", Concat({{7, WINBIO_SUBTYPE_ANY}, sid}));
}

template <class Entry> Bytes Table(BYTE slots, std::initializer_list<int> used, bool foreign) {
    Bytes table;
    for (BYTE i = 0; i < slots; ++i) {
        Entry entry = {};
        for (int u : used) {
            if (u == i) {
                entry.State = MOC_SLOT_STATE_USED;
                entry.IdentityKind = u % 2 ? MOC_IDENTITY_KIND_SID : MOC_IDENTITY_KIND_SECURE_ID;
                entry.SubFactor = WINBIO_ANSI_381_POS_RH_INDEX_FINGER;
                entry.Key = KeyOf(u % 2 ? moc_fuzz::AccountIdentity() : moc_fuzz::SecureIdentity());
            }
        }
        if constexpr (sizeof(Entry) == sizeof(TemplateSlotEntryOwned)) {
            for (DWORD b = 0; b < MOC_HOST_OWNER_ID_SIZE; ++b)
                entry.Owner.Bytes[b] = foreign && i % 2 ? 0x77 : static_cast<BYTE>(0x40 + b);
        }
        table.insert(table.end(), reinterpret_cast<const uint8_t*>(&entry),
                     reinterpret_cast<const uint8_t*>(&entry) + sizeof(entry));
    }
    return table;
}

void TemplateTableSeeds() {
    const Bytes plainCaps = {5, 10, 0, 0, 0, 0, 0, 0};
    const Bytes ownedCaps = {5, 4, 1, 0, 0, 0, 0, 0};
    const Bytes hashedCaps = {5, 3, 0, 1, 0, 0, 0, 0};
    Seed("template_table", "plain_two_used",
         Concat({plainCaps, Table<TemplateSlotEntry>(10, {0, 3}, false)}));
    Seed("template_table", "plain_full",
         Concat({{5, 2, 0, 0, 0, 0, 0, 0}, Table<TemplateSlotEntry>(2, {0, 1}, false)}));
    Seed("template_table", "plain_short",
         Concat({plainCaps, Cut(Table<TemplateSlotEntry>(10, {0}, false), 1)}));
    Seed("template_table", "owned_foreign",
         Concat({ownedCaps, Table<TemplateSlotEntryOwned>(4, {0, 1, 2}, true)}));
    Seed("template_table", "owned_short",
         Concat({ownedCaps, Cut(Table<TemplateSlotEntryOwned>(4, {1}, false), 17)}));
    Seed("template_table", "hashed", Concat({hashedCaps, Table<TemplateSlotEntry>(3, {0}, false)}));
    Seed("template_table", "no_slots", Bytes{5, 0, 0, 0, 0, 0, 0, 0});
}

void DuplicateSeeds() {
    MocDuplicateResponse secure = {MOC_IDENTITY_KIND_SECURE_ID, 0,
                                   WINBIO_ANSI_381_POS_RH_INDEX_FINGER,
                                   KeyOf(moc_fuzz::SecureIdentity())};
    MocDuplicateResponse sid = {MOC_IDENTITY_KIND_SID, 0, WINBIO_ANSI_381_POS_RH_INDEX_FINGER,
                                KeyOf(moc_fuzz::AccountIdentity())};
    MocDuplicateResponse none = {0, 1, 0, {}};
    Seed("duplicate_check", "secure_identity", BytesOf(secure));
    Seed("duplicate_check", "account", BytesOf(sid));
    Seed("duplicate_check", "no_duplicate", BytesOf(none));
    Seed("duplicate_check", "short", Cut(BytesOf(sid), 1));
}

void AcceptSeeds() {
    MocAcceptSampleResponse good = {0, 0x1122334455667788ull};
    MocAcceptSampleResponse skewed = {MOC_STATUS_TOO_SKEWED, 2};
    MocAcceptSampleResponse poor = {5, 3};
    Seed("accept_sample", "accepted", Concat({{1}, BytesOf(good)}));
    Seed("accept_sample", "too_skewed", Concat({{2}, BytesOf(skewed)}));
    Seed("accept_sample", "reject_detail", Concat({{0}, BytesOf(poor)}));
    Seed("accept_sample", "short", Concat({{1}, Cut(BytesOf(good), 1)}));
}

void MatchDataSeeds() {
    Bytes reply(1 + 16 + 4, 0x3C);
    reply[0] = 1;
    Seed("match_data", "sixteen", Concat({Le16(16), {64}, reply}));
    Seed("match_data", "sixteen_extended", Concat({Le16(16), {65}, reply}));
    Seed("match_data", "none", Concat({Le16(0), {64}, {1, 0, 0, 0, 0}}));
    Seed("match_data", "buffer_too_small", Concat({Le16(16), {62}, reply}));
    Seed("match_data", "short_reply", Concat({Le16(16), {64}, Cut(reply, 10)}));
}

void SecureConnectionSeeds() {
    const Bytes model0(kModelCertificate0, kModelCertificate0 + kModelCertificate0Length);
    MocClaimKeys keys;
    std::memset(&keys, 0x4B, sizeof(keys));
    const Bytes claim = Concat({model0, BytesOf(keys)});
    const Bytes full = Concat({Le16(32), Bytes(32, 0x01), Le16(unsigned(claim.size())), claim,
                               Le16(32), Bytes(32, 0x03)});
    Bytes mismatch = full;
    mismatch[2 + 32 + 2] ^= 0xFF;
    MocReconnectResponse reconnect = {32, {}};
    std::memset(reconnect.Mac, 0x0D, sizeof(reconnect.Mac));
    Seed("secure_connection", "full", Concat({{0}, full}));
    Seed("secure_connection", "full_then_reconnect", Concat({{3}, full}));
    Seed("secure_connection", "model_mismatch", Concat({{0}, mismatch}));
    Seed("secure_connection", "full_cut", Concat({{0}, Cut(full, 5)}));
    Seed("secure_connection", "reconnect", Concat({{1}, BytesOf(reconnect)}));
    Seed("secure_connection", "reconnect_short", Concat({{1}, Cut(BytesOf(reconnect), 1)}));
}

// The reply of the simulated sensor to a synchronous request of `capacity` bytes.
Bytes Ask(HANDLE device, DWORD code, const Bytes& input, DWORD capacity) {
    Bytes reply(capacity);
    DWORD returned = 0;
    if (!DeviceIoControl(device, code, const_cast<uint8_t*>(input.data()),
                         static_cast<DWORD>(input.size()), reply.data(), capacity, &returned,
                         nullptr))
        moc_fuzz::Broken("a reply of the simulated sensor");
    reply.resize(returned);
    return reply;
}

void SensorSeeds(moc_fuzz::Unit& unit) {
    HANDLE device = unit.pipeline.SensorHandle;
    WINBIO_CAPTURE_PARAMETERS params = {};
    params.PayloadSize = sizeof(params);
    params.Purpose = WINBIO_PURPOSE_IDENTIFY;
    params.Format = {WINBIO_ANSI_381_FORMAT_OWNER, WINBIO_ANSI_381_FORMAT_TYPE};
    const Bytes request = BytesOf(params);
    simsensor::Presentation p;
    p.finger = 1;
    for (BYTE status : {0, 1, 0xFF}) {
        p.captureStatus = status;
        unit.sensor->PresentFinger(p);
        const Bytes reply =
            Ask(device, IOCTL_BIOMETRIC_CAPTURE_DATA, request, MOC_CAPTURE_BUFFER_SIZE);
        const std::string name = "status_" + std::to_string(status);
        Seed("capture", name.c_str(), Concat({{8}, reply}));
        if (status == 0) {
            Seed("capture", "enroll", Concat({{2 | 8}, reply}));
            Seed("capture", "cut_status", Concat({{0}, Cut(reply, 100)}));
            Seed("capture", "head_only",
                 Concat({{0}, Cut(reply, reply.size() - MOC_CAPTURE_BIR_OFFSET)}));
            Bytes longer = reply;
            longer[16] = 0xF0; // CaptureData.Size past the reply
            Seed("capture", "size_past_reply", Concat({{8}, longer}));
        }
    }

    const Bytes status =
        Ask(device, IOCTL_BIOMETRIC_GET_SENSOR_STATUS, {}, sizeof(WINBIO_DIAGNOSTICS));
    const Bytes reset = Ask(device, IOCTL_BIOMETRIC_RESET, {}, sizeof(WINBIO_BLANK_PAYLOAD));
    Seed("sensor_status", "status", Concat({{0}, status}));
    Seed("sensor_status", "status_short", Concat({{0}, Cut(status, 1)}));
    Seed("sensor_status", "reset", Concat({{1}, reset}));
    Seed("sensor_status", "reset_short", Concat({{1}, Cut(reset, 4)}));

    const Bytes attributes =
        Ask(device, IOCTL_BIOMETRIC_GET_ATTRIBUTES, {}, sizeof(WINBIO_SENSOR_ATTRIBUTES));
    WINBIO_SENSOR_ATTRIBUTES parsed;
    std::memcpy(&parsed, attributes.data(), sizeof(parsed));
    Seed("attributes", "standard_format", attributes);
    parsed.SupportedFormatEntries = 0xFFFFFFFF;
    Seed("attributes", "many_entries", BytesOf(parsed));
    parsed.SupportedFormatEntries = 1;
    parsed.SupportedFormat[0] = {0x0099, 0x0002};
    Seed("attributes", "other_format", BytesOf(parsed));
    parsed.WinBioHresult = WINBIO_E_DEVICE_FAILURE;
    Seed("attributes", "failure", BytesOf(parsed));
    Seed("attributes", "short", Cut(attributes, 1));
}

// The sample record of one capture on the simulated sensor, and damaged copies.
void SampleRecordSeeds() {
    moc_fuzz::PrepareGround();
    moc_fuzz::Unit unit;
    SensorSeeds(unit);
    const Bytes sample = moc_fuzz::SampleOnChip(unit);
    WINBIO_BIR bir;
    std::memcpy(&bir, sample.data(), sizeof(bir));
    Seed("sample_record", "identify", Concat({{WINBIO_PURPOSE_IDENTIFY}, sample}));
    Seed("sample_record", "enroll", Concat({{WINBIO_PURPOSE_ENROLL}, sample}));
    Seed("sample_record", "two_purposes",
         Concat({{WINBIO_PURPOSE_ENROLL | WINBIO_PURPOSE_IDENTIFY}, sample}));
    Bytes depth = sample;
    depth[bir.StandardDataBlock.Offset + offsetof(WINBIO_BDB_ANSI_381_HEADER, PixelDepth)] = 7;
    Seed("sample_record", "pixel_depth", Concat({{WINBIO_PURPOSE_VERIFY}, depth}));
    Bytes far = sample;
    bir.StandardDataBlock.Offset = static_cast<ULONG>(sample.size());
    std::memcpy(far.data(), &bir, sizeof(bir));
    Seed("sample_record", "offset_past_end", Concat({{WINBIO_PURPOSE_IDENTIFY}, far}));
    Seed("sample_record", "cut", Concat({{WINBIO_PURPOSE_IDENTIFY}, Cut(sample, 20)}));
    Seed("sample_record", "head_only",
         Concat({{WINBIO_PURPOSE_IDENTIFY}, Bytes(sample.begin(), sample.begin() + 31)}));
}

// The state files of a few chips, each a body to seal; one kept whole, and
// one whose checksum no longer fits.
void ChipStateSeeds() {
    moc_fuzz::PrepareGround();
    auto text = [](simsensor::SimulatedSensor& chip) {
        std::string why;
        if (!chip.KeepStateIn("C:\\seed.state", &why))
            moc_fuzz::Broken("a seed chip's state");
        return platform::test::ReadWholeFile("C:\\seed.state");
    };
    auto sealed = [](const std::string& file) {
        return Concat({{0}, Bytes(file.begin(), file.begin() + file.rfind("sha256 "))});
    };
    auto whole = [](const std::string& file) {
        return Concat({{1}, Bytes(file.begin(), file.end())});
    };

    simsensor::SimulatedSensor fresh;
    simsensor::SimulatedSensor owned;
    owned.SetCapabilities({5, 4, 1, 0, {0, 0, 0, 0}});
    owned.SetPolicy({{2, 0, 0, 0, 0, 0, 0, 0}});
    owned.SetDatabaseVersion(2);
    owned.SetPurgeFlag(1);
    owned.Enroll(0, KeyOf(moc_fuzz::AccountIdentity()), WINBIO_ANSI_381_POS_RH_INDEX_FINGER, 1);
    owned.Enroll(2, KeyOf(moc_fuzz::SecureIdentity()), WINBIO_ANSI_381_POS_LH_THUMB, 2);
    simsensor::SimulatedSensor hashed;
    hashed.SetCapabilities({5, 3, 0, 1, {0, 0, 0, 0}});
    hashed.Enroll(1, KeyOf(moc_fuzz::SecureIdentity()), WINBIO_ANSI_381_POS_RH_INDEX_FINGER, 3);
    simsensor::SimulatedSensor empty;
    empty.SetCapabilities({5, 0, 0, 0, {0, 0, 0, 0}});

    const std::string ownedFile = text(owned);
    Seed("chip_state_file", "fresh", sealed(text(fresh)));
    Seed("chip_state_file", "owner_id_mode", sealed(ownedFile));
    Seed("chip_state_file", "hashed", sealed(text(hashed)));
    Seed("chip_state_file", "no_slots", sealed(text(empty)));
    Seed("chip_state_file", "whole", whole(ownedFile));
    std::string stale = ownedFile;
    stale[stale.find("slot 01") + 5] = '0';
    Seed("chip_state_file", "stale_checksum", whole(stale));
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FUZZ_FOLDER\n", argv[0]);
        return 2;
    }
    folder = argv[1];
    DatabaseFileSeeds();
    DatabaseRecordSeeds();
    LegacySeeds();
    IdentifySeeds();
    TemplateTableSeeds();
    DuplicateSeeds();
    AcceptSeeds();
    MatchDataSeeds();
    SecureConnectionSeeds();
    SampleRecordSeeds();
    ChipStateSeeds();
    return 0;
}
