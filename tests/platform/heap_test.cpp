// The stand-in's process heap keeps count of what it has handed out, so that
// a benchmark can see a leak of a few bytes.
#include <gtest/gtest.h>
#include <platform/test.h>
#include <vector>

namespace {

TEST(StandInHeapTest, CountsTheLiveBlocksAndTheBytesAskedFor) {
    const size_t blocks = platform::test::LiveHeapBlocks();
    const size_t bytes = platform::test::LiveHeapBytes();
    struct Case {
        SIZE_T size;
        DWORD flags;
    };
    const Case cases[] = {{0, 0}, {1, HEAP_ZERO_MEMORY}, {100, 0}, {4096, HEAP_ZERO_MEMORY}};
    std::vector<LPVOID> taken;
    SIZE_T asked = 0;
    for (const Case& c : cases) {
        taken.push_back(HeapAlloc(GetProcessHeap(), c.flags, c.size));
        ASSERT_NE(taken.back(), nullptr);
        asked += c.size;
        EXPECT_EQ(platform::test::LiveHeapBlocks(), blocks + taken.size());
        EXPECT_EQ(platform::test::LiveHeapBytes(), bytes + asked);
    }

    // A pointer the heap never handed out, or one freed already, changes nothing.
    int foreign = 0;
    EXPECT_FALSE(HeapFree(GetProcessHeap(), 0, &foreign));
    ASSERT_TRUE(HeapFree(GetProcessHeap(), 0, taken[2]));
    EXPECT_FALSE(HeapFree(GetProcessHeap(), 0, taken[2]));
    EXPECT_EQ(platform::test::LiveHeapBlocks(), blocks + 3);
    EXPECT_EQ(platform::test::LiveHeapBytes(), bytes + asked - 100);

    for (size_t i : {3, 0, 1})
        ASSERT_TRUE(HeapFree(GetProcessHeap(), 0, taken[i]));
    EXPECT_EQ(platform::test::LiveHeapBlocks(), blocks);
    EXPECT_EQ(platform::test::LiveHeapBytes(), bytes);
}

} // namespace
