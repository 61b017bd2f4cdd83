// The chip's half of the secure connection, for the round trip: its model and
// device keys, the claim it sends at a full connect, and the keys and MACs it
// derives. Built from the client's own functions, as a device using the same
// library would be, but from the device's side of each exchange.
#pragma once
#include <cstdint>

#include "sdcp/records.h"
#include "test_bytes.h"

namespace sdcp_test {

// Claim field sizes after the model certificate.
constexpr size_t kClaimTailSize = 65 + 65 + 32 + 64 + 64;

class DeviceSide {
public:
    // Makes the model and device keys, signs the device key with the model
    // key and makes the firmware key pair and signed hash over the firmware.
    DeviceSide(const Bytes& model_certificate, const Bytes& firmware);

    // The claim as the chip sends it: model certificate, device public key,
    // firmware public key, firmware hash, model signature, device signature.
    Bytes Claim() const;
    const uint8_t* ModelPublicKey() const { return model_key_.public_key; }
    const uint8_t* Nonce() const { return nonce_; }

    // Answers a full connect: keeps the application keys of this session and
    // returns the connect MAC over the digest of the claim it sent.
    Bytes Connect(const uint8_t* host_public_key, const uint8_t* host_random);
    const ApplicationKeys& Keys() const { return keys_; }

    Bytes ReconnectMac(const uint8_t* host_random) const;
    Bytes IdentifyMac(const Bytes& nonce, const Bytes& identity) const;
    Bytes EnrollMac(const Bytes& enrollment_id) const;

private:
    Bytes model_certificate_;
    P256KeyPair model_key_;
    P256KeyPair device_key_;
    P256KeyPair firmware_key_;
    SignedFirmwareHash signed_hash_;
    uint8_t model_signature_[64];
    uint8_t nonce_[32];
    ApplicationKeys keys_;
};

} // namespace sdcp_test
