#include <cstring>
#include <limits>

#include <gtest/gtest.h>
#include <mbedtls/aes.h>
#include <mbedtls/cipher.h>
#include <psa/crypto.h>

#include "sdcp/payload.h"
#include "test_bytes.h"

namespace {

using namespace sdcp_test;

// NIST SP 800-38A F.2.5 (CBC-AES256.Encrypt) and F.2.6 (CBC-AES256.Decrypt)
// share key, IV and blocks.
const char* const kAesKey = "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4";
const char* const kAesIv = "000102030405060708090a0b0c0d0e0f";
const char* const kAesPlaintext = "6bc1bee22e409f96e93d7e117393172a"
                                  "ae2d8a571e03ac9c9eb76fac45af8e51"
                                  "30c81c46a35ce411e5fbc1191a0a52ef"
                                  "f69f2445df4f9b17ad2b417be66c3710";
const char* const kAesCiphertext = "f58c4c04d6e5f1ba779eabfb5f7bfbd6"
                                   "9cfc4e967edb808d679f777bc6702c7d"
                                   "39f23369a9d9bacfa530e26304231461"
                                   "b2eb05e2c39be9fcda6c19078c6a9d1b";

ApplicationKeys KeysWithAesKey(const Bytes& aes_key) {
    ApplicationKeys keys;
    const Bytes mac_key = Pattern(32, 0x40);
    std::memcpy(keys.mac_key, mac_key.data(), 32);
    std::memcpy(keys.aes_key, aes_key.data(), 32);
    return keys;
}

// CBC with PKCS#7 built from the raw AES block function, a path apart from
// the cipher layer under test.
Bytes ReferenceCbcEncrypt(const Bytes& key, Bytes iv, Bytes plaintext) {
    const size_t pad = 16 - plaintext.size() % 16;
    plaintext.insert(plaintext.end(), pad, static_cast<uint8_t>(pad));
    mbedtls_aes_context aes;
    mbedtls_aes_init(&aes);
    mbedtls_aes_setkey_enc(&aes, key.data(), 256);
    Bytes out(plaintext.size());
    for (size_t offset = 0; offset < plaintext.size(); offset += 16) {
        uint8_t block[16];
        for (size_t i = 0; i < 16; ++i) {
            block[i] = plaintext[offset + i] ^ iv[i];
        }
        mbedtls_aes_crypt_ecb(&aes, MBEDTLS_AES_ENCRYPT, block, out.data() + offset);
        iv.assign(out.begin() + offset, out.begin() + offset + 16);
    }
    mbedtls_aes_free(&aes);
    return out;
}

// The PKCS#7 block that follows a whole-block message: 16 bytes of 0x10
// chained onto the last published ciphertext block.
Bytes PaddingBlockAfter(const Bytes& key, const Bytes& last_block) {
    return ReferenceCbcEncrypt(key, last_block, {});
}

Bytes ReferenceIv(const uint8_t* mac_key, uint32_t counter) {
    Bytes iv = HmacSha256(Bytes(mac_key, mac_key + 32), Concat({FromHex("697600"), Be32(counter)}));
    iv.resize(16);
    return iv;
}

TEST(Decrypt, RecoversSp80038aBlocksWithCallersIv) {
    const Bytes key = FromHex(kAesKey), iv = FromHex(kAesIv);
    const Bytes plaintext = FromHex(kAesPlaintext), ciphertext = FromHex(kAesCiphertext);
    const ApplicationKeys keys = KeysWithAesKey(key);
    // Every whole-block prefix of the message is itself a CBC message.
    for (size_t blocks = 1; blocks <= 4; ++blocks) {
        const Bytes prefix(ciphertext.begin(), ciphertext.begin() + 16 * blocks);
        const Bytes message =
            Concat({prefix, PaddingBlockAfter(key, Bytes(prefix.end() - 16, prefix.end()))});
        Bytes out(message.size(), 0);
        uint64_t out_length = 0;
        ASSERT_EQ(0, sdcpcli_decrypt(&keys, message.data(), message.size(), iv.data(), iv.size(),
                                     out.data(), &out_length))
            << blocks;
        ASSERT_EQ(16 * blocks, out_length);
        EXPECT_EQ(Hex(plaintext.data(), 16 * blocks), Hex(out.data(), out_length));
    }
}

// A bad padding, a partial block or a long IV is the cipher layer's failure,
// and none of the blocks that did decrypt reaches the caller.
TEST(Decrypt, FailsWithoutLeavingPlaintext) {
    const Bytes key = FromHex(kAesKey), iv = FromHex(kAesIv);
    const Bytes ciphertext = FromHex(kAesCiphertext);
    const ApplicationKeys keys = KeysWithAesKey(key);
    const Bytes message = Concat(
        {ciphertext, PaddingBlockAfter(key, Bytes(ciphertext.end() - 16, ciphertext.end()))});
    Bytes bad_padding = message;
    bad_padding[63] ^= 0x10; // the last pad byte decrypts to 0
    const Bytes long_iv = Concat({iv, Bytes{0}});

    struct Case {
        const char* what;
        Bytes message;
        Bytes iv;
        int32_t status;
    } cases[] = {
        {"bad padding", bad_padding, iv, MBEDTLS_ERR_CIPHER_INVALID_PADDING},
        {"partial block", Bytes(message.begin(), message.begin() + 70), iv,
         MBEDTLS_ERR_CIPHER_FULL_BLOCK_EXPECTED},
        {"17-byte IV", message, long_iv, MBEDTLS_ERR_CIPHER_FEATURE_UNAVAILABLE},
    };
    for (const Case& c : cases) {
        Bytes out(c.message.size(), 0xA5);
        uint64_t out_length = 0xA5A5;
        EXPECT_EQ(c.status, sdcpcli_decrypt(&keys, c.message.data(), c.message.size(), c.iv.data(),
                                            c.iv.size(), out.data(), &out_length))
            << c.what;
        EXPECT_EQ(Bytes(c.message.size(), 0xA5), out) << c.what;
        EXPECT_EQ(0xA5A5u, out_length) << c.what;
    }
}

class EncryptLengths : public ::testing::TestWithParam<size_t> {};

// Buffers are sized exactly to what each side is promised (plaintext + 16
// for the ciphertext, the ciphertext length for the plaintext), so that the
// sanitizer catches a write past either.
TEST_P(EncryptLengths, MatchesReferenceCbcAndDecryptsBack) {
    const size_t length = GetParam();
    const ApplicationKeys keys = KeysWithAesKey(FromHex(kAesKey));
    const Bytes plaintext = Pattern(length, 0x21);
    const uint32_t counter = 7;
    Bytes iv(16, 0), ciphertext(length + 16, 0);
    uint64_t ciphertext_length = 0;
    ASSERT_EQ(0,
              sdcpcli_encrypt(&keys, &counter, plaintext.data(), plaintext.size(), iv.data(),
                              iv.size(), ciphertext.data(), ciphertext.size(), &ciphertext_length));
    EXPECT_EQ(Hex(ReferenceIv(keys.mac_key, counter)), Hex(iv));
    ASSERT_EQ((length / 16 + 1) * 16, ciphertext_length);
    ciphertext.resize(ciphertext_length);
    EXPECT_EQ(Hex(ReferenceCbcEncrypt(FromHex(kAesKey), iv, plaintext)), Hex(ciphertext));

    Bytes decrypted(ciphertext.size(), 0);
    uint64_t decrypted_length = 0;
    ASSERT_EQ(0, sdcpcli_decrypt(&keys, ciphertext.data(), ciphertext.size(), iv.data(), iv.size(),
                                 decrypted.data(), &decrypted_length));
    ASSERT_EQ(length, decrypted_length);
    decrypted.resize(decrypted_length);
    EXPECT_EQ(plaintext, decrypted);
}

// 4095 and 4096 lie on either side of the largest payload that the decryption
// handles in a buffer on the stack; longer ones take one from the heap.
INSTANTIATE_TEST_SUITE_P(Lengths, EncryptLengths,
                         ::testing::Values(1, 15, 16, 17, 100, 4095, 4096, 10000));

TEST(Encrypt, ReportsTheNeededCapacity) {
    const ApplicationKeys keys = KeysWithAesKey(FromHex(kAesKey));
    const Bytes plaintext = Pattern(20, 1);
    const uint32_t counter = 1;
    Bytes iv(16, 0xA5), ciphertext(64, 0xA5);
    uint64_t out_length = 0;
    EXPECT_EQ(PSA_ERROR_BUFFER_TOO_SMALL,
              sdcpcli_encrypt(&keys, &counter, plaintext.data(), plaintext.size(), iv.data(),
                              iv.size(), ciphertext.data(), plaintext.size() + 15, &out_length));
    EXPECT_EQ(plaintext.size() + 16, out_length);
    EXPECT_EQ(Bytes(16, 0xA5), iv);
    EXPECT_EQ(Bytes(64, 0xA5), ciphertext);
}

// A length whose needed size wraps around 2^64 must not pass the capacity
// check; the cipher would otherwise run over the caller's memory.
TEST(Encrypt, RefusesLengthsThatWrap) {
    const ApplicationKeys keys = KeysWithAesKey(FromHex(kAesKey));
    const uint32_t counter = 1;
    uint8_t data[32] = {};
    uint8_t iv[16];
    uint64_t out_length = 0xA5A5;
    const uint64_t huge = std::numeric_limits<uint64_t>::max() - 8;
    EXPECT_EQ(PSA_ERROR_INVALID_ARGUMENT, sdcpcli_encrypt(&keys, &counter, data, huge, iv, 16, data,
                                                          sizeof(data), &out_length));
    EXPECT_EQ(0xA5A5u, out_length);
    EXPECT_EQ(PSA_ERROR_INVALID_ARGUMENT,
              sdcpcli_decrypt(&keys, data, huge, iv, 16, data, &out_length));
}

TEST(DeriveIv, IsTheLabelledHmacOfTheCounter) {
    const Bytes mac_key = Pattern(32, 0x40);
    const uint32_t one = 1, two = 2;
    Bytes iv1(24, 0xA5), iv2(16, 0);
    ASSERT_EQ(0, sdcpcli_derive_iv(mac_key.data(), &one, iv1.data(), 16));
    ASSERT_EQ(0, sdcpcli_derive_iv(mac_key.data(), &two, iv2.data(), 16));
    // "iv" NUL and the counter 1 big-endian, after the key.
    Bytes expected = HmacSha256(mac_key, FromHex("69760000000001"));
    EXPECT_EQ(Hex(expected.data(), 16), Hex(iv1.data(), 16));
    EXPECT_EQ(Bytes(8, 0xA5), Bytes(iv1.begin() + 16, iv1.end()));
    EXPECT_NE(Hex(iv1.data(), 16), Hex(iv2));
}

struct ArgumentCase {
    const char* name;
    int32_t (*call)(const ApplicationKeys* keys, const uint8_t* in, uint8_t* out);
};

const uint32_t kCounter = 3;

const ArgumentCase kArgumentCases[] = {
    {"iv_null_key", [](const ApplicationKeys*, const uint8_t*,
                       uint8_t* out) { return sdcpcli_derive_iv(nullptr, &kCounter, out, 16); }},
    {"iv_null_counter", [](const ApplicationKeys*, const uint8_t* in,
                           uint8_t* out) { return sdcpcli_derive_iv(in, nullptr, out, 16); }},
    {"iv_null_output", [](const ApplicationKeys*, const uint8_t* in,
                          uint8_t*) { return sdcpcli_derive_iv(in, &kCounter, nullptr, 16); }},
    {"iv_15_byte_output", [](const ApplicationKeys*, const uint8_t* in,
                             uint8_t* out) { return sdcpcli_derive_iv(in, &kCounter, out, 15); }},
    {"encrypt_null_keys",
     [](const ApplicationKeys*, const uint8_t* in, uint8_t* out) {
         return sdcpcli_encrypt(nullptr, &kCounter, in, 8, out, 16, out + 16, 64,
                                reinterpret_cast<uint64_t*>(out + 128));
     }},
    {"encrypt_null_counter",
     [](const ApplicationKeys* k, const uint8_t* in, uint8_t* out) {
         return sdcpcli_encrypt(k, nullptr, in, 8, out, 16, out + 16, 64,
                                reinterpret_cast<uint64_t*>(out + 128));
     }},
    {"encrypt_null_plaintext",
     [](const ApplicationKeys* k, const uint8_t*, uint8_t* out) {
         return sdcpcli_encrypt(k, &kCounter, nullptr, 8, out, 16, out + 16, 64,
                                reinterpret_cast<uint64_t*>(out + 128));
     }},
    {"encrypt_empty_plaintext",
     [](const ApplicationKeys* k, const uint8_t* in, uint8_t* out) {
         return sdcpcli_encrypt(k, &kCounter, in, 0, out, 16, out + 16, 64,
                                reinterpret_cast<uint64_t*>(out + 128));
     }},
    {"encrypt_null_iv",
     [](const ApplicationKeys* k, const uint8_t* in, uint8_t* out) {
         return sdcpcli_encrypt(k, &kCounter, in, 8, nullptr, 16, out + 16, 64,
                                reinterpret_cast<uint64_t*>(out + 128));
     }},
    {"encrypt_15_byte_iv",
     [](const ApplicationKeys* k, const uint8_t* in, uint8_t* out) {
         return sdcpcli_encrypt(k, &kCounter, in, 8, out, 15, out + 16, 64,
                                reinterpret_cast<uint64_t*>(out + 128));
     }},
    {"encrypt_null_ciphertext",
     [](const ApplicationKeys* k, const uint8_t* in, uint8_t* out) {
         return sdcpcli_encrypt(k, &kCounter, in, 8, out, 16, nullptr, 64,
                                reinterpret_cast<uint64_t*>(out + 128));
     }},
    {"encrypt_null_output_length",
     [](const ApplicationKeys* k, const uint8_t* in, uint8_t* out) {
         return sdcpcli_encrypt(k, &kCounter, in, 8, out, 16, out + 16, 64, nullptr);
     }},
    {"decrypt_null_keys",
     [](const ApplicationKeys*, const uint8_t* in, uint8_t* out) {
         return sdcpcli_decrypt(nullptr, in, 32, in, 16, out,
                                reinterpret_cast<uint64_t*>(out + 128));
     }},
    {"decrypt_null_ciphertext",
     [](const ApplicationKeys* k, const uint8_t* in, uint8_t* out) {
         return sdcpcli_decrypt(k, nullptr, 32, in, 16, out,
                                reinterpret_cast<uint64_t*>(out + 128));
     }},
    {"decrypt_empty_ciphertext",
     [](const ApplicationKeys* k, const uint8_t* in, uint8_t* out) {
         return sdcpcli_decrypt(k, in, 0, in, 16, out, reinterpret_cast<uint64_t*>(out + 128));
     }},
    {"decrypt_null_iv",
     [](const ApplicationKeys* k, const uint8_t* in, uint8_t* out) {
         return sdcpcli_decrypt(k, in, 32, nullptr, 16, out,
                                reinterpret_cast<uint64_t*>(out + 128));
     }},
    {"decrypt_15_byte_iv",
     [](const ApplicationKeys* k, const uint8_t* in, uint8_t* out) {
         return sdcpcli_decrypt(k, in, 32, in, 15, out, reinterpret_cast<uint64_t*>(out + 128));
     }},
    {"decrypt_null_plaintext",
     [](const ApplicationKeys* k, const uint8_t* in, uint8_t* out) {
         return sdcpcli_decrypt(k, in, 32, in, 16, nullptr, reinterpret_cast<uint64_t*>(out + 128));
     }},
    {"decrypt_null_output_length",
     [](const ApplicationKeys* k, const uint8_t* in, uint8_t* out) {
         return sdcpcli_decrypt(k, in, 32, in, 16, out, nullptr);
     }},
};

class Arguments : public ::testing::TestWithParam<ArgumentCase> {};

TEST_P(Arguments, AreRefusedWithoutWritingOutput) {
    const ApplicationKeys keys = KeysWithAesKey(FromHex(kAesKey));
    const Bytes in = Pattern(64, 0x33);
    alignas(8) uint8_t out[256];
    std::memset(out, 0xA5, sizeof(out));
    EXPECT_EQ(PSA_ERROR_INVALID_ARGUMENT, GetParam().call(&keys, in.data(), out));
    EXPECT_EQ(Bytes(256, 0xA5), Bytes(out, out + sizeof(out)));
}

INSTANTIATE_TEST_SUITE_P(Payload, Arguments, ::testing::ValuesIn(kArgumentCases),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
