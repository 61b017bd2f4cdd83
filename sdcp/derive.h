// P-256 key agreement, the counter-mode key derivation (HMAC-SHA-256) and the
// labelled MACs of the secure connection. Statuses as in keys.h, plus
// PSA_ERROR_INSUFFICIENT_MEMORY when an HMAC context cannot be allocated.
#pragma once
#include <stdint.h>

#include <mbedtls/md.h>

#include "sdcp/records.h"

// Longest derivation whose bit count still fits the 32-bit length field.
#define SDCP_KDF_MAX_OUTPUT 0x1FFFFFFFu

#ifdef __cplusplus
extern "C" {
#endif

// Wipes count bytes in a way the compiler may not drop; a null buffer or a
// count of 0 writes nothing.
void sdcpcli_zeroize(void* buffer, uint64_t count);

// The value with its four bytes reversed.
uint32_t sdcpcli_be32(uint32_t value);

// Makes context an HMAC-SHA-256 context. It may be merely initialised or
// already set up for plain SHA-256; on failure it is left freed.
int32_t sdcpcli_hmac_setup(mbedtls_md_context_t* context);

// NIST SP 800-108 counter mode: HMAC(key, i || label NUL || context || L*8).
int32_t sdcpcli_kdf(const uint8_t* key, uint64_t key_length, const char* label,
                    const uint8_t* context, uint64_t context_length, uint8_t* output,
                    uint64_t output_length);

// 32-byte shared secret of a private scalar and a peer's uncompressed point.
int32_t sdcpcli_ecdh(const uint8_t* peer_public_key, uint64_t peer_public_key_length,
                     const uint8_t* private_key, uint64_t private_key_length, uint8_t* secret);

// kdf(ECDH secret, "master secret", first[0..31] || second[0..31]).
int32_t sdcpcli_derive_master_secret(const uint8_t* peer_public_key,
                                     uint64_t peer_public_key_length, const uint8_t* private_key,
                                     uint64_t private_key_length, const uint8_t* first,
                                     uint64_t first_length, const uint8_t* second,
                                     uint64_t second_length, uint8_t* output,
                                     uint64_t output_length);

int32_t sdcpcli_derive_application_keys(const uint8_t* master_secret, uint64_t master_secret_length,
                                        ApplicationKeys* keys);

// HMAC-SHA-256(32-byte key, label NUL || each input in order).
int32_t sdcpcli_mac(const uint8_t* key, const char* label, const MacInput* inputs,
                    uint64_t input_count, uint8_t* output, uint64_t output_length);

int32_t sdcpcli_mac_connect(const uint8_t* key, const uint8_t* value, uint64_t value_length,
                            uint8_t* output, uint64_t output_length);
int32_t sdcpcli_mac_reconnect(const uint8_t* key, const uint8_t* value, uint64_t value_length,
                              uint8_t* output, uint64_t output_length);
int32_t sdcpcli_mac_sample(const uint8_t* key, const uint8_t* first, uint64_t first_length,
                           const uint8_t* second, uint64_t second_length, const uint8_t* third,
                           uint64_t third_length, uint8_t* output, uint64_t output_length);
int32_t sdcpcli_mac_identify(const uint8_t* key, const uint8_t* first, uint64_t first_length,
                             const uint8_t* second, uint64_t second_length, uint8_t* output,
                             uint64_t output_length);

// 0 when the "enroll" MAC of the data equals the first 32 expected bytes,
// PSA_ERROR_INVALID_ARGUMENT when it differs.
int32_t sdcpcli_verify_enroll_mac(const uint8_t* key, const uint8_t* data, uint64_t data_length,
                                  const uint8_t* expected_mac, uint64_t expected_mac_length);

#ifdef __cplusplus
}
#endif
