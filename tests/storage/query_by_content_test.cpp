// Query by content, the database size, the walk through the results and the
// record handed back for each.
#include <cstring>
#include "storage_fixture.h"

namespace storage_test {
namespace {

class QueryByContentTest : public TracedStorageTest {
protected:
    HRESULT QueryByContent(BYTE subFactor, std::vector<ULONG> vector, SIZE_T count) {
        return StorageAdapterQueryByContent(&pipeline, subFactor,
                                            vector.empty() ? nullptr : vector.data(), count);
    }
    HRESULT Size(SIZE_T* available, SIZE_T* total) {
        return StorageAdapterGetDatabaseSize(&pipeline, available, total);
    }
    HRESULT Current(WINBIO_STORAGE_RECORD* record) {
        return StorageAdapterGetCurrentRecord(&pipeline, record);
    }
};

// A block with an index vector (big-endian elements at 85 on) and its count.
Bytes Indexed(uint8_t subFactor, std::vector<uint32_t> elements, uint8_t mark) {
    Bytes b = PlainBlock(1, subFactor, KeyBytes(mark), mark);
    b[84] = static_cast<uint8_t>(elements.size());
    for (size_t i = 0; i < elements.size(); ++i) {
        Bytes be = moc_test::Be32(elements[i]);
        std::copy(be.begin(), be.end(), b.begin() + 85 + 4 * i);
    }
    return b;
}

TEST_F(QueryByContentTest, FindsBlocksBySubFactorAndIndex) {
    const std::vector<Bytes> blocks = {Indexed(1, {5, 7}, 1), Indexed(1, {5, 8}, 2),
                                       Indexed(1, {7, 5}, 3), Indexed(2, {5, 7}, 4)};
    struct Case {
        const char* name;
        DWORD indexElements;
        BYTE subFactor;
        std::vector<ULONG> vector;
        std::vector<DWORD> results;
    } cases[] = {
        {"both elements", 2, 1, {5, 7}, {0}},
        {"the second element differs", 2, 1, {5, 8}, {1024}},
        {"order counts", 2, 1, {7, 5}, {2048}},
        {"any finger", 2, WINBIO_SUBTYPE_ANY, {5, 7}, {0, 3072}},
        {"one element of a one-element database", 1, 1, {5}, {0, 1024}},
        {"no index: every record of the finger", 0, 1, {}, {0, 1024, 2048}},
        {"nothing", 2, 3, {5, 7}, {}},
    };
    Attach();
    for (const Case& c : cases) {
        Context().IndexElementCount = c.indexElements;
        UseDatabase(blocks);
        EXPECT_EQ(QueryByContent(c.subFactor, c.vector, c.vector.size()),
                  c.results.empty() ? WINBIO_E_DATABASE_NO_RESULTS : S_OK)
            << c.name;
        EXPECT_EQ(Context().ResultList, c.results) << c.name;
        EXPECT_EQ(Context().ResultCount, c.results.size()) << c.name;
        EXPECT_TRUE(Context().KeptHeader.empty() && Context().KeptTrailing.empty()) << c.name;
    }

    // Owner-id mode takes this sensor's and this host's records only.
    StorageAdapterDetach(&pipeline);
    Attach(true);
    UseDatabase({OwnedBlock(1, 1, KeyBytes(1)), OwnedBlock(1, 1, KeyBytes(2), OtherOwner()),
                 OwnedBlock(1, 1, KeyBytes(3), SimHostOwner(), Bytes(32, 0))});
    EXPECT_EQ(QueryByContent(1, {}, 0), S_OK);
    EXPECT_EQ(Context().ResultList, std::vector<DWORD>{0});
}

TEST_F(QueryByContentTest, RefusalsLeaveTheResults) {
    Attach();
    Context().IndexElementCount = 2;
    Context().ResultList = {1024};
    Context().ResultCount = 1;
    UseCorruptDatabase();
    struct Case {
        BYTE subFactor;
        std::vector<ULONG> vector;
        SIZE_T count;
        HRESULT result;
    } cases[] = {
        {0, {5}, 1, E_INVALIDARG}, // before the count test
        {1, {5}, 1, WINBIO_E_DATABASE_BAD_INDEX_VECTOR},
        {1, {}, 2, E_INVALIDARG},
        {1, {5, 7}, 2, WINBIO_E_DATABASE_CORRUPTED},
    };
    for (const Case& c : cases)
        EXPECT_EQ(QueryByContent(c.subFactor, c.vector, c.count), c.result) << int(c.subFactor);
    Context().IndexElementCount = 5;
    EXPECT_EQ(QueryByContent(1, {1, 2, 3, 4, 5}, 5), E_INVALIDARG);
    EXPECT_EQ(Context().ResultList, std::vector<DWORD>{1024});
    EXPECT_EQ(Context().ResultCount, 1u);
    EXPECT_EQ(StorageAdapterQueryByContent(nullptr, 1, nullptr, 0), E_POINTER);
}

TEST_F(QueryByContentTest, DatabaseSize) {
    Bytes otherSensor = SimSensorId();
    otherSensor[0] ^= 1;
    struct Case {
        const char* name;
        bool ownerIdMode;
        BYTE slots;
        std::vector<Bytes> blocks;
        SIZE_T available, total;
    } cases[] = {
        {"owner-id mode: every kind, this sensor and host only",
         true,
         10,
         {OwnedBlock(0, 1, KeyBytes(1)), OwnedBlock(1, 1, KeyBytes(2)),
          OwnedBlock(2, 1, KeyBytes(3)), OwnedBlock(1, 1, KeyBytes(4), OtherOwner()),
          OwnedBlock(1, 1, KeyBytes(5), SimHostOwner(), otherSensor)},
         7,
         3},
        {"more records than slots leave none",
         false,
         2,
         {PlainBlock(1, 1, KeyBytes(1)), PlainBlock(1, 2, KeyBytes(2)),
          PlainBlock(1, 3, KeyBytes(3))},
         0,
         3},
    };
    for (const Case& c : cases) {
        Attach(c.ownerIdMode, false, c.slots);
        UseDatabase(c.blocks);
        Context().ResultList = {2048};
        SIZE_T available = 99, total = 99;
        EXPECT_EQ(Size(&available, &total), S_OK) << c.name;
        EXPECT_EQ(available, c.available) << c.name;
        EXPECT_EQ(total, c.total) << c.name;
        EXPECT_EQ(Context().ResultList, std::vector<DWORD>{2048}) << c.name;
        StorageAdapterDetach(&pipeline);
    }
    Attach();
    UseCorruptDatabase();
    SIZE_T available = 99, total = 99;
    EXPECT_EQ(Size(&available, &total), WINBIO_E_DATABASE_CORRUPTED);
    EXPECT_EQ(available + total, 0u);
    EXPECT_TRUE(Context().KeptHeader.empty() && Context().KeptTrailing.empty());
    EXPECT_EQ(Size(nullptr, &total), E_POINTER);
    EXPECT_EQ(Size(&available, nullptr), E_POINTER);
}

TEST_F(QueryByContentTest, WalkThroughTheResults) {
    Attach();
    UseDatabase({PlainBlock(1, 1, KeyBytes(1)), PlainBlock(1, 2, KeyBytes(2))});
    SIZE_T count = 99;
    WINBIO_STORAGE_RECORD record;
    std::memset(&record, 0xCC, sizeof(record));
    const Bytes untouched = moc_test::BytesOf(record);
    // No results: every walking slot says so, and the record stays as it is.
    EXPECT_EQ(StorageAdapterGetRecordCount(&pipeline, &count), WINBIO_E_DATABASE_NO_RESULTS);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(StorageAdapterFirstRecord(&pipeline), WINBIO_E_DATABASE_NO_RESULTS);
    EXPECT_EQ(StorageAdapterNextRecord(&pipeline), WINBIO_E_DATABASE_NO_RESULTS);
    EXPECT_EQ(Current(&record), WINBIO_E_DATABASE_NO_RESULTS);
    EXPECT_EQ(moc_test::BytesOf(record), untouched);

    struct Case {
        BYTE subFactor;
        SIZE_T count;
        std::vector<HRESULT> next; // successive NextRecord results
    } cases[] = {
        {1, 1, {WINBIO_E_DATABASE_NO_MORE_RECORDS, WINBIO_E_DATABASE_NO_MORE_RECORDS}},
        {WINBIO_SUBTYPE_ANY, 2, {S_OK, WINBIO_E_DATABASE_NO_MORE_RECORDS}},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(QueryByContent(c.subFactor, {}, 0), S_OK);
        ASSERT_EQ(StorageAdapterGetRecordCount(&pipeline, &count), S_OK);
        EXPECT_EQ(count, c.count);
        ASSERT_EQ(StorageAdapterFirstRecord(&pipeline), S_OK);
        EXPECT_EQ(Current(&record), S_OK);
        EXPECT_EQ(record.SubFactor, 1);
        for (HRESULT expected : c.next)
            EXPECT_EQ(StorageAdapterNextRecord(&pipeline), expected);
        // Past the end the record is never read from beyond the results.
        std::memset(&record, 0xCC, sizeof(record));
        EXPECT_EQ(Current(&record), WINBIO_E_DATABASE_NO_MORE_RECORDS);
        EXPECT_EQ(moc_test::BytesOf(record), untouched);
    }
    EXPECT_EQ(StorageAdapterGetRecordCount(&pipeline, nullptr), E_POINTER);
    EXPECT_EQ(StorageAdapterFirstRecord(nullptr), E_POINTER);
    EXPECT_EQ(Current(nullptr), E_POINTER);
}

TEST_F(QueryByContentTest, CurrentRecordExpandsTheBlock) {
    const Bytes guidKey = moc_test::FromHex("00112233445566778899aabbccddeeff");
    const Bytes sid = AccountSid(7);
    auto withBlobs = [](Bytes b, const Bytes& templ, const Bytes& payload) {
        b[101] = static_cast<uint8_t>(templ.size());
        std::copy(templ.begin(), templ.end(), b.begin() + 102);
        b[122] = static_cast<uint8_t>(payload.size());
        std::copy(payload.begin(), payload.end(), b.begin() + 123);
        return b;
    };
    WINBIO_IDENTITY guid{};
    guid.Type = WINBIO_ID_TYPE_GUID;
    guid.Value.TemplateGuid = {
        0x00112233, 0x4455, 0x6677, {0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}};
    WINBIO_IDENTITY none{};
    struct Case {
        const char* name;
        Bytes block;
        WINBIO_IDENTITY identity;
        Bytes templ, payload;
    } cases[] = {
        {"GUID with index", Indexed(3, {5, 7}, 1), guid, {}, {}},
        {"SID by its length", PlainBlock(0, 3, sid), SidIdentity(sid), {}, {}},
        {"secure identity with payload only",
         withBlobs(PlainBlock(1, 3, KeyBytes(0x60)), {}, moc_test::Text("hello")),
         SecureIdentity(KeyBytes(0x60)),
         {},
         moc_test::Text("hello")},
        {"template and payload",
         withBlobs(PlainBlock(1, 3, KeyBytes(0x60)), Bytes(20, 0xAB), {1}),
         SecureIdentity(KeyBytes(0x60)),
         Bytes(20, 0xAB),
         {1}},
        {"unknown kind: no identity value, no blobs",
         withBlobs(PlainBlock(7, 3, KeyBytes(0x60)), {1, 2}, {3}),
         none,
         {},
         {}},
    };
    Attach();
    Context().IndexElementCount = 2;
    for (Case& c : cases) {
        if (c.identity.Type == WINBIO_ID_TYPE_GUID) {
            std::copy(guidKey.begin(), guidKey.end(), c.block.begin() + 23);
            c.block[20] = 2;
        }
        UseDatabase({PlainBlock(1, 3, KeyBytes(0x11)), c.block});
        ASSERT_EQ(QueryByContent(3, {0, 0}, 2), S_OK) << c.name;
        // The block of interest is the second result whatever its index.
        Context().ResultList = {1024};
        Context().ResultCount = 1;
        ASSERT_EQ(StorageAdapterFirstRecord(&pipeline), S_OK);
        WINBIO_STORAGE_RECORD record;
        std::memset(&record, 0xCC, sizeof(record));
        ASSERT_EQ(Current(&record), S_OK) << c.name;
        ASSERT_EQ(record.Identity, &Context().ReturnedIdentity) << c.name;
        EXPECT_EQ(moc_test::BytesOf(*record.Identity), moc_test::BytesOf(c.identity)) << c.name;
        EXPECT_EQ(record.SubFactor, 3) << c.name;
        EXPECT_EQ(record.IndexElementCount, 2u) << c.name;
        ASSERT_NE(record.IndexVector, nullptr);
        const bool indexed = c.block[84] == 2;
        EXPECT_EQ(record.IndexVector[0], indexed ? 5u : 0u) << c.name;
        EXPECT_EQ(record.IndexVector[1], indexed ? 7u : 0u) << c.name;
        EXPECT_EQ(record.TemplateBlobSize, c.templ.size()) << c.name;
        EXPECT_EQ(record.TemplateBlob == nullptr, c.templ.empty()) << c.name;
        if (!c.templ.empty()) {
            EXPECT_EQ(moc_test::BytesOf(record.TemplateBlob, c.templ.size()), c.templ) << c.name;
        }
        EXPECT_EQ(record.PayloadBlobSize, c.payload.size()) << c.name;
        EXPECT_EQ(record.PayloadBlob == nullptr, c.payload.empty()) << c.name;
        if (!c.payload.empty()) {
            EXPECT_EQ(moc_test::BytesOf(record.PayloadBlob, c.payload.size()), c.payload) << c.name;
        }
    }
}

// In hashed mode the block holds a digest: the raw identity is the one the
// last query by subject was asked for, and only when it hashes to the key.
TEST_F(QueryByContentTest, HashedSecureIdentityComesBackRaw) {
    const Bytes s = KeyBytes(0x30);
    Attach(false, true);
    UseDatabase({PlainBlock(1, 2, Sha256Of(s))});
    ASSERT_EQ(QueryBySubject(SecureIdentity(s), 2), S_OK);
    ASSERT_EQ(StorageAdapterFirstRecord(&pipeline), S_OK);
    WINBIO_STORAGE_RECORD record{};
    ASSERT_EQ(Current(&record), S_OK);
    EXPECT_EQ(moc_test::BytesOf(*record.Identity), moc_test::BytesOf(SecureIdentity(s)));

    // Reached without it, the block cannot be given back.
    ASSERT_EQ(QueryBySubject(WildcardIdentity(), 2), S_OK);
    ASSERT_EQ(StorageAdapterFirstRecord(&pipeline), S_OK);
    std::memset(&record, 0, sizeof(record));
    EXPECT_EQ(Current(&record), WINBIO_E_CANCELED);
    EXPECT_EQ(record.Identity, nullptr);
    EXPECT_EQ(record.SubFactor, 2);
    EXPECT_NE(record.IndexVector, nullptr);
    ASSERT_EQ(QueryByContent(2, {}, 0), S_OK);
    EXPECT_EQ(Current(&record), WINBIO_E_CANCELED);
}

// Results that no longer fit the list, and size bytes beyond their areas,
// are refused before anything is read or handed out.
TEST_F(QueryByContentTest, CurrentRecordNeverReadsOutOfBounds) {
    auto with = [](size_t at, uint8_t value) {
        Bytes b = PlainBlock(0, 1, AccountSid(1));
        b[at] = value;
        return b;
    };
    struct Case {
        const char* name;
        Bytes block;
        std::vector<DWORD> results;
        HRESULT result;
    } cases[] = {
        {"the list was emptied",
         PlainBlock(1, 1, KeyBytes(1)),
         {},
         WINBIO_E_DATABASE_NO_MORE_RECORDS},
        {"an offset past the list",
         PlainBlock(1, 1, KeyBytes(1)),
         {2048},
         WINBIO_E_DATABASE_CORRUPTED},
        {"an offset inside a block",
         PlainBlock(1, 1, KeyBytes(1)),
         {1},
         WINBIO_E_DATABASE_CORRUPTED},
        {"template size beyond its area", with(101, 21), {1024}, WINBIO_E_DATABASE_CORRUPTED},
        {"payload size beyond its area", with(122, 0xFF), {1024}, WINBIO_E_DATABASE_CORRUPTED},
        {"SID length beyond the key", with(22, 33), {1024}, WINBIO_E_DATABASE_CORRUPTED},
        {"sizes at their bounds", with(101, 20), {1024}, S_OK},
    };
    Attach();
    for (const Case& c : cases) {
        UseDatabase({PlainBlock(1, 1, KeyBytes(9)), c.block});
        ASSERT_EQ(QueryByContent(1, {}, 0), S_OK) << c.name;
        Context().ResultList = c.results;
        Context().ResultCount = 1;
        Context().ResultPosition = 0;
        WINBIO_STORAGE_RECORD record;
        std::memset(&record, 0xCC, sizeof(record));
        const Bytes untouched = moc_test::BytesOf(record);
        EXPECT_EQ(Current(&record), c.result) << c.name;
        if (c.result != S_OK) {
            EXPECT_EQ(moc_test::BytesOf(record), untouched) << c.name;
        }
    }
    // A delete since the query shortened the list.
    UseDatabase({PlainBlock(1, 1, KeyBytes(1)), PlainBlock(1, 1, KeyBytes(2))});
    ASSERT_EQ(QueryByContent(1, {}, 0), S_OK);
    ASSERT_EQ(DeleteRecord(SecureIdentity(KeyBytes(1)), 1), S_OK);
    ASSERT_EQ(StorageAdapterFirstRecord(&pipeline), S_OK);
    ASSERT_EQ(StorageAdapterNextRecord(&pipeline), S_OK);
    WINBIO_STORAGE_RECORD record{};
    EXPECT_EQ(Current(&record), WINBIO_E_DATABASE_CORRUPTED);
    // After Deactivate the count stays but the list is gone.
    ASSERT_EQ(StorageAdapterDeactivate(&pipeline), S_OK);
    EXPECT_EQ(Current(&record), WINBIO_E_DATABASE_NO_MORE_RECORDS);
}

} // namespace
} // namespace storage_test
