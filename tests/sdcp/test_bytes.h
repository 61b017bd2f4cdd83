// Reference computations for the crypto client's tests.
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

#include "support/bytes.h"

namespace sdcp_test {

using moc_test::Be32;
using moc_test::Bytes;
using moc_test::Concat;
using moc_test::FromHex;
using moc_test::Hex;
using moc_test::Pattern;
using moc_test::Text;

// A label enters its HMAC with the terminating NUL.
inline Bytes Label(const char* text) {
    return Bytes(text, text + std::strlen(text) + 1);
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

} // namespace sdcp_test
