// Writers that save an 8-bit gray image (one byte per pixel, rows one after
// the other, the top row first) as a binary PGM file or as a 24-bit BMP file.
// Paths are narrow strings in the process's ANSI code page. Nothing is
// reported: a caller that needs to know tests the file afterwards.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <vector>

// One pixel of a BmpImage, bytes in this order.
struct BmpPixel {
    uint8_t red = 0;
    uint8_t green = 0;
    uint8_t blue = 0;
    uint8_t alpha = 0;
};
static_assert(sizeof(BmpPixel) == 4, "BmpPixel is 4 bytes");

using BmpPaletteEntry = std::array<uint8_t, 4>;

// An in-memory bitmap whose header fields mirror the BMP file's two headers.
struct BmpImage {
    std::string signature;
    uint32_t fileSize = 0;
    uint32_t reserved = 0;
    uint32_t pixelDataOffset = 0;
    uint32_t infoHeaderSize = 0;
    int32_t width = 0;
    // Positive: the rows run from the bottom of the picture to the top.
    int32_t height = 0;
    uint16_t planes = 0;
    uint16_t bitsPerPixel = 0;
    uint32_t compression = 0;
    uint32_t imageSize = 0;
    int32_t horizontalResolution = 0;
    int32_t verticalResolution = 0;
    uint32_t coloursUsed = 0;
    uint32_t importantColours = 0;
    // Written as they are; counted in the sizes.
    std::vector<BmpPaletteEntry> palette;
    // Rows of `width` pixels, row 0 the bottom row of the picture.
    std::vector<BmpPixel> pixels;
    // Zero bytes (0 to 3) that end each pixel row in the file.
    uint8_t rowFill = 0;
};

// Writes "P5\n<width> <height>\n255\n" and then `count` pixel bytes unchanged.
// A null pixel pointer or a count of 0 or less writes the header alone.
void SavePgmFile(const char* path, const uint8_t* pixels, int count, int width, int height);

// Fills `image` from the gray image: one pixel for each gray byte, the rows
// turned bottom-up, every header field set for a 24-bit file. A gray array
// shorter than width x height, a side above 0x7FFFFFFF, or sizes that do not
// fit the file's 32-bit fields leave `image` as it was.
void BuildBmpFromGray(BmpImage& image, const std::vector<uint8_t>& gray, uint32_t width,
                      uint32_t height);

// Writes `image` as a BMP file: the 54 header bytes from its fields, the
// palette, then `height` rows of `width` blue-green-red pixels each followed
// by `rowFill` zero bytes. An image whose pixel array holds fewer than
// width x height pixels is not written at all.
void SaveBmpFile(const BmpImage& image, const char* path);
