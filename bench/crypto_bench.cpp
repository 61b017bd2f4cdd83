// The crypto client's calls, each beside the Mbed TLS calls it makes, made
// straight in the same order on the same inputs: what remains between the two
// is the client's own work (argument checks, scoped contexts, copies). Where
// each pair is registered, its comment says what its baseline does and why
// that is the least the call must do.
//
// These pairs call the client linked into the benchmark itself (moc_sdcp),
// not the one inside the loaded TolviMocAdapter: the adapter library carries
// the client but does not export it, so there is nothing to look it up by.
#include <cstring>
#include <memory>
#include <string>
#include <vector>
#include <mbedtls/cipher.h>
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/ecdsa.h>
#include <mbedtls/ecp.h>
#include <mbedtls/entropy.h>
#include <mbedtls/md.h>
#include <mbedtls/platform_util.h>
#include <psa/crypto.h>
#include "bench/pairs.h"
#include "sdcp/derive.h"
#include "sdcp/keys.h"
#include "sdcp/payload.h"

namespace {

constexpr size_t kPayloadSize = 1024;

// Inputs made once with the client itself.
struct Inputs {
    P256KeyPair own{}, peer{};
    uint8_t digest[SDCP_DIGEST_SIZE] = {};
    uint8_t signature[SDCP_SIGNATURE_SIZE] = {};
    uint8_t master[32] = {};
    ApplicationKeys keys{};
    uint8_t nonce[32] = {};
    uint8_t identity[33] = {};
    uint8_t plaintext[kPayloadSize] = {};
    uint8_t iv[SDCP_IV_SIZE] = {};
    std::vector<uint8_t> ciphertext;
    uint32_t counter = 7;
    bool ok = false;

    Inputs() {
        for (size_t i = 0; i < sizeof(plaintext); ++i)
            plaintext[i] = static_cast<uint8_t>(i * 31);
        for (size_t i = 0; i < sizeof(digest); ++i) {
            digest[i] = static_cast<uint8_t>(i + 1);
            master[i] = static_cast<uint8_t>(0x80 + i);
            nonce[i] = static_cast<uint8_t>(0x40 + i);
        }
        std::memset(identity, 0x21, sizeof(identity));
        ciphertext.resize(kPayloadSize + 16);
        uint64_t written = 0;
        ok = sdcpcli_keygen(&own) == 0 && sdcpcli_keygen(&peer) == 0 &&
             sdcpcli_sign(own.private_key, 32, digest, signature) == 0 &&
             sdcpcli_derive_application_keys(master, sizeof(master), &keys) == 0 &&
             sdcpcli_encrypt(&keys, &counter, plaintext, sizeof(plaintext), iv, sizeof(iv),
                             ciphertext.data(), ciphertext.size(), &written) == 0;
        ciphertext.resize(written);
    }
};

const Inputs& In() {
    static const Inputs inputs;
    return inputs;
}

using Call = int (*)();

class CryptoCase : public moc_bench::PairCase {
public:
    CryptoCase(Call ours, Call raw) : ours_(ours), raw_(raw) {}
    bool Ours(std::string* why) override { return Check(ours_(), "the client's call", why); }
    bool Raw(std::string* why) override { return Check(raw_(), "the library calls", why); }

private:
    static bool Check(int status, const char* what, std::string* why) {
        if (status == 0)
            return true;
        *why = std::string(what) + " failed with " + std::to_string(status);
        return false;
    }
    Call ours_, raw_;
};

// Calls of a few microseconds are timed in batches; those of a millisecond one by one.
void Pair(const char* name, Call ours, Call raw, int batch) {
    moc_bench::RegisterPair(
        name,
        [ours, raw](std::string* why) -> std::unique_ptr<moc_bench::PairCase> {
            if (!In().ok) {
                *why = "the inputs could not be made";
                return nullptr;
            }
            return std::make_unique<CryptoCase>(ours, raw);
        },
        moc_bench::PairOptions{batch, batch > 1 ? 200 : 20, 30});
}

uint8_t g_out[kPayloadSize + 32];

// ---------------------------------------------------------------------------
// The library calls of each client function
// ---------------------------------------------------------------------------

int RawKeyAgreement() {
    if (psa_crypto_init() != PSA_SUCCESS)
        return -1;
    psa_key_attributes_t attributes = PSA_KEY_ATTRIBUTES_INIT;
    psa_set_key_type(&attributes, PSA_KEY_TYPE_ECC_KEY_PAIR(PSA_ECC_FAMILY_SECP_R1));
    psa_set_key_bits(&attributes, 256);
    psa_set_key_usage_flags(&attributes, PSA_KEY_USAGE_DERIVE);
    psa_set_key_algorithm(&attributes, PSA_ALG_ECDH);
    psa_set_key_lifetime(&attributes, PSA_KEY_LIFETIME_VOLATILE);
    mbedtls_svc_key_id_t key = MBEDTLS_SVC_KEY_ID_INIT;
    if (psa_import_key(&attributes, In().own.private_key, 32, &key) != PSA_SUCCESS)
        return -1;
    size_t length = 0;
    psa_status_t status = psa_raw_key_agreement(PSA_ALG_ECDH, key, In().peer.public_key,
                                                SDCP_PUBLIC_KEY_SIZE, g_out, 32, &length);
    psa_destroy_key(key);
    psa_reset_key_attributes(&attributes);
    return status == PSA_SUCCESS && length == 32 ? 0 : -1;
}

int RawSign() {
    mbedtls_ecp_group group;
    mbedtls_mpi d, r, s;
    mbedtls_ecp_group_init(&group);
    mbedtls_mpi_init(&d);
    mbedtls_mpi_init(&r);
    mbedtls_mpi_init(&s);
    int ret = mbedtls_ecp_group_load(&group, MBEDTLS_ECP_DP_SECP256R1);
    if (ret == 0)
        ret = mbedtls_mpi_read_binary(&d, In().own.private_key, 32);
    if (ret == 0)
        ret = mbedtls_ecp_check_privkey(&group, &d);
    mbedtls_ctr_drbg_context drbg;
    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_init(&drbg);
    mbedtls_entropy_init(&entropy);
    static const char kPersonalisation[] = "sdcpcli_keygen";
    if (ret == 0)
        ret = mbedtls_ctr_drbg_seed(&drbg, mbedtls_entropy_func, &entropy,
                                    reinterpret_cast<const unsigned char*>(kPersonalisation),
                                    sizeof(kPersonalisation));
    if (ret == 0)
        ret = mbedtls_ecdsa_sign_det_ext(&group, &r, &s, &d, In().digest, SDCP_DIGEST_SIZE,
                                         MBEDTLS_MD_SHA256, mbedtls_ctr_drbg_random, &drbg);
    if (ret == 0)
        ret = mbedtls_mpi_write_binary(&r, g_out, 32);
    if (ret == 0)
        ret = mbedtls_mpi_write_binary(&s, g_out + 32, 32);
    mbedtls_entropy_free(&entropy);
    mbedtls_ctr_drbg_free(&drbg);
    mbedtls_mpi_free(&s);
    mbedtls_mpi_free(&r);
    mbedtls_mpi_free(&d);
    mbedtls_ecp_group_free(&group);
    return ret;
}

int RawVerify() {
    mbedtls_ecp_group group;
    mbedtls_ecp_point q;
    mbedtls_mpi r, s;
    mbedtls_ecp_group_init(&group);
    mbedtls_ecp_point_init(&q);
    mbedtls_mpi_init(&r);
    mbedtls_mpi_init(&s);
    int ret = mbedtls_ecp_group_load(&group, MBEDTLS_ECP_DP_SECP256R1);
    if (ret == 0)
        ret = mbedtls_ecp_point_read_binary(&group, &q, In().own.public_key, SDCP_PUBLIC_KEY_SIZE);
    if (ret == 0)
        ret = mbedtls_ecp_check_pubkey(&group, &q);
    if (ret == 0)
        ret = mbedtls_mpi_read_binary(&r, In().signature, 32);
    if (ret == 0)
        ret = mbedtls_mpi_read_binary(&s, In().signature + 32, 32);
    if (ret == 0)
        ret = mbedtls_ecdsa_verify(&group, In().digest, SDCP_DIGEST_SIZE, &q, &r, &s);
    mbedtls_mpi_free(&s);
    mbedtls_mpi_free(&r);
    mbedtls_ecp_point_free(&q);
    mbedtls_ecp_group_free(&group);
    return ret;
}

int HmacSetup(mbedtls_md_context_t* context) {
    mbedtls_md_init(context);
    return mbedtls_md_setup(context, mbedtls_md_info_from_type(MBEDTLS_MD_SHA256), 1);
}

// The counter-mode derivation of the 64 application-key bytes: two HMAC blocks.
int RawKeyDerivation() {
    static const char kLabel[] = "application keys";
    mbedtls_md_context_t context;
    int ret = HmacSetup(&context);
    if (ret == 0)
        ret = mbedtls_md_hmac_starts(&context, In().master, sizeof(In().master));
    const uint8_t length[4] = {0, 0, 2, 0}; // 512 bits, big-endian
    uint8_t block[32];
    for (uint8_t i = 1; ret == 0 && i <= 2; ++i) {
        const uint8_t counter[4] = {0, 0, 0, i};
        ret = mbedtls_md_hmac_update(&context, counter, sizeof(counter));
        if (ret == 0)
            ret = mbedtls_md_hmac_update(&context, reinterpret_cast<const unsigned char*>(kLabel),
                                         sizeof(kLabel));
        if (ret == 0)
            ret = mbedtls_md_hmac_update(&context, length, sizeof(length));
        if (ret == 0)
            ret = mbedtls_md_hmac_finish(&context, block);
        if (ret == 0)
            ret = mbedtls_md_hmac_reset(&context);
        if (ret == 0)
            std::memcpy(g_out + 32 * (i - 1), block, sizeof(block));
    }
    mbedtls_platform_zeroize(block, sizeof(block));
    mbedtls_md_free(&context);
    return ret;
}

int RawMac() {
    static const char kLabel[] = "identify";
    mbedtls_md_context_t context;
    int ret = HmacSetup(&context);
    if (ret == 0)
        ret = mbedtls_md_hmac_starts(&context, In().keys.mac_key, sizeof(In().keys.mac_key));
    if (ret == 0)
        ret = mbedtls_md_hmac_update(&context, reinterpret_cast<const unsigned char*>(kLabel),
                                     sizeof(kLabel));
    if (ret == 0)
        ret = mbedtls_md_hmac_update(&context, In().nonce, sizeof(In().nonce));
    if (ret == 0)
        ret = mbedtls_md_hmac_update(&context, In().identity, sizeof(In().identity));
    if (ret == 0)
        ret = mbedtls_md_hmac_finish(&context, g_out);
    mbedtls_md_free(&context);
    return ret;
}

int CipherSetup(mbedtls_cipher_context_t* cipher, mbedtls_operation_t operation) {
    mbedtls_cipher_init(cipher);
    int ret =
        mbedtls_cipher_setup(cipher, mbedtls_cipher_info_from_type(MBEDTLS_CIPHER_AES_256_CBC));
    if (ret == 0)
        ret = mbedtls_cipher_setkey(cipher, In().keys.aes_key, 256, operation);
    if (ret == 0)
        ret = mbedtls_cipher_set_padding_mode(cipher, MBEDTLS_PADDING_PKCS7);
    return ret;
}

int RawEncrypt() {
    mbedtls_cipher_context_t cipher;
    int ret = CipherSetup(&cipher, MBEDTLS_ENCRYPT);
    // The IV: HMAC over "iv" NUL and the big-endian counter.
    uint8_t mac[32];
    if (ret == 0) {
        static const uint8_t kLabel[3] = {'i', 'v', 0};
        const uint32_t counter = In().counter;
        const uint8_t counterBytes[4] = {
            static_cast<uint8_t>(counter >> 24), static_cast<uint8_t>(counter >> 16),
            static_cast<uint8_t>(counter >> 8), static_cast<uint8_t>(counter)};
        mbedtls_md_context_t context;
        ret = HmacSetup(&context);
        if (ret == 0)
            ret = mbedtls_md_hmac_starts(&context, In().keys.mac_key, sizeof(In().keys.mac_key));
        if (ret == 0)
            ret = mbedtls_md_hmac_update(&context, kLabel, sizeof(kLabel));
        if (ret == 0)
            ret = mbedtls_md_hmac_update(&context, counterBytes, sizeof(counterBytes));
        if (ret == 0)
            ret = mbedtls_md_hmac_finish(&context, mac);
        mbedtls_md_free(&context);
    }
    size_t written = 0;
    if (ret == 0)
        ret = mbedtls_cipher_crypt(&cipher, mac, SDCP_IV_SIZE, In().plaintext, kPayloadSize, g_out,
                                   &written);
    mbedtls_cipher_free(&cipher);
    return ret;
}

int RawDecrypt() {
    mbedtls_cipher_context_t cipher;
    int ret = CipherSetup(&cipher, MBEDTLS_DECRYPT);
    size_t written = 0;
    if (ret == 0)
        ret = mbedtls_cipher_crypt(&cipher, In().iv, SDCP_IV_SIZE, In().ciphertext.data(),
                                   In().ciphertext.size(), g_out, &written);
    mbedtls_cipher_free(&cipher);
    return ret;
}

// ---------------------------------------------------------------------------
// The client's calls
// ---------------------------------------------------------------------------

int OursKeyAgreement() {
    return sdcpcli_ecdh(In().peer.public_key, SDCP_PUBLIC_KEY_SIZE, In().own.private_key, 32,
                        g_out);
}

int OursSign() {
    return sdcpcli_sign(In().own.private_key, 32, In().digest, g_out);
}

int OursVerify() {
    return sdcpcli_verify(In().own.public_key, SDCP_PUBLIC_KEY_SIZE, In().digest, SDCP_DIGEST_SIZE,
                          In().signature);
}

int OursKeyDerivation() {
    return sdcpcli_derive_application_keys(In().master, sizeof(In().master),
                                           reinterpret_cast<ApplicationKeys*>(g_out));
}

int OursMac() {
    return sdcpcli_mac_identify(In().keys.mac_key, In().nonce, sizeof(In().nonce), In().identity,
                                sizeof(In().identity), g_out, SDCP_MAC_SIZE);
}

int OursEncrypt() {
    uint8_t iv[SDCP_IV_SIZE];
    uint64_t written = 0;
    return sdcpcli_encrypt(&In().keys, &In().counter, In().plaintext, kPayloadSize, iv, sizeof(iv),
                           g_out, sizeof(g_out), &written);
}

int OursDecrypt() {
    uint64_t written = 0;
    return sdcpcli_decrypt(&In().keys, In().ciphertext.data(), In().ciphertext.size(), In().iv,
                           sizeof(In().iv), g_out, &written);
}

const bool kRegistered = [] {
    // ECDH: the private key imported into the PSA key store, the raw key
    // agreement with the peer's public key, the key destroyed. The client's
    // lock around the key store is its own work.
    Pair("crypto/key_agreement", OursKeyAgreement, RawKeyAgreement, 1);
    // ECDSA signature: the curve loaded, the private scalar read and checked,
    // a generator seeded for the blinding, the deterministic signature, r and
    // s written out. A signature cannot skip the key check or the blinding.
    Pair("crypto/sign", OursSign, RawSign, 1);
    // ECDSA verification: the curve loaded, the public point read and
    // checked, r and s read, the verification.
    Pair("crypto/verify", OursVerify, RawVerify, 1);
    // The 64 application-key bytes: two blocks of the counter-mode HMAC
    // derivation over the label and the length, the block buffer wiped.
    Pair("crypto/key_derivation", OursKeyDerivation, RawKeyDerivation, 16);
    // The identify MAC: one HMAC over the label, the nonce and the identity.
    Pair("crypto/mac", OursMac, RawMac, 16);
    // Encryption of 1 KiB: the AES-256-CBC context set up with PKCS#7
    // padding, the IV derived by HMAC from the counter, one cipher pass.
    Pair("crypto/encrypt", OursEncrypt, RawEncrypt, 16);
    // Decryption of 1 KiB: the context set up, one cipher pass straight into
    // the output. The client decrypts into a buffer of its own, copies and
    // wipes it, because the cipher writes a block past what the caller's
    // buffer is promised to hold: that is its own work, not the least a
    // decryption must do.
    Pair("crypto/decrypt", OursDecrypt, RawDecrypt, 16);
    return true;
}();

} // namespace
