#include <cstring>

#include <gtest/gtest.h>
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/ecp.h>
#include <psa/crypto.h>

#include "sdcp/keys.h"
#include "test_bytes.h"

namespace {

using namespace sdcp_test;

// RFC 6979 A.2.5: the P-256 key and its SHA-256 signatures.
const char* const kRfc6979PrivateKey =
    "c9afa9d845ba75166b5c215767b1d6934e50c3db36e89b127b8a622b120f6721";
const char* const kRfc6979PublicKey =
    "04"
    "60fed4ba255a9d31c961eb74c6356d68c049b8923b61fa6ce669622e60f29fb6"
    "7903fe1008b8bc99a41ae9e95628bc64f2f1b20c2d7e9f5177a3c294d4462299";

struct SignatureVector {
    const char* name;
    const char* digest; // SHA-256 of the message
    const char* r;
    const char* s;
};

const SignatureVector kRfc6979Vectors[] = {
    {"sample", "af2bdbe1aa9b6ec1e2ade1d694f41fc71a831d0268e9891562113d8a62add1bf",
     "efd48b2aacb6a8fd1140dd9cd45e81d69d2c877b56aaf991c34d0ea84eaf3716",
     "f7cb1c942d657c41d436c7a1b6e29f65f3e900dbb9aff4064dc4ab2f843acda8"},
    {"test", "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08",
     "f1abb023518351cd71d881567b1ea663ed3efcf6c5132b354f28d3b0b7d38367",
     "019f4113742a2b14bd25926b49c649155f267e60d3814b4c0cc84250e46f0083"},
};

class Rfc6979 : public ::testing::TestWithParam<SignatureVector> {};

TEST_P(Rfc6979, SignsByteExactAndVerifies) {
    const SignatureVector& v = GetParam();
    const Bytes key = FromHex(kRfc6979PrivateKey);
    const Bytes public_key = FromHex(kRfc6979PublicKey);
    const Bytes digest = FromHex(v.digest);
    const Bytes expected = FromHex(std::string(v.r) + v.s);

    Bytes signature(64);
    ASSERT_EQ(0, sdcpcli_sign(key.data(), key.size(), digest.data(), signature.data()));
    EXPECT_EQ(Hex(expected), Hex(signature));
    EXPECT_EQ(0, sdcpcli_verify(public_key.data(), public_key.size(), digest.data(), digest.size(),
                                expected.data()));

    // One flipped bit in r, in s or in the digest must not verify.
    for (size_t bit : {0u, 255u, 256u, 511u}) {
        Bytes bad = expected;
        bad[bit / 8] ^= static_cast<uint8_t>(0x80 >> (bit % 8));
        EXPECT_EQ(PSA_ERROR_INVALID_SIGNATURE,
                  sdcpcli_verify(public_key.data(), public_key.size(), digest.data(), digest.size(),
                                 bad.data()))
            << "signature bit " << bit;
    }
    Bytes other_digest = digest;
    other_digest[31] ^= 1;
    EXPECT_EQ(PSA_ERROR_INVALID_SIGNATURE,
              sdcpcli_verify(public_key.data(), public_key.size(), other_digest.data(),
                             other_digest.size(), expected.data()));
}

INSTANTIATE_TEST_SUITE_P(Vectors, Rfc6979, ::testing::ValuesIn(kRfc6979Vectors),
                         [](const auto& info) { return std::string(info.param.name); });

// Keys and signatures that must be refused, each with the status a caller
// sees. A bad signature is the PSA status; a bad key is the library's own.
TEST(Verify, RefusesMalformedKeysAndSignatures) {
    const Bytes digest = FromHex(kRfc6979Vectors[0].digest);
    const Bytes good = FromHex(std::string(kRfc6979Vectors[0].r) + kRfc6979Vectors[0].s);
    const Bytes n = FromHex("ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551");
    Bytes long_key = FromHex(kRfc6979PublicKey);
    long_key.push_back(0);
    Bytes off_curve = FromHex(kRfc6979PublicKey);
    off_curve[64] ^= 1;
    Bytes compressed = FromHex(kRfc6979PublicKey);
    compressed[0] = 0x02;
    Bytes point_at_infinity(65, 0);

    struct Case {
        const char* what;
        Bytes key;
        Bytes signature;
        int32_t status;
    } cases[] = {
        {"66-byte key", long_key, good, MBEDTLS_ERR_ECP_BAD_INPUT_DATA},
        {"point off the curve", off_curve, good, MBEDTLS_ERR_ECP_INVALID_KEY},
        {"compressed prefix", compressed, good, MBEDTLS_ERR_ECP_FEATURE_UNAVAILABLE},
        {"zero point of 65 bytes", point_at_infinity, good, MBEDTLS_ERR_ECP_BAD_INPUT_DATA},
        {"r = 0", FromHex(kRfc6979PublicKey),
         Concat({Bytes(32, 0), Bytes(good.begin() + 32, good.end())}), PSA_ERROR_INVALID_SIGNATURE},
        {"s = group order", FromHex(kRfc6979PublicKey),
         Concat({Bytes(good.begin(), good.begin() + 32), n}), PSA_ERROR_INVALID_SIGNATURE},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.status, sdcpcli_verify(c.key.data(), c.key.size(), digest.data(), digest.size(),
                                           c.signature.data()))
            << c.what;
    }
}

TEST(Keygen, MakesFreshUsableKeyPairs) {
    P256KeyPair first, second;
    ASSERT_EQ(0, sdcpcli_keygen(&first));
    ASSERT_EQ(0, sdcpcli_keygen(&second));
    EXPECT_EQ(0x04, first.public_key[0]);
    EXPECT_NE(Hex(first.private_key, 32), Hex(second.private_key, 32));

    const Bytes digest = Sha256(Text("keygen"));
    uint8_t signature[64];
    ASSERT_EQ(0, sdcpcli_sign(first.private_key, 32, digest.data(), signature));
    EXPECT_EQ(0, sdcpcli_verify(first.public_key, 65, digest.data(), 32, signature));
    EXPECT_EQ(PSA_ERROR_INVALID_SIGNATURE,
              sdcpcli_verify(second.public_key, 65, digest.data(), 32, signature));
}

TEST(GenRand, HonoursTheGeneratorLimit) {
    struct Case {
        uint64_t length;
        int32_t status;
    } cases[] = {{1, 0}, {1024, 0}, {1025, MBEDTLS_ERR_CTR_DRBG_REQUEST_TOO_BIG}};
    for (const Case& c : cases) {
        Bytes out(c.length, 0);
        EXPECT_EQ(c.status, sdcpcli_gen_rand(out.data(), out.size())) << c.length;
    }
    Bytes a(32, 0), b(32, 0);
    ASSERT_EQ(0, sdcpcli_gen_rand(a.data(), a.size()));
    ASSERT_EQ(0, sdcpcli_gen_rand(b.data(), b.size()));
    EXPECT_NE(a, b);
    EXPECT_NE(Bytes(32, 0), a);
}

// The digests are SHA-256 over the exact byte sequence of each layout; the
// reference hashes that sequence laid out in one buffer.
TEST(Digests, HashTheirLayoutsExactly) {
    const Bytes data = Pattern(40, 1);
    const Bytes key66 = Pattern(66, 2);
    const Bytes key65(key66.begin(), key66.begin() + 65);
    uint8_t digest[32];

    ASSERT_EQ(0, sdcpcli_hash32(data.data(), digest));
    EXPECT_EQ(Hex(Sha256(Bytes(data.begin(), data.begin() + 32))), Hex(digest, 32));

    const Bytes prefix = {0xC0, 0x01};
    ASSERT_EQ(0, sdcpcli_hash_c001(data.data(), data.size(), key65.data(), 65, digest, 32));
    EXPECT_EQ(Hex(Sha256(Concat({prefix, data, key65}))), Hex(digest, 32));
    // A longer key is hashed whole here.
    ASSERT_EQ(0, sdcpcli_hash_c001(data.data(), data.size(), key66.data(), 66, digest, 32));
    EXPECT_EQ(Hex(Sha256(Concat({prefix, data, key66}))), Hex(digest, 32));

    SignedFirmwareHash signed_hash;
    const Bytes hash_and_signature = Pattern(sizeof(signed_hash), 3);
    std::memcpy(&signed_hash, hash_and_signature.data(), sizeof(signed_hash));
    const Bytes certificate = Pattern(807, 4);
    const Bytes device_key = Pattern(66, 5);
    const Bytes model_signature = Pattern(64, 6);
    const Bytes claim =
        Concat({certificate, Bytes(device_key.begin(), device_key.begin() + 65), key65,
                Bytes(hash_and_signature.begin(), hash_and_signature.begin() + 32), model_signature,
                Bytes(hash_and_signature.begin() + 32, hash_and_signature.end())});
    // The claim digest takes 65 bytes of each key whatever length is given.
    for (uint64_t key_length : {65u, 66u}) {
        ASSERT_EQ(0, sdcpcli_hash_claim(certificate.data(), certificate.size(), device_key.data(),
                                        key_length, key66.data(), key_length, &signed_hash,
                                        model_signature.data(), digest, 32));
        EXPECT_EQ(Hex(Sha256(claim)), Hex(digest, 32)) << key_length;
    }
}

TEST(MakeClaim, HashesTheFirmwareAndSignsWithTheDeviceKey) {
    const Bytes device_key = FromHex(kRfc6979PrivateKey);
    const Bytes device_public_key = FromHex(kRfc6979PublicKey);
    const Bytes firmware = Text("abc");
    P256KeyPair firmware_key;
    SignedFirmwareHash signed_hash;
    ASSERT_EQ(0, sdcpcli_make_claim(device_key.data(), device_key.size(), firmware.data(),
                                    firmware.size(), &firmware_key, &signed_hash));

    // FIPS 180-2 example: SHA-256("abc").
    EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
              Hex(signed_hash.firmware_hash, 32));
    EXPECT_EQ(0x04, firmware_key.public_key[0]);

    uint8_t digest[32];
    ASSERT_EQ(0, sdcpcli_hash_c001(signed_hash.firmware_hash, 32, firmware_key.public_key, 65,
                                   digest, 32));
    EXPECT_EQ(0, sdcpcli_verify(device_public_key.data(), device_public_key.size(), digest, 32,
                                signed_hash.device_signature));

    // The new firmware key pair is itself a working pair.
    uint8_t signature[64];
    ASSERT_EQ(0, sdcpcli_sign(firmware_key.private_key, 32, digest, signature));
    EXPECT_EQ(0, sdcpcli_verify(firmware_key.public_key, 65, digest, 32, signature));
}

TEST(MakeClaim, RefusesAMissingOrShortDeviceKey) {
    const Bytes firmware = Text("abc");
    const Bytes short_key(31, 0x11);
    P256KeyPair firmware_key;
    SignedFirmwareHash signed_hash;
    EXPECT_EQ(PSA_ERROR_INVALID_ARGUMENT,
              sdcpcli_make_claim(nullptr, 32, firmware.data(), firmware.size(), &firmware_key,
                                 &signed_hash));
    EXPECT_EQ(PSA_ERROR_INVALID_ARGUMENT,
              sdcpcli_make_claim(short_key.data(), short_key.size(), firmware.data(),
                                 firmware.size(), &firmware_key, &signed_hash));
}

// Each row passes one null pointer or one short length; the call must refuse
// it before touching the library or any output.
struct ArgumentCase {
    const char* name;
    int32_t (*call)(const uint8_t* in, uint8_t* out);
};

const ArgumentCase kArgumentCases[] = {
    {"gen_rand_null", [](const uint8_t*, uint8_t*) { return sdcpcli_gen_rand(nullptr, 8); }},
    {"gen_rand_zero", [](const uint8_t*, uint8_t* out) { return sdcpcli_gen_rand(out, 0); }},
    {"keygen_null", [](const uint8_t*, uint8_t*) { return sdcpcli_keygen(nullptr); }},
    {"hash32_null_input",
     [](const uint8_t*, uint8_t* out) { return sdcpcli_hash32(nullptr, out); }},
    {"hash32_null_digest", [](const uint8_t* in, uint8_t*) { return sdcpcli_hash32(in, nullptr); }},
    {"hash_c001_null_data",
     [](const uint8_t* in, uint8_t* out) {
         return sdcpcli_hash_c001(nullptr, 4, in, 65, out, 32);
     }},
    {"hash_c001_zero_data",
     [](const uint8_t* in, uint8_t* out) { return sdcpcli_hash_c001(in, 0, in, 65, out, 32); }},
    {"hash_c001_null_key",
     [](const uint8_t* in, uint8_t* out) {
         return sdcpcli_hash_c001(in, 4, nullptr, 65, out, 32);
     }},
    {"hash_c001_short_key",
     [](const uint8_t* in, uint8_t* out) { return sdcpcli_hash_c001(in, 4, in, 64, out, 32); }},
    {"hash_c001_short_digest",
     [](const uint8_t* in, uint8_t* out) { return sdcpcli_hash_c001(in, 4, in, 65, out, 31); }},
    {"sign_null_key",
     [](const uint8_t* in, uint8_t* out) { return sdcpcli_sign(nullptr, 32, in, out); }},
    {"sign_short_key",
     [](const uint8_t* in, uint8_t* out) { return sdcpcli_sign(in, 31, in, out); }},
    {"sign_null_digest",
     [](const uint8_t* in, uint8_t* out) { return sdcpcli_sign(in, 32, nullptr, out); }},
    {"sign_null_signature",
     [](const uint8_t* in, uint8_t*) { return sdcpcli_sign(in, 32, in, nullptr); }},
    {"verify_null_key",
     [](const uint8_t* in, uint8_t*) { return sdcpcli_verify(nullptr, 65, in, 32, in); }},
    {"verify_64_byte_key",
     [](const uint8_t* in, uint8_t*) { return sdcpcli_verify(in, 64, in, 32, in); }},
    {"verify_null_digest",
     [](const uint8_t* in, uint8_t*) { return sdcpcli_verify(in, 65, nullptr, 32, in); }},
    {"verify_short_digest",
     [](const uint8_t* in, uint8_t*) { return sdcpcli_verify(in, 65, in, 31, in); }},
    {"verify_null_signature",
     [](const uint8_t* in, uint8_t*) { return sdcpcli_verify(in, 65, in, 32, nullptr); }},
    {"make_claim_null_data",
     [](const uint8_t* in, uint8_t* out) {
         return sdcpcli_make_claim(in, 32, nullptr, 4, reinterpret_cast<P256KeyPair*>(out),
                                   reinterpret_cast<SignedFirmwareHash*>(out + 128));
     }},
    {"make_claim_zero_data",
     [](const uint8_t* in, uint8_t* out) {
         return sdcpcli_make_claim(in, 32, in, 0, reinterpret_cast<P256KeyPair*>(out),
                                   reinterpret_cast<SignedFirmwareHash*>(out + 128));
     }},
    {"make_claim_null_key_pair",
     [](const uint8_t* in, uint8_t* out) {
         return sdcpcli_make_claim(in, 32, in, 4, nullptr,
                                   reinterpret_cast<SignedFirmwareHash*>(out + 128));
     }},
    {"make_claim_null_signed_hash",
     [](const uint8_t* in, uint8_t* out) {
         return sdcpcli_make_claim(in, 32, in, 4, reinterpret_cast<P256KeyPair*>(out), nullptr);
     }},
    {"hash_claim_null_certificate",
     [](const uint8_t* in, uint8_t* out) {
         return sdcpcli_hash_claim(nullptr, 8, in, 65, in, 65,
                                   reinterpret_cast<const SignedFirmwareHash*>(in), in, out, 32);
     }},
    {"hash_claim_empty_certificate",
     [](const uint8_t* in, uint8_t* out) {
         return sdcpcli_hash_claim(in, 0, in, 65, in, 65,
                                   reinterpret_cast<const SignedFirmwareHash*>(in), in, out, 32);
     }},
    {"hash_claim_short_device_key",
     [](const uint8_t* in, uint8_t* out) {
         return sdcpcli_hash_claim(in, 8, in, 64, in, 65,
                                   reinterpret_cast<const SignedFirmwareHash*>(in), in, out, 32);
     }},
    {"hash_claim_short_firmware_key",
     [](const uint8_t* in, uint8_t* out) {
         return sdcpcli_hash_claim(in, 8, in, 65, in, 64,
                                   reinterpret_cast<const SignedFirmwareHash*>(in), in, out, 32);
     }},
    {"hash_claim_null_signed_hash",
     [](const uint8_t* in, uint8_t* out) {
         return sdcpcli_hash_claim(in, 8, in, 65, in, 65, nullptr, in, out, 32);
     }},
    {"hash_claim_null_model_signature",
     [](const uint8_t* in, uint8_t* out) {
         return sdcpcli_hash_claim(in, 8, in, 65, in, 65,
                                   reinterpret_cast<const SignedFirmwareHash*>(in), nullptr, out,
                                   32);
     }},
    {"hash_claim_short_digest",
     [](const uint8_t* in, uint8_t* out) {
         return sdcpcli_hash_claim(in, 8, in, 65, in, 65,
                                   reinterpret_cast<const SignedFirmwareHash*>(in), in, out, 31);
     }},
};

class Arguments : public ::testing::TestWithParam<ArgumentCase> {};

TEST_P(Arguments, AreRefusedWithoutWritingOutput) {
    // A valid scalar, so that a missing check would let a call run on.
    const Bytes in = Concat({FromHex(kRfc6979PrivateKey), Bytes(224, 0x11)});
    Bytes out(256, 0xA5);
    EXPECT_EQ(PSA_ERROR_INVALID_ARGUMENT, GetParam().call(in.data(), out.data()));
    EXPECT_EQ(Bytes(256, 0xA5), out);
}

INSTANTIATE_TEST_SUITE_P(Keys, Arguments, ::testing::ValuesIn(kArgumentCases),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
