// Byte helpers shared by the suites: hex text, patterned buffers, byte images
// of records, and little- and big-endian fields for hand-built fixtures.
#pragma once
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <vector>

namespace moc_test {

using Bytes = std::vector<uint8_t>;

inline Bytes FromHex(const std::string& hex) {
    if (hex.size() % 2 != 0) {
        throw std::invalid_argument("odd hex length");
    }
    Bytes out(hex.size() / 2);
    for (size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
    }
    return out;
}

inline std::string Hex(const uint8_t* data, size_t length) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < length; ++i) {
        out += kDigits[data[i] >> 4];
        out += kDigits[data[i] & 15];
    }
    return out;
}
inline std::string Hex(const Bytes& bytes) {
    return Hex(bytes.data(), bytes.size());
}

// The bytes of any record or buffer, for comparing images.
inline Bytes BytesOf(const void* data, size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    return Bytes(p, p + size);
}
template <typename T> Bytes BytesOf(const T& record) {
    return BytesOf(&record, sizeof(record));
}

// A buffer whose bytes differ from their neighbours and, past 256 bytes, from
// the bytes one period earlier, so that a shifted or repeated copy shows.
inline Bytes Pattern(size_t length, uint8_t seed) {
    Bytes out(length);
    for (size_t i = 0; i < length; ++i) {
        out[i] = static_cast<uint8_t>(seed + 7 * i + (i >> 8));
    }
    return out;
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

inline Bytes Le16(uint32_t value) {
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
}
inline Bytes Le32(uint32_t value) {
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
            static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
}
inline Bytes Be32(uint32_t value) {
    return {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
}

// Text bytes without the terminating NUL.
inline Bytes Text(const char* text) {
    return Bytes(text, text + std::strlen(text));
}

} // namespace moc_test
