// AES-256-CBC payload encryption with PKCS#7 padding under ApplicationKeys,
// IVs derived from a message counter.
#pragma once
#include <stdint.h>

#include "sdcp/records.h"

#ifdef __cplusplus
extern "C" {
#endif

// First 16 bytes of HMAC-SHA-256(iv_key, "iv" NUL || big-endian counter).
int32_t sdcpcli_derive_iv(const uint8_t* iv_key, const uint32_t* counter, uint8_t* iv,
                          uint64_t iv_length);

// The ciphertext needs plaintext_length + 16 bytes; a smaller capacity gives
// PSA_ERROR_BUFFER_TOO_SMALL with that size in *output_length. The IV used is
// written to iv for the caller to send along.
int32_t sdcpcli_encrypt(const ApplicationKeys* keys, const uint32_t* counter,
                        const uint8_t* plaintext, uint64_t plaintext_length, uint8_t* iv,
                        uint64_t iv_length, uint8_t* ciphertext, uint64_t ciphertext_capacity,
                        uint64_t* output_length);

// plaintext must hold ciphertext_length bytes. Nothing is written to it when
// the padding or any library call fails.
int32_t sdcpcli_decrypt(const ApplicationKeys* keys, const uint8_t* ciphertext,
                        uint64_t ciphertext_length, const uint8_t* iv, uint64_t iv_length,
                        uint8_t* plaintext, uint64_t* output_length);

#ifdef __cplusplus
}
#endif
