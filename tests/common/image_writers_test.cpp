#include "common/image_writers.h"

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>
#include <gtest/gtest.h>
#include <platform/test.h>
#include <sys/stat.h>
#include "support/temp_root.h"
#include "support/within_time.h"

namespace {

using platform::test::ReadWholeFile;

uint32_t U32At(const std::string& file, size_t at) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | static_cast<uint8_t>(file.at(at + i));
    return value;
}

class ImageWritersTest : public ::testing::Test {
protected:
    void SetUp() override { platform::test::ResetAll(); }

    bool Exists(const char* path) const { return std::filesystem::exists(root.Native(path)); }

    moc_test::TempRoot root;
};

TEST_F(ImageWritersTest, SavePgmFileWritesHeaderAndPixels) {
    const uint8_t pixels[] = {1, 2, 3, 4, 5, 6};
    struct Case {
        int count;
        int width;
        int height;
        bool nullPixels;
        std::string expected;
    } cases[] = {
        {6, 3, 2, false, std::string("P5\n3 2\n255\n\x01\x02\x03\x04\x05\x06", 17)},
        {6, -3, 2, false, std::string("P5\n-3 2\n255\n\x01\x02\x03\x04\x05\x06", 18)},
        {0, 3, 2, false, "P5\n3 2\n255\n"},
        {-1, 3, 2, false, "P5\n3 2\n255\n"},
        {6, 3, 2, true, "P5\n3 2\n255\n"},
        {0, INT32_MIN, INT32_MIN, false, "P5\n-2147483648 -2147483648\n255\n"},
    };
    for (const Case& c : cases) {
        SavePgmFile("C:\\image.pgm", c.nullPixels ? nullptr : pixels, c.count, c.width, c.height);
        EXPECT_EQ(ReadWholeFile("C:\\image.pgm"), c.expected) << c.width << " " << c.count;
    }
}

TEST_F(ImageWritersTest, BuildBmpFromGrayRowFillAndSizes) {
    struct Case {
        uint32_t width;
        uint32_t height;
        uint8_t rowFill;
        uint32_t imageSize;
    } cases[] = {
        {3, 2, 3, 24}, {4, 2, 0, 24}, {5, 2, 1, 32}, {6, 2, 2, 40}, {1, 1, 1, 4},
    };
    for (const Case& c : cases) {
        BmpImage image;
        BuildBmpFromGray(image, std::vector<uint8_t>(c.width * c.height, 7), c.width, c.height);
        EXPECT_EQ(image.rowFill, c.rowFill) << c.width;
        EXPECT_EQ(image.imageSize, c.imageSize) << c.width;
        EXPECT_EQ(image.fileSize, 54 + c.imageSize) << c.width;
        EXPECT_EQ(image.pixelDataOffset, 54u);
        EXPECT_EQ(image.signature, "BM");
        EXPECT_EQ(image.infoHeaderSize, 40u);
        EXPECT_EQ(image.planes, 1);
        EXPECT_EQ(image.bitsPerPixel, 24);
    }
}

TEST_F(ImageWritersTest, SaveBmpFileWritesTheGrayImageUpright) {
    BmpImage image;
    BuildBmpFromGray(image, {10, 20, 30, 40, 50, 60}, 3, 2);
    SaveBmpFile(image, "C:\\image.bmp");
    const uint8_t expected[78] = {
        'B', 'M', 78, 0,  0,  0,  0,  0,  0,  0, 54, 0, 0, 0,        // file header
        40,  0,   0,  0,  3,  0,  0,  0,  2,  0, 0,  0, 1, 0, 24, 0, // size, width, height, ...
        0,   0,   0,  0,  24, 0,  0,  0,  0,  0, 0,  0, 0, 0, 0,  0, // compression, image size
        0,   0,   0,  0,  0,  0,  0,  0,                             // colour counts
        40,  40,  40, 50, 50, 50, 60, 60, 60, 0, 0,  0,              // bottom row first
        10,  10,  10, 20, 20, 20, 30, 30, 30, 0, 0,  0,              // then the top row
    };
    EXPECT_EQ(ReadWholeFile("C:\\image.bmp"),
              std::string(reinterpret_cast<const char*>(expected), sizeof(expected)));
}

TEST_F(ImageWritersTest, SaveBmpFileWritesPaletteAndColourOrder) {
    BmpImage image;
    image.palette.push_back({1, 2, 3, 4});
    BuildBmpFromGray(image, {0}, 1, 1);
    image.pixels[0] = BmpPixel{0xAA, 0xBB, 0xCC, 0xDD};
    SaveBmpFile(image, "C:\\image.bmp");
    std::string file = ReadWholeFile("C:\\image.bmp");
    ASSERT_EQ(file.size(), 62u);
    EXPECT_EQ(U32At(file, 2), 62u);
    EXPECT_EQ(U32At(file, 10), 58u);
    EXPECT_EQ(file.substr(54), std::string("\x01\x02\x03\x04\xCC\xBB\xAA\x00", 8));
}

TEST_F(ImageWritersTest, ZeroSidesGiveTheHeaderAlone) {
    struct Case {
        uint32_t width;
        uint32_t height;
    } cases[] = {{0, 2}, {3, 0}, {0, 0}, {0x7FFFFFFF, 0}};
    for (const Case& c : cases) {
        BmpImage image;
        BuildBmpFromGray(image, {}, c.width, c.height);
        SaveBmpFile(image, "C:\\image.bmp");
        std::string file = ReadWholeFile("C:\\image.bmp");
        ASSERT_EQ(file.size(), 54u) << c.width << "x" << c.height;
        EXPECT_EQ(U32At(file, 34), 0u);
        EXPECT_EQ(U32At(file, 2), 54u);
    }
}

TEST_F(ImageWritersTest, ExtraGrayBytesStayInTheImageOnly) {
    BmpImage exact;
    BuildBmpFromGray(exact, {10, 20, 30, 40, 50, 60}, 3, 2);
    BmpImage longer;
    BuildBmpFromGray(longer, {10, 20, 30, 40, 50, 60, 70, 80}, 3, 2);
    EXPECT_EQ(longer.pixels.size(), 8u);
    SaveBmpFile(exact, "C:\\exact.bmp");
    SaveBmpFile(longer, "C:\\longer.bmp");
    EXPECT_EQ(ReadWholeFile("C:\\longer.bmp"), ReadWholeFile("C:\\exact.bmp"));
}

TEST_F(ImageWritersTest, ShortOrOverflowingGrayImagesLeaveTheImageAlone) {
    struct Case {
        const char* name;
        size_t grayBytes;
        uint32_t width;
        uint32_t height;
    } cases[] = {
        {"one byte short", 5, 3, 2},
        {"empty", 0, 3, 2},
        // 65536 x 65537 wraps to 65536 in 32 bits: the array would seem large enough.
        {"product wraps", 65536, 65536, 65537},
        {"side above the signed range", 0, 0x80000000u, 0},
    };
    for (const Case& c : cases) {
        BmpImage image;
        image.signature = "untouched";
        BuildBmpFromGray(image, std::vector<uint8_t>(c.grayBytes, 9), c.width, c.height);
        EXPECT_EQ(image.signature, "untouched") << c.name;
        EXPECT_TRUE(image.pixels.empty()) << c.name;
        EXPECT_EQ(image.width, 0) << c.name;
    }
}

TEST_F(ImageWritersTest, SaveBmpFileRefusesPixelsShorterThanItsSides) {
    BmpImage image;
    BuildBmpFromGray(image, {10, 20, 30, 40, 50, 60}, 3, 2);
    image.pixels.resize(5);
    SaveBmpFile(image, "C:\\image.bmp");
    EXPECT_FALSE(Exists("C:\\image.bmp"));

    BmpImage blank; // no signature, no pixels: the header fields as they are
    SaveBmpFile(blank, "C:\\blank.bmp");
    EXPECT_EQ(ReadWholeFile("C:\\blank.bmp"), std::string(54, '\0'));
}

// Both writers open through the platform's call: a FIFO, a link to a device
// or a folder at the path is refused at once, never waited on or written
// through, and the name stays as it was.
TEST_F(ImageWritersTest, NamesThatAreNotFilesAreNeitherWaitedOnNorWritten) {
    namespace fs = std::filesystem;
    ASSERT_EQ(mkfifo(root.Native("C:\\fifo").c_str(), 0600), 0);
    fs::create_symlink("/dev/null", root.Native("C:\\to-null"));
    fs::create_directories(root.Native("C:\\folder"));
    BmpImage image;
    BuildBmpFromGray(image, {10, 20, 30, 40, 50, 60}, 3, 2);
    const std::vector<uint8_t> pixels = {1, 2, 3, 4, 5, 6};
    for (const char* path : {"C:\\fifo", "C:\\to-null", "C:\\folder"}) {
        SCOPED_TRACE(path);
        const auto seen = moc_test::ReturnedWithin([&] {
            SavePgmFile(path, pixels.data(), static_cast<int>(pixels.size()), 3, 2);
            SaveBmpFile(image, path);
            return std::string("returned");
        });
        EXPECT_TRUE(seen.has_value()) << "the writer waited";
    }
    EXPECT_TRUE(fs::is_fifo(root.Native("C:\\fifo")));
    EXPECT_TRUE(fs::is_symlink(root.Native("C:\\to-null")));
    EXPECT_TRUE(fs::is_directory(root.Native("C:\\folder")));
}

} // namespace
