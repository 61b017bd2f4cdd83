#include "common/image_writers.h"

#include <windows.h>
#include <cstdio>
#include "common/file_utils.h"

namespace {

constexpr uint32_t kHeaderBytes = 54;
constexpr uint32_t kInfoHeaderBytes = 40;
constexpr uint64_t kLargestField = 0xFFFFFFFFu;
constexpr uint32_t kLargestSide = 0x7FFFFFFFu;

void PutLe(uint8_t* at, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        at[i] = static_cast<uint8_t>(value >> (8 * i));
}

// An output stream as the platform's standard streams open one (shared,
// truncating, a name that is no file refused at once) and silent on failure:
// every write after a failed open or write does nothing.
class ImageStream {
public:
    explicit ImageStream(const char* path)
        : file_(OpenSharedStream(path, GENERIC_WRITE, CREATE_ALWAYS)) {}
    ~ImageStream() {
        if (file_ != INVALID_HANDLE_VALUE)
            CloseHandle(file_);
    }
    ImageStream(const ImageStream&) = delete;
    ImageStream& operator=(const ImageStream&) = delete;

    bool Bad() const { return file_ == INVALID_HANDLE_VALUE; }

    void Write(const void* data, size_t size) {
        if (file_ != INVALID_HANDLE_VALUE && WriteAllBytes(file_, data, size) != 0) {
            CloseHandle(file_);
            file_ = INVALID_HANDLE_VALUE;
        }
    }

private:
    HANDLE file_;
};

} // namespace

void SavePgmFile(const char* path, const uint8_t* pixels, int count, int width, int height) {
    if (path == nullptr)
        return;
    char header[128] = {};
    int length = std::snprintf(header, sizeof(header), "P5\n%d %d\n255\n", width, height);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof(header))
        return;
    ImageStream out(path);
    if (out.Bad())
        return;
    out.Write(header, static_cast<size_t>(length));
    if (pixels != nullptr && count > 0)
        out.Write(pixels, static_cast<size_t>(count));
}

void BuildBmpFromGray(BmpImage& image, const std::vector<uint8_t>& gray, uint32_t width,
                      uint32_t height) {
    // In 64 bits: a 32-bit product of the sides can wrap to a small value and
    // let the loops below run past both arrays.
    uint64_t pixelCount = static_cast<uint64_t>(width) * height;
    if (width > kLargestSide || height > kLargestSide || pixelCount > gray.size())
        return;
    uint32_t fill = 4u - ((0u - width) & 3u);
    if (fill == 4)
        fill = 0;
    uint64_t imageSize = (3ull * width + fill) * height;
    uint64_t paletteBytes = 4ull * image.palette.size();
    if (imageSize + paletteBytes + kHeaderBytes > kLargestField)
        return;

    image.pixels.resize(gray.size(), BmpPixel{0, 0, 0, 255});
    for (uint64_t i = 0; i < height; ++i) {
        for (uint64_t j = 0; j < width; ++j) {
            uint8_t value = gray[i * width + j];
            image.pixels[(height - 1 - i) * width + j] = BmpPixel{value, value, value, 255};
        }
    }
    image.rowFill = static_cast<uint8_t>(fill);
    image.signature = "BM";
    image.imageSize = static_cast<uint32_t>(imageSize);
    image.fileSize = static_cast<uint32_t>(imageSize + paletteBytes + kHeaderBytes);
    image.reserved = 0;
    image.pixelDataOffset = static_cast<uint32_t>(kHeaderBytes + paletteBytes);
    image.infoHeaderSize = kInfoHeaderBytes;
    image.width = static_cast<int32_t>(width);
    image.height = static_cast<int32_t>(height);
    image.planes = 1;
    image.bitsPerPixel = 24;
    image.compression = 0;
    image.horizontalResolution = 0;
    image.verticalResolution = 0;
    image.coloursUsed = 0;
    image.importantColours = 0;
}

void SaveBmpFile(const BmpImage& image, const char* path) {
    if (path == nullptr)
        return;
    uint64_t rows = image.height > 0 ? static_cast<uint64_t>(image.height) : 0;
    uint64_t columns = image.width > 0 ? static_cast<uint64_t>(image.width) : 0;
    // The image's fields are the caller's: rows beyond its pixels would be read
    // out of bounds.
    if (rows * columns > image.pixels.size())
        return;

    uint8_t header[kHeaderBytes] = {};
    for (size_t i = 0; i < 2 && i < image.signature.size(); ++i)
        header[i] = static_cast<uint8_t>(image.signature[i]);
    PutLe(header + 2, image.fileSize, 4);
    PutLe(header + 6, image.reserved, 4);
    PutLe(header + 10, image.pixelDataOffset, 4);
    PutLe(header + 14, image.infoHeaderSize, 4);
    PutLe(header + 18, static_cast<uint32_t>(image.width), 4);
    PutLe(header + 22, static_cast<uint32_t>(image.height), 4);
    PutLe(header + 26, image.planes, 2);
    PutLe(header + 28, image.bitsPerPixel, 2);
    PutLe(header + 30, image.compression, 4);
    PutLe(header + 34, image.imageSize, 4);
    PutLe(header + 38, static_cast<uint32_t>(image.horizontalResolution), 4);
    PutLe(header + 42, static_cast<uint32_t>(image.verticalResolution), 4);
    PutLe(header + 46, image.coloursUsed, 4);
    PutLe(header + 50, image.importantColours, 4);

    ImageStream out(path);
    out.Write(header, sizeof(header));
    for (const BmpPaletteEntry& entry : image.palette)
        out.Write(entry.data(), entry.size());
    std::vector<char> row;
    // Only rows that exist size the buffer: an image of no rows may still
    // carry a width of billions.
    if (rows > 0)
        row.reserve(3 * columns + image.rowFill);
    for (uint64_t r = 0; r < rows; ++r) {
        row.clear();
        for (uint64_t c = 0; c < columns; ++c) {
            const BmpPixel& pixel = image.pixels[r * columns + c];
            row.push_back(static_cast<char>(pixel.blue));
            row.push_back(static_cast<char>(pixel.green));
            row.push_back(static_cast<char>(pixel.red));
        }
        row.insert(row.end(), image.rowFill, '\0');
        out.Write(row.data(), row.size());
    }
}
