// Byte helpers and reference computations for the crypto client's tests.
// The references run over one concatenated message through the library's
// one-shot calls, a path apart from the streaming code under test.
#pragma once
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <vector>

#include <mbedtls/md.h>
#include <mbedtls/sha256.h>

namespace sdcp_test {

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

// Text bytes; a label enters its HMAC with the terminating NUL.
inline Bytes Text(const char* text) {
    return Bytes(text, text + std::strlen(text));
}
inline Bytes Label(const char* text) {
    return Bytes(text, text + std::strlen(text) + 1);
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

inline Bytes Be32(uint32_t value) {
    return {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
}

inline Bytes Sha256(const Bytes& message) {
    Bytes digest(32);
    if (mbedtls_sha256_ret(message.data(), message.size(), digest.data(), 0) != 0) {
        throw std::runtime_error("sha256");
    }
    return digest;
}

inline Bytes HmacSha256(const Bytes& key, const Bytes& message) {
    Bytes mac(32);
    if (mbedtls_md_hmac(mbedtls_md_info_from_type(MBEDTLS_MD_SHA256), key.data(), key.size(),
                        message.data(), message.size(), mac.data()) != 0) {
        throw std::runtime_error("hmac");
    }
    return mac;
}

// NIST SP 800-108 counter mode written out from its definition: each block is
// HMAC(key, i || label NUL || context || L*8), all integers big-endian.
inline Bytes ReferenceKdf(const Bytes& key, const char* label, const Bytes& context,
                          uint32_t length) {
    Bytes out;
    for (uint32_t i = 1; out.size() < length; ++i) {
        Bytes block = HmacSha256(key, Concat({Be32(i), Label(label), context, Be32(length * 8)}));
        out.insert(out.end(), block.begin(), block.end());
    }
    out.resize(length);
    return out;
}

inline Bytes Pattern(size_t length, uint8_t seed) {
    Bytes out(length);
    for (size_t i = 0; i < length; ++i) {
        out[i] = static_cast<uint8_t>(seed + 7 * i);
    }
    return out;
}

} // namespace sdcp_test
