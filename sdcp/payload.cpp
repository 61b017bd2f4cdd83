#include "sdcp/payload.h"

#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include <mbedtls/cipher.h>
#include <mbedtls/platform_util.h>
#include <psa/crypto.h>

#include "sdcp/internal.h"

namespace {

constexpr size_t kBlockSize = 16;
constexpr size_t kStackBufferSize = 4096 + kBlockSize;

class Cipher {
public:
    Cipher() { mbedtls_cipher_init(&ctx_); }
    ~Cipher() { mbedtls_cipher_free(&ctx_); }
    Cipher(const Cipher&) = delete;
    Cipher& operator=(const Cipher&) = delete;

    // Without an explicit padding mode the result would hang on the
    // library's build-time default; both directions must agree on PKCS#7.
    int Setup(const ApplicationKeys* keys, mbedtls_operation_t operation) {
        int ret =
            mbedtls_cipher_setup(&ctx_, mbedtls_cipher_info_from_type(MBEDTLS_CIPHER_AES_256_CBC));
        if (ret == 0) {
            ret = mbedtls_cipher_setkey(&ctx_, keys->aes_key, 256, operation);
        }
        if (ret == 0) {
            ret = mbedtls_cipher_set_padding_mode(&ctx_, MBEDTLS_PADDING_PKCS7);
        }
        return ret;
    }
    int Crypt(const uint8_t* iv, size_t iv_length, const uint8_t* input, size_t input_length,
              uint8_t* output, size_t* output_length) {
        return mbedtls_cipher_crypt(&ctx_, iv, iv_length, input, input_length, output,
                                    output_length);
    }

private:
    mbedtls_cipher_context_t ctx_;
};

int32_t DeriveIv(const uint8_t* iv_key, uint32_t counter, uint8_t* iv) {
    static const uint8_t kLabel[3] = {'i', 'v', 0};
    uint8_t counter_bytes[4];
    sdcp::PutBe32(counter_bytes, counter);
    uint8_t mac[SDCP_MAC_SIZE];
    sdcp::Hmac hmac;
    int32_t ret = hmac.Setup();
    if (ret == 0) {
        ret = hmac.Start(iv_key, sizeof(ApplicationKeys::mac_key));
    }
    if (ret == 0) {
        ret = hmac.Update(kLabel, sizeof(kLabel));
    }
    if (ret == 0) {
        ret = hmac.Update(counter_bytes, sizeof(counter_bytes));
    }
    if (ret == 0) {
        ret = hmac.Finish(mac);
    }
    if (ret == 0) {
        std::memcpy(iv, mac, SDCP_IV_SIZE);
    }
    return ret;
}

} // namespace

extern "C" {

int32_t sdcpcli_derive_iv(const uint8_t* iv_key, const uint32_t* counter, uint8_t* iv,
                          uint64_t iv_length) {
    if (iv_key == nullptr || counter == nullptr || iv == nullptr || iv_length < SDCP_IV_SIZE) {
        return PSA_ERROR_INVALID_ARGUMENT;
    }
    return DeriveIv(iv_key, *counter, iv);
}

int32_t sdcpcli_encrypt(const ApplicationKeys* keys, const uint32_t* counter,
                        const uint8_t* plaintext, uint64_t plaintext_length, uint8_t* iv,
                        uint64_t iv_length, uint8_t* ciphertext, uint64_t ciphertext_capacity,
                        uint64_t* output_length) {
    // A length so large that the needed size wraps would otherwise pass the
    // capacity check and let the cipher write past the caller's buffer.
    if (keys == nullptr || counter == nullptr || plaintext == nullptr || plaintext_length < 1 ||
        plaintext_length > std::numeric_limits<uint64_t>::max() - kBlockSize || iv == nullptr ||
        iv_length < SDCP_IV_SIZE || ciphertext == nullptr || output_length == nullptr) {
        return PSA_ERROR_INVALID_ARGUMENT;
    }
    // PKCS#7 adds 1 to 16 bytes, so one block more than the plaintext always suffices.
    const uint64_t needed = plaintext_length + kBlockSize;
    if (ciphertext_capacity < needed) {
        *output_length = needed;
        return PSA_ERROR_BUFFER_TOO_SMALL;
    }
    Cipher cipher;
    int32_t ret = cipher.Setup(keys, MBEDTLS_ENCRYPT);
    if (ret == 0) {
        ret = DeriveIv(keys->mac_key, *counter, iv);
    }
    size_t written = 0;
    if (ret == 0) {
        ret = cipher.Crypt(iv, SDCP_IV_SIZE, plaintext, plaintext_length, ciphertext, &written);
    }
    if (ret == 0) {
        *output_length = written;
    }
    return ret;
}

int32_t sdcpcli_decrypt(const ApplicationKeys* keys, const uint8_t* ciphertext,
                        uint64_t ciphertext_length, const uint8_t* iv, uint64_t iv_length,
                        uint8_t* plaintext, uint64_t* output_length) {
    if (keys == nullptr || ciphertext == nullptr || ciphertext_length < 1 ||
        ciphertext_length > std::numeric_limits<uint64_t>::max() - kBlockSize || iv == nullptr ||
        iv_length < SDCP_IV_SIZE || plaintext == nullptr || output_length == nullptr) {
        return PSA_ERROR_INVALID_ARGUMENT;
    }
    Cipher cipher;
    int32_t ret = cipher.Setup(keys, MBEDTLS_DECRYPT);
    if (ret != 0) {
        return ret;
    }
    // The cipher layer wants room for one block beyond its input, more than
    // the caller's buffer is promised to hold, and it writes blocks before it
    // checks the padding. Decrypting into a buffer of our own keeps both
    // the overrun and a half-decrypted payload away from the caller.
    // Payloads of the size the connection sends fit a buffer on the stack; an
    // allocation for each would cost more than the cipher's own set-up.
    const size_t buffer_size = ciphertext_length + kBlockSize;
    uint8_t local[kStackBufferSize];
    std::unique_ptr<uint8_t[]> allocated;
    uint8_t* buffer = local;
    if (buffer_size > sizeof(local)) {
        allocated.reset(new (std::nothrow) uint8_t[buffer_size]);
        if (!allocated) {
            return PSA_ERROR_INSUFFICIENT_MEMORY;
        }
        buffer = allocated.get();
    }
    size_t written = 0;
    ret = cipher.Crypt(iv, iv_length, ciphertext, ciphertext_length, buffer, &written);
    if (ret == 0) {
        std::memcpy(plaintext, buffer, written);
        *output_length = written;
    }
    mbedtls_platform_zeroize(buffer, buffer_size);
    return ret;
}

} // extern "C"
