#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <mbedtls/ecp.h>
#include <psa/crypto.h>

#include "sdcp/derive.h"
#include "test_bytes.h"

namespace {

using namespace sdcp_test;

// RFC 4231, HMAC-SHA-256 results of test cases 1 to 4, 6 and 7 (case 5 is a
// truncated result and adds nothing here).
struct HmacVector {
    const char* name;
    Bytes key;
    Bytes data;
    const char* mac;
};

const HmacVector kRfc4231[] = {
    {"case1", Bytes(20, 0x0b), Text("Hi There"),
     "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
    {"case2", Text("Jefe"), Text("what do ya want for nothing?"),
     "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
    {"case3", Bytes(20, 0xaa), Bytes(50, 0xdd),
     "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
    {"case4", FromHex("0102030405060708090a0b0c0d0e0f10111213141516171819"), Bytes(50, 0xcd),
     "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
    {"case6", Bytes(131, 0xaa), Text("Test Using Larger Than Block-Size Key - Hash Key First"),
     "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
    {"case7", Bytes(131, 0xaa),
     Text("This is a test using a larger than block-size key and a larger than block-size "
          "data. The key needs to be hashed before being used by the HMAC algorithm."),
     "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
};

class Rfc4231 : public ::testing::TestWithParam<HmacVector> {};

// The helper must turn both a plain SHA-256 context (how the callers set it
// up) and a merely initialised one into a working HMAC context, without
// leaking the plain digest state (checked by the sanitizer and valgrind runs).
TEST_P(Rfc4231, HmacSetupGivesAWorkingHmac) {
    const HmacVector& v = GetParam();
    for (bool plain_setup_first : {true, false}) {
        mbedtls_md_context_t ctx;
        mbedtls_md_init(&ctx);
        if (plain_setup_first) {
            ASSERT_EQ(0, mbedtls_md_setup(&ctx, mbedtls_md_info_from_type(MBEDTLS_MD_SHA256), 0));
        }
        ASSERT_EQ(0, sdcpcli_hmac_setup(&ctx));
        uint8_t mac[32];
        ASSERT_EQ(0, mbedtls_md_hmac_starts(&ctx, v.key.data(), v.key.size()));
        ASSERT_EQ(0, mbedtls_md_hmac_update(&ctx, v.data.data(), v.data.size()));
        ASSERT_EQ(0, mbedtls_md_hmac_finish(&ctx, mac));
        mbedtls_md_free(&ctx);
        EXPECT_EQ(v.mac, Hex(mac, 32)) << (plain_setup_first ? "plain context" : "initialised");
    }
}

INSTANTIATE_TEST_SUITE_P(Vectors, Rfc4231, ::testing::ValuesIn(kRfc4231),
                         [](const auto& info) { return std::string(info.param.name); });

struct KdfCase {
    const char* name;
    size_t key_length;
    const char* label;
    size_t context_length; // 0: null context
    uint32_t output_length;
};

const KdfCase kKdfCases[] = {
    {"one_block", 32, "label", 0, 32},
    {"block_and_a_part", 32, "label", 0, 40}, // length field 320 in both blocks
    {"one_byte", 32, "x", 7, 1},
    {"long_key_with_context", 48, "master secret", 64, 33},
    {"empty_label", 32, "", 5, 96},
    {"nothing", 32, "label", 0, 0},
};

class Kdf : public ::testing::TestWithParam<KdfCase> {};

TEST_P(Kdf, MatchesCounterModeDefinition) {
    const KdfCase& c = GetParam();
    const Bytes key = Pattern(c.key_length, 9);
    const Bytes context = Pattern(c.context_length, 3);
    Bytes out(c.output_length + 8, 0xA5);
    ASSERT_EQ(0, sdcpcli_kdf(key.data(), key.size(), c.label,
                             c.context_length ? context.data() : nullptr, context.size(),
                             out.data(), c.output_length));
    const Bytes expected = ReferenceKdf(key, c.label, context, c.output_length);
    EXPECT_EQ(Hex(expected), Hex(out.data(), c.output_length));
    EXPECT_EQ(Bytes(8, 0xA5), Bytes(out.begin() + c.output_length, out.end()))
        << "wrote past the output length";
}

INSTANTIATE_TEST_SUITE_P(Cases, Kdf, ::testing::ValuesIn(kKdfCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Kdf, LengthFieldIsTheBitCountBigEndian) {
    // Block 2 of a 40-byte derivation, written out byte by byte.
    const Bytes key = Pattern(32, 9);
    const Bytes message = FromHex("00000002"
                                  "6c6162656c00" // "label" NUL
                                  "00000140");   // 40 * 8 = 320
    uint8_t out[40];
    ASSERT_EQ(0, sdcpcli_kdf(key.data(), key.size(), "label", nullptr, 0, out, sizeof(out)));
    EXPECT_EQ(Hex(HmacSha256(key, message)).substr(0, 16), Hex(out + 32, 8));
}

TEST(DeriveApplicationKeys, IsTheKdfWithItsLabel) {
    const Bytes master = Pattern(32, 4);
    ApplicationKeys keys;
    ASSERT_EQ(0, sdcpcli_derive_application_keys(master.data(), master.size(), &keys));
    EXPECT_EQ(Hex(ReferenceKdf(master, "application keys", {}, 64)),
              Hex(reinterpret_cast<const uint8_t*>(&keys), sizeof(keys)));
}

// NIST CAVP ECC CDH primitive test vectors, P-256, COUNT = 0.
const char* const kPeerPublicKey =
    "04"
    "700c48f77f56584c5cc632ca65640db91b6bacce3a4df6b42ce7cc838833d287"
    "db71e509e3fd9b060ddb20ba5c51dcc5948d46fbf640dfe0441782cab85fa4ac";
const char* const kPrivateKey = "7d7dc5f71eb29ddaf80d6214632eeae03d9058af1fb6d22ed80badb62bc1a534";
const char* const kSharedSecret =
    "46fc62106420ff012e54a434fbdd2d25ccc5852060561e68040dd7778997bd7b";

TEST(Ecdh, MatchesCavpVector) {
    const Bytes peer = FromHex(kPeerPublicKey);
    const Bytes key = FromHex(kPrivateKey);
    uint8_t secret[32];
    ASSERT_EQ(0, sdcpcli_ecdh(peer.data(), peer.size(), key.data(), key.size(), secret));
    EXPECT_EQ(kSharedSecret, Hex(secret, 32));
}

// Faulty keys fail with the fixed statuses: a key that does not import is
// the library's invalid-key code, a peer point that does not agree the
// signature status. The master secret passes the same statuses on.
TEST(Ecdh, RefusesBadKeys) {
    const Bytes peer = FromHex(kPeerPublicKey);
    const Bytes key = FromHex(kPrivateKey);
    Bytes off_curve = peer;
    off_curve[64] ^= 1;
    Bytes bad_prefix = peer;
    bad_prefix[0] = 0x05;
    Bytes long_peer = peer;
    long_peer.push_back(0);
    const Bytes order = FromHex("ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551");

    struct Case {
        const char* what;
        Bytes peer;
        Bytes key;
        int32_t status;
    } cases[] = {
        {"33-byte private key", peer, Concat({Bytes{0}, key}), MBEDTLS_ERR_ECP_INVALID_KEY},
        {"zero private key", peer, Bytes(32, 0), MBEDTLS_ERR_ECP_INVALID_KEY},
        {"private key = group order", peer, order, MBEDTLS_ERR_ECP_INVALID_KEY},
        {"peer point off the curve", off_curve, key, PSA_ERROR_INVALID_SIGNATURE},
        {"peer point with a bad prefix", bad_prefix, key, PSA_ERROR_INVALID_SIGNATURE},
        {"66-byte peer key", long_peer, key, PSA_ERROR_INVALID_SIGNATURE},
    };
    const Bytes random = Pattern(32, 1);
    for (const Case& c : cases) {
        uint8_t secret[32];
        EXPECT_EQ(c.status,
                  sdcpcli_ecdh(c.peer.data(), c.peer.size(), c.key.data(), c.key.size(), secret))
            << c.what;
        uint8_t master[32];
        EXPECT_EQ(c.status, sdcpcli_derive_master_secret(c.peer.data(), c.peer.size(), c.key.data(),
                                                         c.key.size(), random.data(), 32,
                                                         random.data(), 32, master, 32))
            << c.what;
    }
}

// The PSA key store is shared by the whole process; agreements on several
// threads at once must neither fail nor mix up their keys.
TEST(Ecdh, AgreesOnManyThreadsAtOnce) {
    const Bytes peer = FromHex(kPeerPublicKey);
    const Bytes key = FromHex(kPrivateKey);
    std::vector<int> failures(8, 0);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < failures.size(); ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i) {
                uint8_t secret[32] = {};
                if (sdcpcli_ecdh(peer.data(), peer.size(), key.data(), key.size(), secret) != 0 ||
                    Hex(secret, 32) != kSharedSecret) {
                    ++failures[t];
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(std::vector<int>(8, 0), failures);
}

TEST(DeriveMasterSecret, IsTheKdfOverTheSharedSecretAndBothValues) {
    const Bytes peer = FromHex(kPeerPublicKey);
    const Bytes key = FromHex(kPrivateKey);
    const Bytes first = Pattern(40, 1); // only its first 32 bytes count
    const Bytes second = Pattern(32, 2);
    uint8_t master[32];
    ASSERT_EQ(0, sdcpcli_derive_master_secret(peer.data(), peer.size(), key.data(), key.size(),
                                              first.data(), first.size(), second.data(),
                                              second.size(), master, sizeof(master)));
    const Bytes context = Concat({Bytes(first.begin(), first.begin() + 32), second});
    EXPECT_EQ(Hex(ReferenceKdf(FromHex(kSharedSecret), "master secret", context, 32)),
              Hex(master, 32));
}

// Each labelled MAC against HMAC(key, label NUL || the bytes it must cover).
TEST(Macs, CoverTheirLabelAndBuffers) {
    const Bytes key = Pattern(32, 7);
    const Bytes a = Pattern(40, 1), b = Pattern(20, 2), c = Pattern(3, 3);
    const Bytes a32(a.begin(), a.begin() + 32), b16(b.begin(), b.begin() + 16);
    uint8_t mac[32];

    ASSERT_EQ(0, sdcpcli_mac_connect(key.data(), a.data(), a.size(), mac, 32));
    EXPECT_EQ(Hex(HmacSha256(key, Concat({Label("connect"), a32}))), Hex(mac, 32));

    ASSERT_EQ(0, sdcpcli_mac_reconnect(key.data(), a.data(), a.size(), mac, 32));
    EXPECT_EQ(Hex(HmacSha256(key, Concat({Label("reconnect"), a32}))), Hex(mac, 32));

    ASSERT_EQ(0, sdcpcli_mac_sample(key.data(), a.data(), a.size(), b.data(), b.size(), c.data(),
                                    c.size(), mac, 32));
    EXPECT_EQ(Hex(HmacSha256(key, Concat({Label("sample"), a, b16, c}))), Hex(mac, 32));

    ASSERT_EQ(0, sdcpcli_mac_identify(key.data(), a.data(), a.size(), c.data(), c.size(), mac, 32));
    EXPECT_EQ(Hex(HmacSha256(key, Concat({Label("identify"), a, c}))), Hex(mac, 32));

    // An empty element feeds nothing; a list of none feeds the label alone.
    const MacInput inputs[] = {{a.data(), a.size()}, {nullptr, 0}, {c.data(), c.size()}};
    ASSERT_EQ(0, sdcpcli_mac(key.data(), "x", inputs, 3, mac, 32));
    EXPECT_EQ(Hex(HmacSha256(key, Concat({Label("x"), a, c}))), Hex(mac, 32));
    ASSERT_EQ(0, sdcpcli_mac(key.data(), "x", nullptr, 0, mac, 32));
    EXPECT_EQ(Hex(HmacSha256(key, Label("x"))), Hex(mac, 32));
}

TEST(VerifyEnrollMac, AcceptsOnlyTheExactMac) {
    const Bytes key = Pattern(32, 7);
    const Bytes data = Pattern(21, 5);
    const Bytes mac = HmacSha256(key, Concat({Label("enroll"), data}));
    EXPECT_EQ(0, sdcpcli_verify_enroll_mac(key.data(), data.data(), data.size(), mac.data(), 32));
    // Bytes past the first 32 of the expected MAC are not compared.
    const Bytes longer = Concat({mac, Bytes(8, 0xEE)});
    EXPECT_EQ(0, sdcpcli_verify_enroll_mac(key.data(), data.data(), data.size(), longer.data(),
                                           longer.size()));
    for (size_t index : {0u, 31u}) {
        Bytes bad = mac;
        bad[index] ^= 1;
        EXPECT_EQ(PSA_ERROR_INVALID_ARGUMENT,
                  sdcpcli_verify_enroll_mac(key.data(), data.data(), data.size(), bad.data(), 32))
            << "byte " << index;
    }
}

TEST(Support, ZeroizeAndBe32) {
    Bytes buffer(8, 0xA5);
    sdcpcli_zeroize(buffer.data(), 0);
    EXPECT_EQ(Bytes(8, 0xA5), buffer);
    sdcpcli_zeroize(buffer.data(), 5);
    EXPECT_EQ((Bytes{0, 0, 0, 0, 0, 0xA5, 0xA5, 0xA5}), buffer);
    sdcpcli_zeroize(nullptr, 5);

    EXPECT_EQ(0x04030201u, sdcpcli_be32(0x01020304u));
    const uint32_t be = sdcpcli_be32(320);
    uint8_t bytes[4];
    std::memcpy(bytes, &be, 4);
    EXPECT_EQ("00000140", Hex(bytes, 4)); // on this little-endian host
}

struct ArgumentCase {
    const char* name;
    int32_t (*call)(const uint8_t* in, uint8_t* out);
};

// Inputs a missing check would happily use: a valid private scalar and peer
// point (the CAVP pair) at the front of "in".
const ArgumentCase kArgumentCases[] = {
    {"hmac_setup_null", [](const uint8_t*, uint8_t*) { return sdcpcli_hmac_setup(nullptr); }},
    {"kdf_null_key",
     [](const uint8_t* in, uint8_t* out) { return sdcpcli_kdf(nullptr, 32, "l", in, 4, out, 32); }},
    {"kdf_31_byte_key",
     [](const uint8_t* in, uint8_t* out) { return sdcpcli_kdf(in, 31, "l", in, 4, out, 32); }},
    {"kdf_null_label",
     [](const uint8_t* in, uint8_t* out) { return sdcpcli_kdf(in, 32, nullptr, in, 4, out, 32); }},
    {"kdf_null_context_with_length",
     [](const uint8_t* in, uint8_t* out) { return sdcpcli_kdf(in, 32, "l", nullptr, 5, out, 32); }},
    {"kdf_null_output",
     [](const uint8_t* in, uint8_t*) { return sdcpcli_kdf(in, 32, "l", in, 4, nullptr, 32); }},
    {"kdf_output_too_long",
     [](const uint8_t* in, uint8_t* out) {
         return sdcpcli_kdf(in, 32, "l", in, 4, out, uint64_t{SDCP_KDF_MAX_OUTPUT} + 1);
     }},
    {"ecdh_null_peer",
     [](const uint8_t* in, uint8_t* out) { return sdcpcli_ecdh(nullptr, 65, in + 65, 32, out); }},
    {"ecdh_short_peer",
     [](const uint8_t* in, uint8_t* out) { return sdcpcli_ecdh(in, 64, in + 65, 32, out); }},
    {"ecdh_null_private",
     [](const uint8_t* in, uint8_t* out) { return sdcpcli_ecdh(in, 65, nullptr, 32, out); }},
    {"ecdh_short_private",
     [](const uint8_t* in, uint8_t* out) { return sdcpcli_ecdh(in, 65, in + 65, 31, out); }},
    {"ecdh_null_secret",
     [](const uint8_t* in, uint8_t*) { return sdcpcli_ecdh(in, 65, in + 65, 32, nullptr); }},
    {"master_null_first",
     [](const uint8_t* in, uint8_t* out) {
         return sdcpcli_derive_master_secret(in, 65, in + 65, 32, nullptr, 32, in, 32, out, 32);
     }},
    {"master_short_first",
     [](const uint8_t* in, uint8_t* out) {
         return sdcpcli_derive_master_secret(in, 65, in + 65, 32, in, 31, in, 32, out, 32);
     }},
    {"master_null_second",
     [](const uint8_t* in, uint8_t* out) {
         return sdcpcli_derive_master_secret(in, 65, in + 65, 32, in, 32, nullptr, 32, out, 32);
     }},
    {"master_short_second",
     [](const uint8_t* in, uint8_t* out) {
         return sdcpcli_derive_master_secret(in, 65, in + 65, 32, in, 32, in, 31, out, 32);
     }},
    {"master_null_peer",
     [](const uint8_t* in, uint8_t* out) {
         return sdcpcli_derive_master_secret(nullptr, 65, in + 65, 32, in, 32, in, 32, out, 32);
     }},
    {"master_short_peer",
     [](const uint8_t* in, uint8_t* out) {
         return sdcpcli_derive_master_secret(in, 64, in + 65, 32, in, 32, in, 32, out, 32);
     }},
    {"master_short_private",
     [](const uint8_t* in, uint8_t* out) {
         return sdcpcli_derive_master_secret(in, 65, in + 65, 31, in, 32, in, 32, out, 32);
     }},
    {"master_null_output",
     [](const uint8_t* in, uint8_t*) {
         return sdcpcli_derive_master_secret(in, 65, in + 65, 32, in, 32, in, 32, nullptr, 32);
     }},
    {"master_output_too_long",
     [](const uint8_t* in, uint8_t* out) {
         return sdcpcli_derive_master_secret(in, 65, in + 65, 32, in, 32, in, 32, out,
                                             uint64_t{SDCP_KDF_MAX_OUTPUT} + 1);
     }},
    {"application_keys_null_master",
     [](const uint8_t*, uint8_t* out) {
         return sdcpcli_derive_application_keys(nullptr, 32,
                                                reinterpret_cast<ApplicationKeys*>(out));
     }},
    {"application_keys_short_master",
     [](const uint8_t* in, uint8_t* out) {
         return sdcpcli_derive_application_keys(in, 31, reinterpret_cast<ApplicationKeys*>(out));
     }},
    {"application_keys_null_output",
     [](const uint8_t* in, uint8_t*) { return sdcpcli_derive_application_keys(in, 32, nullptr); }},
    {"mac_null_key",
     [](const uint8_t*, uint8_t* out) { return sdcpcli_mac(nullptr, "l", nullptr, 0, out, 32); }},
    {"mac_null_label",
     [](const uint8_t* in, uint8_t* out) { return sdcpcli_mac(in, nullptr, nullptr, 0, out, 32); }},
    {"mac_null_list_with_count",
     [](const uint8_t* in, uint8_t* out) { return sdcpcli_mac(in, "l", nullptr, 1, out, 32); }},
    {"mac_null_element_with_length",
     [](const uint8_t* in, uint8_t* out) {
         const MacInput inputs[] = {{in, 4}, {nullptr, 1}};
         return sdcpcli_mac(in, "l", inputs, 2, out, 32);
     }},
    {"mac_null_output",
     [](const uint8_t* in, uint8_t*) { return sdcpcli_mac(in, "l", nullptr, 0, nullptr, 32); }},
    {"mac_short_output",
     [](const uint8_t* in, uint8_t* out) { return sdcpcli_mac(in, "l", nullptr, 0, out, 31); }},
    {"connect_short_value",
     [](const uint8_t* in, uint8_t* out) { return sdcpcli_mac_connect(in, in, 31, out, 32); }},
    {"connect_null_value",
     [](const uint8_t* in, uint8_t* out) { return sdcpcli_mac_connect(in, nullptr, 32, out, 32); }},
    {"connect_short_output",
     [](const uint8_t* in, uint8_t* out) { return sdcpcli_mac_connect(in, in, 32, out, 31); }},
    {"reconnect_null_key",
     [](const uint8_t* in, uint8_t* out) {
         return sdcpcli_mac_reconnect(nullptr, in, 32, out, 32);
     }},
    {"reconnect_short_value",
     [](const uint8_t* in, uint8_t* out) { return sdcpcli_mac_reconnect(in, in, 31, out, 32); }},
    {"sample_empty_first",
     [](const uint8_t* in, uint8_t* out) {
         return sdcpcli_mac_sample(in, in, 0, in, 16, in, 1, out, 32);
     }},
    {"sample_15_byte_second",
     [](const uint8_t* in, uint8_t* out) {
         return sdcpcli_mac_sample(in, in, 1, in, 15, in, 1, out, 32);
     }},
    {"sample_null_third",
     [](const uint8_t* in, uint8_t* out) {
         return sdcpcli_mac_sample(in, in, 1, in, 16, nullptr, 1, out, 32);
     }},
    {"sample_short_output",
     [](const uint8_t* in, uint8_t* out) {
         return sdcpcli_mac_sample(in, in, 1, in, 16, in, 1, out, 31);
     }},
    {"identify_null_first",
     [](const uint8_t* in, uint8_t* out) {
         return sdcpcli_mac_identify(in, nullptr, 1, in, 1, out, 32);
     }},
    {"identify_empty_second",
     [](const uint8_t* in, uint8_t* out) {
         return sdcpcli_mac_identify(in, in, 1, in, 0, out, 32);
     }},
    {"enroll_null_key",
     [](const uint8_t* in, uint8_t*) { return sdcpcli_verify_enroll_mac(nullptr, in, 1, in, 32); }},
    {"enroll_empty_data",
     [](const uint8_t* in, uint8_t*) { return sdcpcli_verify_enroll_mac(in, in, 0, in, 32); }},
    {"enroll_short_expected",
     [](const uint8_t* in, uint8_t*) { return sdcpcli_verify_enroll_mac(in, in, 1, in, 31); }},
};

class Arguments : public ::testing::TestWithParam<ArgumentCase> {};

TEST_P(Arguments, AreRefusedWithoutWritingOutput) {
    const Bytes in = Concat({FromHex(kPeerPublicKey), FromHex(kPrivateKey), Bytes(159, 0x11)});
    Bytes out(256, 0xA5);
    EXPECT_EQ(PSA_ERROR_INVALID_ARGUMENT, GetParam().call(in.data(), out.data()));
    EXPECT_EQ(Bytes(256, 0xA5), out);
}

INSTANTIATE_TEST_SUITE_P(Derive, Arguments, ::testing::ValuesIn(kArgumentCases),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
