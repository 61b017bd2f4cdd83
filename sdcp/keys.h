// Random bytes, P-256 keys, the claim's digests and ECDSA signatures.
// Every function returns 0 or a negative status: PSA_ERROR_INVALID_ARGUMENT
// for a null pointer or a short length (checked before any library call),
// otherwise the failing crypto library call's own status.
#pragma once
#include <stdint.h>

#include "sdcp/records.h"

#ifdef __cplusplus
extern "C" {
#endif

// Fills 1 to 1024 bytes; a longer request fails with the generator's status.
int32_t sdcpcli_gen_rand(uint8_t* output, uint64_t output_length);

int32_t sdcpcli_keygen(P256KeyPair* key_pair);

// SHA-256 of exactly 32 bytes.
int32_t sdcpcli_hash32(const uint8_t* input, uint8_t* digest);

// SHA-256 of 0xC0 0x01, the data and all key_length bytes of the key.
int32_t sdcpcli_hash_c001(const uint8_t* data, uint64_t data_length, const uint8_t* key,
                          uint64_t key_length, uint8_t* digest, uint64_t digest_length);

// Deterministic ECDSA P-256 over a 32-byte digest; signature is r then s.
int32_t sdcpcli_sign(const uint8_t* private_key, uint64_t private_key_length, const uint8_t* digest,
                     uint8_t* signature);

// 0 when the signature verifies, PSA_ERROR_INVALID_SIGNATURE when it does not.
int32_t sdcpcli_verify(const uint8_t* public_key, uint64_t public_key_length, const uint8_t* digest,
                       uint64_t digest_length, const uint8_t* signature);

// A new firmware key pair, the firmware hash of the data and the device
// signature over sdcpcli_hash_c001(firmware hash, firmware public key).
int32_t sdcpcli_make_claim(const uint8_t* device_private_key, uint64_t device_private_key_length,
                           const uint8_t* data, uint64_t data_length, P256KeyPair* firmware_key,
                           SignedFirmwareHash* signed_hash);

// The digest of a claim in its field order; 65 bytes of each key are hashed.
int32_t sdcpcli_hash_claim(const uint8_t* model_certificate, uint64_t model_certificate_length,
                           const uint8_t* device_public_key, uint64_t device_public_key_length,
                           const uint8_t* firmware_public_key, uint64_t firmware_public_key_length,
                           const SignedFirmwareHash* signed_hash, const uint8_t* model_signature,
                           uint8_t* digest, uint64_t digest_length);

#ifdef __cplusplus
}
#endif
