// Helpers shared by the crypto client's sources: scoped library contexts, so
// that every return path frees what a call set up, and byte-order helpers.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/md.h>
#include <psa/crypto.h>

#include "sdcp/derive.h"

namespace sdcp {

// The length checks compare 64-bit counts; the library takes size_t.
static_assert(sizeof(size_t) >= sizeof(uint64_t), "lengths are passed on as size_t");

// A CTR_DRBG seeded from the platform entropy source for one call.
class Drbg {
public:
    Drbg() {
        mbedtls_ctr_drbg_init(&drbg_);
        mbedtls_entropy_init(&entropy_);
    }
    ~Drbg() {
        mbedtls_entropy_free(&entropy_);
        mbedtls_ctr_drbg_free(&drbg_);
    }
    Drbg(const Drbg&) = delete;
    Drbg& operator=(const Drbg&) = delete;

    // The personalisation string enters with its terminating NUL.
    int Seed(const char* personalisation) {
        return mbedtls_ctr_drbg_seed(&drbg_, mbedtls_entropy_func, &entropy_,
                                     reinterpret_cast<const unsigned char*>(personalisation),
                                     std::strlen(personalisation) + 1);
    }
    mbedtls_ctr_drbg_context* get() { return &drbg_; }

private:
    mbedtls_ctr_drbg_context drbg_;
    mbedtls_entropy_context entropy_;
};

constexpr const char* kRandPersonalisation = "sdcpcli_gen_rand";
constexpr const char* kKeygenPersonalisation = "sdcpcli_keygen";

// An HMAC-SHA-256 context; mbedtls_md_free wipes the key pads it holds.
class Hmac {
public:
    Hmac() { mbedtls_md_init(&ctx_); }
    ~Hmac() { mbedtls_md_free(&ctx_); }
    Hmac(const Hmac&) = delete;
    Hmac& operator=(const Hmac&) = delete;

    int32_t Setup() { return sdcpcli_hmac_setup(&ctx_); }
    int Start(const uint8_t* key, size_t length) {
        return mbedtls_md_hmac_starts(&ctx_, key, length);
    }
    int Update(const void* data, size_t length) {
        return mbedtls_md_hmac_update(&ctx_, static_cast<const unsigned char*>(data), length);
    }
    int Finish(uint8_t* mac) { return mbedtls_md_hmac_finish(&ctx_, mac); }
    int Reset() { return mbedtls_md_hmac_reset(&ctx_); }

private:
    mbedtls_md_context_t ctx_;
};

// Writes the value big-endian whatever the host's byte order.
inline void PutBe32(uint8_t out[4], uint32_t value) {
    out[0] = static_cast<uint8_t>(value >> 24);
    out[1] = static_cast<uint8_t>(value >> 16);
    out[2] = static_cast<uint8_t>(value >> 8);
    out[3] = static_cast<uint8_t>(value);
}

// Compares MACs in time independent of where they differ, so that a forger
// cannot find a valid MAC byte by byte from response times.
inline bool EqualInConstantTime(const uint8_t* a, const uint8_t* b, size_t length) {
    const volatile uint8_t* x = a;
    const volatile uint8_t* y = b;
    uint8_t diff = 0;
    for (size_t i = 0; i < length; ++i) {
        diff |= static_cast<uint8_t>(x[i] ^ y[i]);
    }
    return diff == 0;
}

// Feeds a label with its terminating NUL, as every labelled HMAC does.
inline int UpdateLabel(Hmac& hmac, const char* label) {
    return hmac.Update(label, std::strlen(label) + 1);
}

} // namespace sdcp
