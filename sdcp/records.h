// Byte records of the secure-connection crypto client. Every field is a byte
// array, so the records carry no padding and can be sent or stored as they are.
#pragma once
#include <stdint.h>

#ifdef __cplusplus
#define SDCP_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define SDCP_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

#define SDCP_PUBLIC_KEY_SIZE 65
#define SDCP_PRIVATE_KEY_SIZE 32
#define SDCP_SIGNATURE_SIZE 64
#define SDCP_DIGEST_SIZE 32
#define SDCP_MAC_SIZE 32
#define SDCP_IV_SIZE 16

#ifdef __cplusplus
extern "C" {
#endif

// P-256 key pair: uncompressed public point (0x04, X, Y), then the scalar.
typedef struct P256KeyPair {
    uint8_t public_key[SDCP_PUBLIC_KEY_SIZE];
    uint8_t private_key[SDCP_PRIVATE_KEY_SIZE];
} P256KeyPair;

// Firmware hash and the device's signature (r, s) over it.
typedef struct SignedFirmwareHash {
    uint8_t firmware_hash[SDCP_DIGEST_SIZE];
    uint8_t device_signature[SDCP_SIGNATURE_SIZE]; // r then s
} SignedFirmwareHash;

// Bytes 0 to 31 key the IV derivation and the MACs, bytes 32 to 63 are the
// AES-256 key of the payload encryption.
typedef struct ApplicationKeys {
    uint8_t mac_key[32];
    uint8_t aes_key[32];
} ApplicationKeys;

// One buffer of the list that a MAC runs over.
typedef struct MacInput {
    const void* data;
    uint64_t length;
} MacInput;

#ifdef __cplusplus
}
#endif

SDCP_STATIC_ASSERT(sizeof(P256KeyPair) == 97, "P256KeyPair is 97 bytes");
SDCP_STATIC_ASSERT(sizeof(SignedFirmwareHash) == 96, "SignedFirmwareHash is 96 bytes");
SDCP_STATIC_ASSERT(sizeof(ApplicationKeys) == 64, "ApplicationKeys is 64 bytes");
SDCP_STATIC_ASSERT(sizeof(MacInput) == 16, "MacInput is a pointer and a 64-bit count");
