#include <cstring>

#include <gtest/gtest.h>
#include <psa/crypto.h>

#include "device_side.h"
#include "sdcp/derive.h"
#include "sdcp/keys.h"
#include "sdcp/payload.h"
#include "test_bytes.h"

namespace {

using namespace sdcp_test;

// The host's reading of a claim: its fields at their offsets.
struct ClaimView {
    ClaimView(const Bytes& claim, size_t certificate_length)
        : certificate(claim.data()), certificate_length(certificate_length),
          device_public_key(certificate + certificate_length),
          firmware_public_key(device_public_key + 65),
          model_signature(firmware_public_key + 65 + 32) {
        std::memcpy(signed_hash.firmware_hash, firmware_public_key + 65, 32);
        std::memcpy(signed_hash.device_signature, model_signature + 64, 64);
    }
    const uint8_t* certificate;
    size_t certificate_length;
    const uint8_t* device_public_key;
    const uint8_t* firmware_public_key;
    const uint8_t* model_signature;
    SignedFirmwareHash signed_hash;
};

int32_t VerifyDeviceSignature(const ClaimView& claim) {
    uint8_t digest[32];
    int32_t ret = sdcpcli_hash_c001(claim.signed_hash.firmware_hash, 32, claim.firmware_public_key,
                                    65, digest, 32);
    return ret != 0 ? ret
                    : sdcpcli_verify(claim.device_public_key, 65, digest, 32,
                                     claim.signed_hash.device_signature);
}

int32_t VerifyModelSignature(const ClaimView& claim, const uint8_t* model_public_key) {
    const Bytes digest = Sha256(Bytes(claim.device_public_key, claim.device_public_key + 65));
    return sdcpcli_verify(model_public_key, 65, digest.data(), 32, claim.model_signature);
}

Bytes HostConnectMac(const ClaimView& claim, const ApplicationKeys& keys) {
    uint8_t digest[32];
    EXPECT_EQ(0, sdcpcli_hash_claim(claim.certificate, claim.certificate_length,
                                    claim.device_public_key, 65, claim.firmware_public_key, 65,
                                    &claim.signed_hash, claim.model_signature, digest, 32));
    Bytes mac(32);
    EXPECT_EQ(0, sdcpcli_mac_connect(keys.mac_key, digest, 32, mac.data(), mac.size()));
    return mac;
}

std::string KeysHex(const ApplicationKeys& keys) {
    return Hex(reinterpret_cast<const uint8_t*>(&keys), sizeof(keys));
}

class RoundTrip : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, sdcpcli_keygen(&host_key_));
        ASSERT_EQ(0, sdcpcli_gen_rand(host_random_, sizeof(host_random_)));
        device_mac_ = device_.Connect(host_key_.public_key, host_random_);
        claim_ = device_.Claim();
        ASSERT_EQ(certificate_.size() + kClaimTailSize, claim_.size());
        ClaimView view(claim_, certificate_.size());
        uint8_t master[32];
        ASSERT_EQ(0, sdcpcli_derive_master_secret(view.firmware_public_key, 65,
                                                  host_key_.private_key, 32, host_random_, 32,
                                                  device_.Nonce(), 32, master, sizeof(master)));
        ASSERT_EQ(0, sdcpcli_derive_application_keys(master, sizeof(master), &host_keys_));
    }

    const Bytes certificate_ = Pattern(807, 0x5c);
    DeviceSide device_{certificate_, Text("firmware image")};
    P256KeyPair host_key_;
    uint8_t host_random_[32];
    Bytes device_mac_;
    Bytes claim_;
    ApplicationKeys host_keys_;
};

TEST_F(RoundTrip, BothSidesAgreeOnKeysAndMacs) {
    const ClaimView view(claim_, certificate_.size());
    EXPECT_EQ(0, VerifyDeviceSignature(view));
    EXPECT_EQ(0, VerifyModelSignature(view, device_.ModelPublicKey()));

    EXPECT_EQ(KeysHex(device_.Keys()), KeysHex(host_keys_));
    EXPECT_EQ(Hex(device_mac_), Hex(HostConnectMac(view, host_keys_)));

    uint8_t random[32];
    ASSERT_EQ(0, sdcpcli_gen_rand(random, sizeof(random)));
    Bytes mac(32);
    ASSERT_EQ(0, sdcpcli_mac_reconnect(host_keys_.mac_key, random, 32, mac.data(), 32));
    EXPECT_EQ(Hex(device_.ReconnectMac(random)), Hex(mac));

    const Bytes nonce = Pattern(32, 0x61), identity = Pattern(48, 0x62);
    ASSERT_EQ(0, sdcpcli_mac_identify(host_keys_.mac_key, nonce.data(), nonce.size(),
                                      identity.data(), identity.size(), mac.data(), 32));
    EXPECT_EQ(Hex(device_.IdentifyMac(nonce, identity)), Hex(mac));

    const Bytes enrollment_id = Pattern(32, 0x63);
    const Bytes enroll_mac = device_.EnrollMac(enrollment_id);
    EXPECT_EQ(0, sdcpcli_verify_enroll_mac(host_keys_.mac_key, enrollment_id.data(),
                                           enrollment_id.size(), enroll_mac.data(), 32));
}

// The host's random comes first and the device's nonce second; the other
// order gives keys the device does not have.
TEST_F(RoundTrip, SeedOrderMatters) {
    const ClaimView view(claim_, certificate_.size());
    uint8_t master[32];
    ApplicationKeys swapped;
    ASSERT_EQ(0, sdcpcli_derive_master_secret(view.firmware_public_key, 65, host_key_.private_key,
                                              32, device_.Nonce(), 32, host_random_, 32, master,
                                              sizeof(master)));
    ASSERT_EQ(0, sdcpcli_derive_application_keys(master, sizeof(master), &swapped));
    EXPECT_NE(KeysHex(device_.Keys()), KeysHex(swapped));
}

// One changed byte in any claim field changes the claim digest, so the
// host's connect MAC no longer matches; the signatures over that field fail.
TEST_F(RoundTrip, ChangedClaimByteBreaksTheConnectMac) {
    const size_t m = certificate_.size();
    struct Field {
        const char* name;
        size_t offset;
        bool device_signature_holds;
        bool model_signature_holds;
    } fields[] = {
        {"model certificate", 100, true, true},
        {"device public key", m + 40, false, false},
        {"firmware public key", m + 65 + 40, false, true},
        {"firmware hash", m + 130 + 5, false, true},
        {"model signature", m + 162 + 10, true, false},
        {"device signature r", m + 226 + 3, false, true},
        {"device signature s", m + 258 + 31, false, true},
    };
    for (const Field& field : fields) {
        Bytes changed = claim_;
        changed[field.offset] ^= 0x01;
        const ClaimView view(changed, m);
        EXPECT_NE(Hex(device_mac_), Hex(HostConnectMac(view, host_keys_))) << field.name;
        EXPECT_EQ(field.device_signature_holds, VerifyDeviceSignature(view) == 0) << field.name;
        EXPECT_EQ(field.model_signature_holds,
                  VerifyModelSignature(view, device_.ModelPublicKey()) == 0)
            << field.name;
    }
}

TEST_F(RoundTrip, PayloadDecryptsOnTheOtherSideAndCounterChangesIv) {
    const Bytes payload = Text("template data for slot 3");
    struct Sent {
        Bytes iv = Bytes(16);
        Bytes ciphertext;
    } sent[2];
    for (uint32_t counter : {5u, 6u}) {
        Sent& s = sent[counter - 5];
        s.ciphertext.resize(payload.size() + 16);
        uint64_t length = 0;
        ASSERT_EQ(0, sdcpcli_encrypt(&host_keys_, &counter, payload.data(), payload.size(),
                                     s.iv.data(), s.iv.size(), s.ciphertext.data(),
                                     s.ciphertext.size(), &length));
        s.ciphertext.resize(length);

        Bytes received(s.ciphertext.size());
        uint64_t received_length = 0;
        ASSERT_EQ(0, sdcpcli_decrypt(&device_.Keys(), s.ciphertext.data(), s.ciphertext.size(),
                                     s.iv.data(), s.iv.size(), received.data(), &received_length));
        received.resize(received_length);
        EXPECT_EQ(payload, received) << counter;
    }
    EXPECT_NE(Hex(sent[0].iv), Hex(sent[1].iv));
    EXPECT_NE(Hex(sent[0].ciphertext), Hex(sent[1].ciphertext));
}

} // namespace
