// The legacy record file in each of its layouts, the conversion of its bare
// records into blocks, and the merge of two record sets.
#include <cstring>
#include "storage/legacy_files.h"
#include "storage_fixture.h"

namespace storage_test {
namespace {

// A bare record of `size` bytes (124 or 157) with the valid byte first.
Bytes Record(size_t size, uint8_t valid, uint8_t seed) {
    Bytes r = moc_test::Pattern(size, seed);
    r[0] = valid;
    return r;
}

Bytes Join(const std::vector<Bytes>& parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes Descriptor(uint8_t type, uint16_t count, uint16_t offset) {
    return Concat({{type}, Le16(count), {0xEE}, Le16(offset), {0xEE}});
}

class LegacyFilesTest : public StorageTest {
protected:
    void SetUp() override {
        StorageTest::SetUp();
        Attach();
    }
};

TEST_F(LegacyFilesTest, EachLayoutLoadsItsRecords) {
    const Bytes p1 = Record(124, 1, 0x01), p0 = Record(124, 0, 0x02), p2 = Record(124, 1, 0x03);
    const Bytes o1 = Record(157, 1, 0x04), o2 = Record(157, 0, 0x05);
    // 38 plain records: 4712 bytes, and 4710 is a multiple of 157, so the file
    // reads as counted; its first record says count 1 (valid 1, kind 0).
    Bytes thirtyEight;
    for (int i = 0; i < 38; ++i) {
        Bytes r = Record(124, 1, static_cast<uint8_t>(i));
        r[1] = 0;
        thirtyEight.insert(thirtyEight.end(), r.begin(), r.end());
    }
    const Bytes magic = {0x70, 0x80, 0x68, 0x66};
    // Every section names the same record: 65,536 records in all, one more
    // than a database file can hold, from a file of less than half a megabyte.
    Bytes repeated = Concat({magic, {0}, Le16(0xFFFF), Descriptor(0x10, 2, 0)});
    const Bytes once = Descriptor(0x10, 1, 0);
    for (int i = 1; i < 0xFFFF; ++i)
        repeated.insert(repeated.end(), once.begin(), once.end());
    struct Case {
        const char* name;
        Bytes file;
        HRESULT result;
        Bytes owned, plain;
    } cases[] = {
        {"two bytes of a count of none", {0x00, 0x00}, S_OK, {}, {}},
        // Cut short, or counting records it does not hold: refused, never empty.
        {"two bytes of a count of five", {0x05, 0x00}, WINBIO_E_DATABASE_CORRUPTED, {}, {}},
        {"six bytes", Bytes(6, 0x01), WINBIO_E_DATABASE_CORRUPTED, {}, {}},
        {"no byte", {}, WINBIO_E_DATABASE_CORRUPTED, {}, {}},
        {"counted", Concat({Le16(2), o1, o2}), S_OK, Join({o1, o2}), {}},
        {"plain, valid records only", Join({p1, p0, p2}), S_OK, {}, Join({p1, p2})},
        {"plain with a short tail", Join({p1, Bytes(50, 1)}), S_OK, {}, p1},
        {"plain read as counted",
         thirtyEight,
         S_OK,
         Bytes(thirtyEight.begin() + 2, thirtyEight.begin() + 2 + 157),
         {}},
        {"sectioned",
         Concat({magic,
                 {0},
                 Le16(3),
                 Descriptor(0x10, 2, 28),
                 Descriptor(0x12, 9, 0),
                 Descriptor(0x11, 1, 276),
                 p1,
                 p0,
                 o2}),
         S_OK, o2, Join({p1, p0})},
        {"counted beyond the end", Concat({Le16(3), o1, o2}), WINBIO_E_DATABASE_CORRUPTED, {}, {}},
        {"section beyond the end",
         Concat({magic, {0}, Le16(2), Descriptor(0x10, 1, 21), Descriptor(0x11, 2, 145), p1, o1}),
         WINBIO_E_DATABASE_CORRUPTED,
         {},
         {}},
        {"sections naming the same record",
         Concat({magic, {0}, Le16(2), Descriptor(0x10, 1, 21), Descriptor(0x10, 1, 21), p1}),
         S_OK,
         {},
         Join({p1, p1})},
        {"sections holding more records than a database",
         repeated,
         WINBIO_E_DATABASE_CORRUPTED,
         {},
         {}},
        {"descriptors beyond the end",
         Concat({magic, {0}, Le16(40), Descriptor(0x10, 0, 0)}),
         WINBIO_E_DATABASE_CORRUPTED,
         {},
         {}},
    };
    for (const Case& c : cases) {
        WriteFile(kLegacyRecordFile, c.file);
        Context().OwnedBlocks.clear();
        Context().PlainBlocks.clear();
        EXPECT_EQ(LoadLegacyDatabaseFile(&Context(), kLegacyRecordFile), c.result) << c.name;
        EXPECT_EQ(moc_test::Hex(Context().OwnedBlocks), moc_test::Hex(c.owned)) << c.name;
        EXPECT_EQ(moc_test::Hex(Context().PlainBlocks), moc_test::Hex(c.plain)) << c.name;
    }
    DeleteFileA(kLegacyRecordFile);
    EXPECT_EQ(LoadLegacyDatabaseFile(&Context(), kLegacyRecordFile), WINBIO_E_DATABASE_CORRUPTED);
}

TEST_F(LegacyFilesTest, RecordsBecomeBlocksOfTheirType) {
    const Bytes o1 = Record(157, 1, 0x11), o2 = Record(157, 1, 0x22), p = Record(124, 1, 0x33);
    const Bytes other = PlainBlock(1, 1, KeyBytes(1));
    Context().OwnedBlocks = Join({o1, o2, Bytes(20, 9)}); // a partial record is dropped
    Context().PlainBlocks = p;
    Context().OtherBlocks = other;
    ASSERT_EQ(ConvertLegacyRecords(&Context()), S_OK);
    auto block = [](uint8_t type, uint8_t length, const Bytes& record) {
        Bytes b(1024, 0);
        b[0] = type;
        b[1] = length;
        std::copy(record.begin(), record.end(), b.begin() + 19);
        return b;
    };
    EXPECT_EQ(BlocksOf(Context().OwnedBlocks),
              (std::vector<Bytes>{block(0x11, 0x9D, o1), block(0x11, 0x9D, o2)}));
    EXPECT_EQ(BlocksOf(Context().PlainBlocks), std::vector<Bytes>{block(0x10, 0x7C, p)});
    EXPECT_EQ(Context().OtherBlocks, other);
}

TEST_F(LegacyFilesTest, MergeKeepsTheFirstSetAndAddsWhatItLacks) {
    auto b = [](uint8_t mark) { return PlainBlock(1, 2, KeyBytes(mark), mark); };
    const Bytes x = b(1), y = b(2), z = b(3);
    Bytes xOtherOwner = x;
    xOtherOwner[3] = 0x55; // differs only in its owner id
    struct Case {
        const char* name;
        std::vector<Bytes> first, second, merged, secondAfter;
    } cases[] = {
        {"same blocks", {x, y}, {y, x}, {x, y}, {}},
        {"one new", {x, y}, {y, z}, {x, y, z}, {z}},
        {"empty first", {}, {y, x}, {y, x}, {y, x}},
        {"empty second", {x}, {}, {x}, {}},
        {"owner id counts", {x}, {xOtherOwner}, {x, xOtherOwner}, {xOtherOwner}},
        {"duplicates inside one set stay", {x, x}, {z, z, x}, {x, x, z, z}, {z, z}},
    };
    for (const Case& c : cases) {
        BlockSet first, second;
        first.Owned = Join(c.first);
        second.Owned = Join(c.second);
        second.Plain = Join({y});
        first.Other = Join({z});
        ASSERT_EQ(MergeDatabaseRecords(&Context(), first, second), S_OK) << c.name;
        EXPECT_EQ(BlocksOf(Context().OwnedBlocks), c.merged) << c.name;
        EXPECT_EQ(BlocksOf(second.Owned), c.secondAfter) << c.name;
        EXPECT_EQ(BlocksOf(Context().PlainBlocks), std::vector<Bytes>{y}) << c.name;
        EXPECT_EQ(BlocksOf(Context().OtherBlocks), std::vector<Bytes>{z}) << c.name;
    }
}

} // namespace
} // namespace storage_test
