// Adding records: the block image in each mode, the refusals made before the
// file is read, the full and duplicate tests, and the replacement of an
// account's earlier enrollment of a finger on older builds.
#include <cstring>
#include "storage_fixture.h"

namespace storage_test {
namespace {

class AddRecordTest : public TracedStorageTest {};

// The block AddRecord should write, set byte by byte at the file format's offsets.
struct Expected {
    bool owned = false;
    uint8_t kind = 0, subFactor = 0, identityLength = 0;
    Bytes key, account, index, templ, payload;
};

Bytes ExpectedBlock(const Expected& e) {
    Bytes b(kBlockSize, 0);
    b[0] = e.owned ? 0x11 : 0x10;
    b[1] = e.owned ? 0x9D : 0x7C;
    if (e.owned) {
        const Bytes owner = SimHostOwner(), sensorId = SimSensorId();
        std::copy(owner.begin(), owner.end(), b.begin() + 3);
        b[143] = 0x20;
        std::copy(sensorId.begin(), sensorId.end(), b.begin() + 144);
    }
    b[19] = 1;
    b[20] = e.kind;
    b[21] = e.subFactor;
    b[22] = e.identityLength;
    std::copy(e.key.begin(), e.key.end(), b.begin() + 23);
    b[55] = static_cast<uint8_t>(e.account.size());
    std::copy(e.account.begin(), e.account.end(), b.begin() + 56);
    if (!e.index.empty()) {
        b[84] = static_cast<uint8_t>(e.index.size() / 4);
        std::copy(e.index.begin(), e.index.end(), b.begin() + 85);
    }
    b[101] = static_cast<uint8_t>(e.templ.size());
    std::copy(e.templ.begin(), e.templ.end(), b.begin() + 102);
    b[122] = static_cast<uint8_t>(e.payload.size());
    std::copy(e.payload.begin(), e.payload.end(), b.begin() + 123);
    return b;
}

const GUID kGuid = {0x00112233, 0x4455, 0x6677, {0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}};

TEST_F(AddRecordTest, AppendsTheBlockOfEachModeAndIdentity) {
    static Bytes templ = {0xAA, 0xBB, 0xCC};
    static Bytes payload = moc_test::Text("PAY01");
    static ULONG vector[] = {5, 7};
    auto withIndex = [](WINBIO_STORAGE_RECORD& r) {
        r.IndexVector = vector;
        r.IndexElementCount = 2;
    };
    auto withBlobs = [](WINBIO_STORAGE_RECORD& r) {
        r.TemplateBlob = templ.data();
        r.TemplateBlobSize = templ.size();
        r.PayloadBlob = payload.data();
        r.PayloadBlobSize = payload.size();
    };
    const Bytes secure = KeyBytes(0x70);
    struct Case {
        const char* name;
        bool ownerIdMode, hashed;
        DWORD indexElements;
        Bytes remembered; // the account a query left, 28 zero bytes after attach
        WINBIO_IDENTITY identity;
        BYTE subFactor;
        std::function<void(WINBIO_STORAGE_RECORD&)> adjust;
        Expected block;
    } cases[] = {
        {"owner-id mode, secure identity with a payload",
         true,
         false,
         0,
         Bytes(28, 0),
         SecureIdentity(secure),
         2,
         [](WINBIO_STORAGE_RECORD& r) {
             r.PayloadBlob = payload.data();
             r.PayloadBlobSize = payload.size();
         },
         {true, 1, 2, 32, secure, Bytes(28, 0), {}, {}, payload}},
        {"plain, SID with index and template",
         false,
         false,
         2,
         Bytes(28, 0),
         SidIdentity(AccountSid(9)),
         3,
         [&](WINBIO_STORAGE_RECORD& r) {
             withIndex(r);
             r.TemplateBlob = templ.data();
             r.TemplateBlobSize = templ.size();
         },
         {false,
          0,
          3,
          12,
          AccountSid(9),
          AccountSid(9),
          moc_test::FromHex("0000000500000007"),
          templ,
          {}}},
        {"plain, GUID under the remembered account",
         false,
         false,
         0,
         AccountSid(4),
         GuidIdentity(kGuid),
         1,
         nullptr,
         {false,
          2,
          1,
          16,
          moc_test::FromHex("00112233445566778899aabbccddeeff"),
          AccountSid(4),
          {},
          {},
          {}}},
        {"hashed, secure identity stored as its digest",
         true,
         true,
         0,
         Bytes(28, 0),
         SecureIdentity(secure),
         2,
         nullptr,
         {true, 1, 2, 32, Sha256Of(secure), Bytes(28, 0), {}, {}, {}}},
        {"wildcard: an empty identity, no index, template or payload",
         false,
         false,
         2,
         AccountSid(4),
         WildcardIdentity(),
         4,
         [&](WINBIO_STORAGE_RECORD& r) {
             withIndex(r);
             withBlobs(r);
         },
         {false, 0, 4, 0, {}, {}, {}, {}, {}}},
    };
    for (const Case& c : cases) {
        Attach(c.ownerIdMode, c.hashed);
        Context().IndexElementCount = c.indexElements;
        RememberAccount(c.remembered, static_cast<DWORD>(c.remembered.size()));
        const Bytes before =
            c.ownerIdMode ? OwnedBlock(1, 2, KeyBytes(1)) : PlainBlock(1, 2, KeyBytes(1));
        UseDatabase({before});
        EXPECT_EQ(AddRecord(c.identity, c.subFactor, c.adjust), S_OK) << c.name;
        Expected e = c.block;
        e.owned = c.ownerIdMode;
        EXPECT_EQ(ReadFile(kPrivateFile), DatabaseFile({before, ExpectedBlock(e)})) << c.name;
        EXPECT_TRUE(sensor->Log().empty()) << c.name;
        EXPECT_TRUE(Context().KeptHeader.empty() && Context().KeptTrailing.empty()) << c.name;
        StorageAdapterDetach(&pipeline);
    }
}

// Every refusal comes before the file is read: the file here cannot be
// loaded, so a record that passed the checks gets the loader's failure.
TEST_F(AddRecordTest, RefusesBadRecordsBeforeReadingTheFile) {
    static BYTE blob[21] = {};
    static ULONG vector[5] = {};
    constexpr HRESULT kPassed = WINBIO_E_DATABASE_CORRUPTED;
    struct Case {
        const char* name;
        WINBIO_IDENTITY identity;
        SIZE_T templateSize, payloadSize;
        bool blobs;
        DWORD databaseElements;
        SIZE_T elements;
        bool vectorGiven;
        HRESULT result;
    } cases[] = {
        {"SID beyond the account field", SidIdentity(Bytes(29, 1)), 0, 0, true, 0, 0, true,
         E_INVALIDARG},
        {"SID that fits", SidIdentity(Bytes(28, 1)), 0, 0, true, 0, 0, true, kPassed},
        {"template size without template", SecureIdentity(KeyBytes(1)), 4, 0, false, 0, 0, true,
         E_INVALIDARG},
        {"payload size without payload", SecureIdentity(KeyBytes(1)), 0, 4, false, 0, 0, true,
         E_INVALIDARG},
        {"template beyond its field", SecureIdentity(KeyBytes(1)), 21, 0, true, 0, 0, true,
         E_INVALIDARG},
        {"payload beyond its field", SecureIdentity(KeyBytes(1)), 0, 21, true, 0, 0, true,
         E_INVALIDARG},
        {"template and payload that fit", SecureIdentity(KeyBytes(1)), 20, 20, true, 0, 0, true,
         kPassed},
        {"index count not the database's", SecureIdentity(KeyBytes(1)), 0, 0, true, 2, 1, true,
         WINBIO_E_DATABASE_BAD_INDEX_VECTOR},
        {"index count without vector", SecureIdentity(KeyBytes(1)), 0, 0, true, 2, 2, false,
         E_INVALIDARG},
        {"more index elements than the block holds", SecureIdentity(KeyBytes(1)), 0, 0, true, 5, 5,
         true, E_INVALIDARG},
    };
    Attach();
    UseCorruptDatabase();
    const Bytes file = ReadFile(kPrivateFile);
    for (const Case& c : cases) {
        Context().IndexElementCount = c.databaseElements;
        EXPECT_EQ(AddRecord(c.identity, 2,
                            [&](WINBIO_STORAGE_RECORD& r) {
                                r.TemplateBlobSize = c.templateSize;
                                r.PayloadBlobSize = c.payloadSize;
                                r.TemplateBlob = r.PayloadBlob = c.blobs ? blob : nullptr;
                                r.IndexElementCount = c.elements;
                                r.IndexVector = c.vectorGiven ? vector : nullptr;
                            }),
                  c.result)
            << c.name;
    }
    Context().IndexElementCount = 0;
    for (const NamedIdentity& refused : RefusedIdentities())
        EXPECT_EQ(AddRecord(refused.identity, 2), E_INVALIDARG) << refused.name;
    EXPECT_EQ(ReadFile(kPrivateFile), file);
    EXPECT_TRUE(sensor->Log().empty());

    WINBIO_STORAGE_RECORD record{};
    EXPECT_EQ(StorageAdapterAddRecord(nullptr, &record), E_POINTER);
    EXPECT_EQ(StorageAdapterAddRecord(&pipeline, nullptr), E_POINTER);
    EXPECT_EQ(StorageAdapterAddRecord(&pipeline, &record), E_POINTER); // no identity
    StorageAdapterDetach(&pipeline);
    WINBIO_IDENTITY identity = SecureIdentity(KeyBytes(1));
    record.Identity = &identity;
    EXPECT_EQ(StorageAdapterAddRecord(&pipeline, &record), WINBIO_E_INVALID_DEVICE_STATE);
}

TEST_F(AddRecordTest, FullAndDuplicateTests) {
    auto hostBlocks = [](bool owned, int count) {
        std::vector<Bytes> blocks;
        for (int i = 0; i < count; ++i)
            blocks.push_back(owned ? OwnedBlock(1, 2, KeyBytes(static_cast<uint8_t>(i)))
                                   : PlainBlock(1, 2, KeyBytes(static_cast<uint8_t>(i))));
        return blocks;
    };
    auto with = [](std::vector<Bytes> blocks, const Bytes& more) {
        blocks.push_back(more);
        return blocks;
    };
    Bytes zeroFirstOwner = OtherOwner();
    zeroFirstOwner[0] = 0;
    Bytes otherSensor = SimSensorId();
    otherSensor[0] ^= 1;
    const Bytes a = KeyBytes(0xA0);
    Bytes sidKey = AccountSid(3);
    sidKey.resize(32, 0x99); // the bytes past the SID take no part
    Bytes unused = PlainBlock(1, 2, a);
    unused[19] = 0;
    struct Case {
        const char* name;
        bool ownerIdMode, hashed;
        std::vector<Bytes> blocks;
        WINBIO_IDENTITY identity;
        BYTE subFactor;
        HRESULT result;
    } cases[] = {
        {"as many records as slots", false, false, hostBlocks(false, 10), SecureIdentity(a), 2,
         WINBIO_E_DATABASE_FULL},
        {"more records than slots go on", false, false, hostBlocks(false, 11), SecureIdentity(a), 2,
         S_OK},
        {"another sensor's record does not count", true, false,
         with(hostBlocks(true, 9), OwnedBlock(1, 2, KeyBytes(0x50), SimHostOwner(), otherSensor)),
         SecureIdentity(a), 2, S_OK},
        {"a record without owner counts", true, false,
         with(hostBlocks(true, 9), OwnedBlock(1, 2, KeyBytes(0x50), zeroFirstOwner)),
         SecureIdentity(a), 2, WINBIO_E_DATABASE_FULL},
        {"same secure identity and finger",
         false,
         false,
         {PlainBlock(1, 2, a)},
         SecureIdentity(a),
         2,
         WINBIO_E_DUPLICATE_ENROLLMENT},
        {"same secure identity, another finger",
         false,
         false,
         {PlainBlock(1, 3, a)},
         SecureIdentity(a),
         2,
         S_OK},
        {"any finger meets every finger",
         false,
         false,
         {PlainBlock(1, 3, a)},
         SecureIdentity(a),
         WINBIO_SUBTYPE_ANY,
         WINBIO_E_DUPLICATE_ENROLLMENT},
        {"a record not in use", false, false, {unused}, SecureIdentity(a), 2, S_OK},
        {"same SID",
         false,
         false,
         {PlainBlock(0, 2, sidKey)},
         SidIdentity(AccountSid(3)),
         2,
         WINBIO_E_DUPLICATE_ENROLLMENT},
        {"same GUID",
         false,
         false,
         {PlainBlock(2, 2, moc_test::FromHex("00112233445566778899aabbccddeeff"))},
         GuidIdentity(kGuid),
         2,
         WINBIO_E_DUPLICATE_ENROLLMENT},
        {"a wildcard is never a duplicate",
         false,
         false,
         {PlainBlock(0, 2, Bytes(32, 0))},
         WildcardIdentity(),
         2,
         S_OK},
        {"hashed: found by its digest",
         false,
         true,
         {PlainBlock(1, 2, Sha256Of(a))},
         SecureIdentity(a),
         2,
         WINBIO_E_DUPLICATE_ENROLLMENT},
        {"hashed: the raw value is not the stored one",
         false,
         true,
         {PlainBlock(1, 2, a)},
         SecureIdentity(a),
         2,
         S_OK},
        {"another host's record",
         true,
         false,
         {OwnedBlock(1, 2, a, OtherOwner())},
         SecureIdentity(a),
         2,
         S_OK},
        {"a record without owner is this host's",
         true,
         false,
         {OwnedBlock(1, 2, a, zeroFirstOwner)},
         SecureIdentity(a),
         2,
         WINBIO_E_DUPLICATE_ENROLLMENT},
    };
    for (const Case& c : cases) {
        Attach(c.ownerIdMode, c.hashed);
        UseDatabase(c.blocks);
        EXPECT_EQ(AddRecord(c.identity, c.subFactor), c.result) << c.name;
        EXPECT_EQ(FileBlocks().size(), c.blocks.size() + (c.result == S_OK ? 1 : 0)) << c.name;
        EXPECT_TRUE(sensor->Log().empty()) << c.name;
        StorageAdapterDetach(&pipeline);
    }
}

// An account's new secure identity for a finger replaces its earlier one
// (block and chip slot) on builds before 26100, and only then.
TEST_F(AddRecordTest, ReplacementOfAnEarlierEnrollment) {
    const Bytes account = AccountSid(1);
    struct Case {
        const char* name;
        DWORD build;
        bool ownerIdMode;
        Bytes blockAccount; // account of the three blocks
        Bytes remembered;   // the remembered account
        DWORD rememberedLength;
        Bytes slotOwner;           // owner of the earlier enrollment's slot
        DWORD failing;             // a request that fails once
        Bytes added;               // value of the added secure identity
        std::vector<int> deleted;  // slot deletions sent
        std::vector<uint8_t> kept; // marks of the blocks left before the new one
        uint8_t earlierKind = 1;   // identity kind of the earlier enrollment and its slot
    } cases[] = {
        {"build 26100 keeps it",
         26100,
         false,
         account,
         account,
         12,
         SimHostOwner(),
         0,
         KeyBytes(0x40),
         {},
         {1, 2, 3}},
        {"earlier build replaces it",
         19045,
         false,
         account,
         account,
         12,
         SimHostOwner(),
         0,
         KeyBytes(0x40),
         {3},
         {2, 3}},
        {"the same value again",
         19045,
         false,
         account,
         account,
         12,
         SimHostOwner(),
         0,
         KeyBytes(0x10),
         {3},
         {2, 3}},
        {"no account remembered",
         19045,
         false,
         Bytes(28, 0),
         Bytes(28, 0),
         28,
         SimHostOwner(),
         0,
         KeyBytes(0x40),
         {},
         {1, 2, 3}},
        {"remembered account of length 0",
         19045,
         false,
         {},
         {},
         0,
         SimHostOwner(),
         0,
         KeyBytes(0x40),
         {},
         {1, 2, 3}},
        {"owner-id mode: this host's slot",
         19045,
         true,
         account,
         account,
         12,
         SimHostOwner(),
         0,
         KeyBytes(0x40),
         {3},
         {2, 3}},
        {"owner-id mode: another host's slot",
         19045,
         true,
         account,
         account,
         12,
         OtherOwner(),
         0,
         KeyBytes(0x40),
         {},
         {1, 2, 3}},
        {"slot deletion fails",
         19045,
         false,
         account,
         account,
         12,
         SimHostOwner(),
         IOCTL_MOC_DELETE_TEMPLATE,
         KeyBytes(0x40),
         {3},
         {1, 2, 3}},
        {"table read fails",
         19045,
         false,
         account,
         account,
         12,
         SimHostOwner(),
         IOCTL_MOC_READ_TEMPLATE_TABLE,
         KeyBytes(0x40),
         {},
         {1, 2, 3}},
        {"a GUID enrollment of the finger is no earlier secure identity",
         19045,
         false,
         account,
         account,
         12,
         SimHostOwner(),
         0,
         KeyBytes(0x40),
         {},
         {1, 2, 3},
         MOC_IDENTITY_KIND_GUID},
    };
    for (const Case& c : cases) {
        platform::test::SetOsVersion(10, 0, c.build);
        Attach(c.ownerIdMode);
        RememberAccount(c.remembered, c.rememberedLength);
        auto block = [&](uint8_t kind, uint8_t subFactor, uint8_t key, const Bytes& blockAccount,
                         uint8_t mark) {
            Bytes b = c.ownerIdMode ? OwnedBlock(kind, subFactor, KeyBytes(key))
                                    : PlainBlock(kind, subFactor, KeyBytes(key));
            b[600] = mark;
            return WithAccount(b, blockAccount);
        };
        Bytes otherAccount = c.blockAccount;
        if (!otherAccount.empty())
            otherAccount.back() ^= 0x80;
        const std::vector<Bytes> blocks = {
            block(c.earlierKind, 2, 0x10, c.blockAccount,
                  1),                             // the earlier enrollment of the finger
            block(1, 3, 0x20, c.blockAccount, 2), // the account's other finger
            block(1, 2, 0x30, otherAccount, 3),   // another account's same finger
        };
        SetSlot(3, c.earlierKind, 2, KeyBytes(0x10), c.slotOwner);
        SetSlot(5, 1, 3, KeyBytes(0x20));
        SetSlot(6, 1, 2, KeyBytes(0x30));
        UseDatabase(blocks);
        if (c.failing != 0)
            sensor->FailNext(c.failing, ERROR_GEN_FAILURE);
        EXPECT_EQ(AddRecord(SecureIdentity(c.added), 2), S_OK) << c.name;
        EXPECT_EQ(DeletedSlots(), c.deleted) << c.name;
        std::vector<Bytes> file = FileBlocks();
        ASSERT_EQ(file.size(), c.kept.size() + 1) << c.name;
        for (size_t i = 0; i < c.kept.size(); ++i)
            EXPECT_EQ(file[i][600], c.kept[i]) << c.name << " " << i;
        EXPECT_EQ(moc_test::Hex(file.back().data() + 23, 32), moc_test::Hex(c.added)) << c.name;
        StorageAdapterDetach(&pipeline);
    }
}

} // namespace
} // namespace storage_test
