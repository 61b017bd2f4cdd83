#include "sdcp/derive.h"

#include <cstring>
#include <mutex>

#include <mbedtls/ecp.h>
#include <mbedtls/platform_util.h>
#include <psa/crypto.h>

#include "sdcp/internal.h"

namespace {

constexpr const char* kMasterSecretLabel = "master secret";
constexpr const char* kApplicationKeysLabel = "application keys";
constexpr size_t kHmacKeySize = 32;
constexpr size_t kSharedSecretSize = 32;
constexpr size_t kSeedValueSize = 32;

// The PSA key store of Mbed TLS 2.28 has no locking of its own: two threads
// importing or destroying keys at once can take the same slot.
std::mutex& PsaKeyStoreMutex() {
    static std::mutex mutex;
    return mutex;
}

int32_t Kdf(const uint8_t* key, size_t key_length, const char* label, const uint8_t* context,
            size_t context_length, uint8_t* output, size_t output_length) {
    if (output_length == 0) {
        return 0;
    }
    const uint32_t blocks = static_cast<uint32_t>((output_length + 31) / 32);
    uint8_t length_field[4];
    sdcp::PutBe32(length_field, static_cast<uint32_t>(output_length * 8));

    sdcp::Hmac hmac;
    int32_t ret = hmac.Setup();
    if (ret == 0) {
        ret = hmac.Start(key, key_length);
    }
    uint8_t block[32];
    for (uint32_t i = 1; ret == 0 && i <= blocks; ++i) {
        uint8_t counter[4];
        sdcp::PutBe32(counter, i);
        ret = hmac.Update(counter, sizeof(counter));
        if (ret == 0) {
            ret = sdcp::UpdateLabel(hmac, label);
        }
        if (ret == 0 && context_length != 0) {
            ret = hmac.Update(context, context_length);
        }
        if (ret == 0) {
            ret = hmac.Update(length_field, sizeof(length_field));
        }
        if (ret == 0) {
            ret = hmac.Finish(block);
        }
        if (ret == 0) {
            ret = hmac.Reset();
        }
        if (ret == 0) {
            const size_t offset = size_t{32} * (i - 1);
            const size_t take = output_length - offset < 32 ? output_length - offset : 32;
            std::memcpy(output + offset, block, take);
        }
    }
    mbedtls_platform_zeroize(block, sizeof(block));
    return ret;
}

int32_t Ecdh(const uint8_t* peer_public_key, size_t peer_public_key_length,
             const uint8_t* private_key, size_t private_key_length, uint8_t* secret) {
    std::lock_guard<std::mutex> lock(PsaKeyStoreMutex());
    if (psa_crypto_init() != PSA_SUCCESS) {
        return PSA_ERROR_NOT_SUPPORTED;
    }
    psa_key_attributes_t attributes = PSA_KEY_ATTRIBUTES_INIT;
    psa_set_key_type(&attributes, PSA_KEY_TYPE_ECC_KEY_PAIR(PSA_ECC_FAMILY_SECP_R1));
    psa_set_key_bits(&attributes, 256);
    psa_set_key_usage_flags(&attributes, PSA_KEY_USAGE_DERIVE);
    psa_set_key_algorithm(&attributes, PSA_ALG_ECDH);
    psa_set_key_lifetime(&attributes, PSA_KEY_LIFETIME_VOLATILE);

    mbedtls_svc_key_id_t key = MBEDTLS_SVC_KEY_ID_INIT;
    if (psa_import_key(&attributes, private_key, private_key_length, &key) != PSA_SUCCESS) {
        psa_reset_key_attributes(&attributes);
        return MBEDTLS_ERR_ECP_INVALID_KEY;
    }
    size_t secret_length = 0;
    const psa_status_t agreed =
        psa_raw_key_agreement(PSA_ALG_ECDH, key, peer_public_key, peer_public_key_length, secret,
                              kSharedSecretSize, &secret_length);
    psa_destroy_key(key);
    psa_reset_key_attributes(&attributes);
    if (agreed != PSA_SUCCESS) {
        return PSA_ERROR_INVALID_SIGNATURE;
    }
    if (secret_length != kSharedSecretSize) {
        return MBEDTLS_ERR_ECP_INVALID_KEY;
    }
    return 0;
}

int32_t Mac(const uint8_t* key, const char* label, const MacInput* inputs, size_t input_count,
            uint8_t* output) {
    sdcp::Hmac hmac;
    int32_t ret = hmac.Setup();
    if (ret == 0) {
        ret = hmac.Start(key, kHmacKeySize);
    }
    if (ret == 0) {
        ret = sdcp::UpdateLabel(hmac, label);
    }
    for (size_t i = 0; ret == 0 && i < input_count; ++i) {
        if (inputs[i].length != 0) {
            ret = hmac.Update(inputs[i].data, inputs[i].length);
        }
    }
    if (ret == 0) {
        ret = hmac.Finish(output);
    }
    return ret;
}

bool ValidInputs(const MacInput* inputs, uint64_t input_count) {
    if (inputs == nullptr) {
        return input_count == 0;
    }
    for (uint64_t i = 0; i < input_count; ++i) {
        if (inputs[i].data == nullptr && inputs[i].length != 0) {
            return false;
        }
    }
    return true;
}

bool ValidOutput(const uint8_t* output, uint64_t output_length) {
    return output != nullptr && output_length >= SDCP_MAC_SIZE;
}

int32_t MacOfValue(const uint8_t* key, const char* label, const uint8_t* value,
                   uint64_t value_length, uint8_t* output, uint64_t output_length) {
    if (key == nullptr || value == nullptr || value_length < 32 ||
        !ValidOutput(output, output_length)) {
        return PSA_ERROR_INVALID_ARGUMENT;
    }
    const MacInput input = {value, 32};
    return Mac(key, label, &input, 1, output);
}

} // namespace

extern "C" {

void sdcpcli_zeroize(void* buffer, uint64_t count) {
    if (buffer != nullptr && count != 0) {
        mbedtls_platform_zeroize(buffer, count);
    }
}

uint32_t sdcpcli_be32(uint32_t value) {
    return (value >> 24) | ((value >> 8) & 0x0000FF00u) | ((value << 8) & 0x00FF0000u) |
           (value << 24);
}

int32_t sdcpcli_hmac_setup(mbedtls_md_context_t* context) {
    if (context == nullptr) {
        return PSA_ERROR_INVALID_ARGUMENT;
    }
    // A context set up for plain SHA-256 has no room for the HMAC pads.
    // Setting it up again through the library allocates them the library's
    // way instead of writing into its private fields.
    mbedtls_md_free(context);
    mbedtls_md_init(context);
    const int ret = mbedtls_md_setup(context, mbedtls_md_info_from_type(MBEDTLS_MD_SHA256), 1);
    if (ret != 0) {
        mbedtls_md_free(context);
        return ret == MBEDTLS_ERR_MD_ALLOC_FAILED ? PSA_ERROR_INSUFFICIENT_MEMORY : ret;
    }
    return 0;
}

int32_t sdcpcli_kdf(const uint8_t* key, uint64_t key_length, const char* label,
                    const uint8_t* context, uint64_t context_length, uint8_t* output,
                    uint64_t output_length) {
    if (key == nullptr || key_length < kHmacKeySize || label == nullptr ||
        (context == nullptr && context_length != 0) || output == nullptr ||
        output_length > SDCP_KDF_MAX_OUTPUT) {
        return PSA_ERROR_INVALID_ARGUMENT;
    }
    return Kdf(key, key_length, label, context, context_length, output, output_length);
}

int32_t sdcpcli_ecdh(const uint8_t* peer_public_key, uint64_t peer_public_key_length,
                     const uint8_t* private_key, uint64_t private_key_length, uint8_t* secret) {
    if (peer_public_key == nullptr || peer_public_key_length < SDCP_PUBLIC_KEY_SIZE ||
        private_key == nullptr || private_key_length < SDCP_PRIVATE_KEY_SIZE || secret == nullptr) {
        return PSA_ERROR_INVALID_ARGUMENT;
    }
    return Ecdh(peer_public_key, peer_public_key_length, private_key, private_key_length, secret);
}

int32_t sdcpcli_derive_master_secret(const uint8_t* peer_public_key,
                                     uint64_t peer_public_key_length, const uint8_t* private_key,
                                     uint64_t private_key_length, const uint8_t* first,
                                     uint64_t first_length, const uint8_t* second,
                                     uint64_t second_length, uint8_t* output,
                                     uint64_t output_length) {
    if (first == nullptr || first_length < kSeedValueSize || second == nullptr ||
        second_length < kSeedValueSize) {
        return PSA_ERROR_INVALID_ARGUMENT;
    }
    uint8_t context[2 * kSeedValueSize];
    std::memcpy(context, first, kSeedValueSize);
    std::memcpy(context + kSeedValueSize, second, kSeedValueSize);
    uint8_t secret[kSharedSecretSize] = {};

    int32_t ret = PSA_ERROR_INVALID_ARGUMENT;
    if (peer_public_key != nullptr && peer_public_key_length >= SDCP_PUBLIC_KEY_SIZE &&
        private_key != nullptr && private_key_length >= SDCP_PRIVATE_KEY_SIZE) {
        ret =
            Ecdh(peer_public_key, peer_public_key_length, private_key, private_key_length, secret);
        if (ret == 0) {
            ret = output != nullptr && output_length <= SDCP_KDF_MAX_OUTPUT
                      ? Kdf(secret, sizeof(secret), kMasterSecretLabel, context, sizeof(context),
                            output, output_length)
                      : PSA_ERROR_INVALID_ARGUMENT;
        }
    }
    mbedtls_platform_zeroize(context, sizeof(context));
    mbedtls_platform_zeroize(secret, sizeof(secret));
    return ret;
}

int32_t sdcpcli_derive_application_keys(const uint8_t* master_secret, uint64_t master_secret_length,
                                        ApplicationKeys* keys) {
    if (master_secret == nullptr || master_secret_length < kHmacKeySize || keys == nullptr) {
        return PSA_ERROR_INVALID_ARGUMENT;
    }
    return Kdf(master_secret, master_secret_length, kApplicationKeysLabel, nullptr, 0,
               reinterpret_cast<uint8_t*>(keys), sizeof(*keys));
}

int32_t sdcpcli_mac(const uint8_t* key, const char* label, const MacInput* inputs,
                    uint64_t input_count, uint8_t* output, uint64_t output_length) {
    if (key == nullptr || label == nullptr || !ValidInputs(inputs, input_count) ||
        !ValidOutput(output, output_length)) {
        return PSA_ERROR_INVALID_ARGUMENT;
    }
    return Mac(key, label, inputs, input_count, output);
}

int32_t sdcpcli_mac_connect(const uint8_t* key, const uint8_t* value, uint64_t value_length,
                            uint8_t* output, uint64_t output_length) {
    return MacOfValue(key, "connect", value, value_length, output, output_length);
}

int32_t sdcpcli_mac_reconnect(const uint8_t* key, const uint8_t* value, uint64_t value_length,
                              uint8_t* output, uint64_t output_length) {
    return MacOfValue(key, "reconnect", value, value_length, output, output_length);
}

int32_t sdcpcli_mac_sample(const uint8_t* key, const uint8_t* first, uint64_t first_length,
                           const uint8_t* second, uint64_t second_length, const uint8_t* third,
                           uint64_t third_length, uint8_t* output, uint64_t output_length) {
    if (key == nullptr || first == nullptr || first_length < 1 || second == nullptr ||
        second_length < 16 || third == nullptr || third_length < 1 ||
        !ValidOutput(output, output_length)) {
        return PSA_ERROR_INVALID_ARGUMENT;
    }
    const MacInput inputs[] = {{first, first_length}, {second, 16}, {third, third_length}};
    return Mac(key, "sample", inputs, 3, output);
}

int32_t sdcpcli_mac_identify(const uint8_t* key, const uint8_t* first, uint64_t first_length,
                             const uint8_t* second, uint64_t second_length, uint8_t* output,
                             uint64_t output_length) {
    if (key == nullptr || first == nullptr || first_length < 1 || second == nullptr ||
        second_length < 1 || !ValidOutput(output, output_length)) {
        return PSA_ERROR_INVALID_ARGUMENT;
    }
    const MacInput inputs[] = {{first, first_length}, {second, second_length}};
    return Mac(key, "identify", inputs, 2, output);
}

int32_t sdcpcli_verify_enroll_mac(const uint8_t* key, const uint8_t* data, uint64_t data_length,
                                  const uint8_t* expected_mac, uint64_t expected_mac_length) {
    if (key == nullptr || data == nullptr || data_length < 1 || expected_mac == nullptr ||
        expected_mac_length < SDCP_MAC_SIZE) {
        return PSA_ERROR_INVALID_ARGUMENT;
    }
    const MacInput input = {data, data_length};
    uint8_t mac[SDCP_MAC_SIZE];
    int32_t ret = Mac(key, "enroll", &input, 1, mac);
    if (ret == 0 && !sdcp::EqualInConstantTime(mac, expected_mac, sizeof(mac))) {
        ret = PSA_ERROR_INVALID_ARGUMENT;
    }
    mbedtls_platform_zeroize(mac, sizeof(mac));
    return ret;
}

} // extern "C"
