#include "device_side.h"

#include <stdexcept>

#include "sdcp/derive.h"
#include "sdcp/keys.h"

namespace sdcp_test {

namespace {

void Check(int32_t status, const char* what) {
    if (status != 0) {
        throw std::runtime_error(std::string(what) + " failed: " + std::to_string(status));
    }
}

Bytes MacOf(const ApplicationKeys& keys, const char* label, std::initializer_list<Bytes> parts) {
    std::vector<MacInput> inputs;
    for (const Bytes& part : parts) {
        inputs.push_back({part.data(), part.size()});
    }
    Bytes mac(32);
    Check(sdcpcli_mac(keys.mac_key, label, inputs.data(), inputs.size(), mac.data(), mac.size()),
          label);
    return mac;
}

} // namespace

DeviceSide::DeviceSide(const Bytes& model_certificate, const Bytes& firmware)
    : model_certificate_(model_certificate) {
    Check(sdcpcli_keygen(&model_key_), "model keygen");
    Check(sdcpcli_keygen(&device_key_), "device keygen");
    const Bytes device_key_digest =
        Sha256(Bytes(device_key_.public_key, device_key_.public_key + 65));
    Check(sdcpcli_sign(model_key_.private_key, 32, device_key_digest.data(), model_signature_),
          "model signature");
    Check(sdcpcli_make_claim(device_key_.private_key, 32, firmware.data(), firmware.size(),
                             &firmware_key_, &signed_hash_),
          "claim");
    Check(sdcpcli_gen_rand(nonce_, sizeof(nonce_)), "nonce");
}

Bytes DeviceSide::Claim() const {
    const uint8_t* hash = signed_hash_.firmware_hash;
    return Concat({model_certificate_, Bytes(device_key_.public_key, device_key_.public_key + 65),
                   Bytes(firmware_key_.public_key, firmware_key_.public_key + 65),
                   Bytes(hash, hash + 32), Bytes(model_signature_, model_signature_ + 64),
                   Bytes(signed_hash_.device_signature, signed_hash_.device_signature + 64)});
}

Bytes DeviceSide::Connect(const uint8_t* host_public_key, const uint8_t* host_random) {
    uint8_t master[32];
    // The device agrees with its firmware key, the one its claim announces.
    Check(sdcpcli_derive_master_secret(host_public_key, 65, firmware_key_.private_key, 32,
                                       host_random, 32, nonce_, 32, master, sizeof(master)),
          "device master secret");
    Check(sdcpcli_derive_application_keys(master, sizeof(master), &keys_),
          "device application keys");
    sdcpcli_zeroize(master, sizeof(master));
    // The device hashes the claim bytes as it sent them.
    return MacOf(keys_, "connect", {Sha256(Claim())});
}

Bytes DeviceSide::ReconnectMac(const uint8_t* host_random) const {
    return MacOf(keys_, "reconnect", {Bytes(host_random, host_random + 32)});
}

Bytes DeviceSide::IdentifyMac(const Bytes& nonce, const Bytes& identity) const {
    return MacOf(keys_, "identify", {nonce, identity});
}

Bytes DeviceSide::EnrollMac(const Bytes& enrollment_id) const {
    return MacOf(keys_, "enroll", {enrollment_id});
}

} // namespace sdcp_test
