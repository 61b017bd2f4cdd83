#include "sdcp/keys.h"

#include <cstring>

#include <mbedtls/bignum.h>
#include <mbedtls/ecdsa.h>
#include <mbedtls/ecp.h>
#include <mbedtls/md.h>
#include <psa/crypto.h>

#include "sdcp/internal.h"

namespace {

constexpr size_t kScalarSize = SDCP_PRIVATE_KEY_SIZE;

class Group {
public:
    Group() { mbedtls_ecp_group_init(&grp_); }
    ~Group() { mbedtls_ecp_group_free(&grp_); }
    Group(const Group&) = delete;
    Group& operator=(const Group&) = delete;
    int Load() { return mbedtls_ecp_group_load(&grp_, MBEDTLS_ECP_DP_SECP256R1); }
    mbedtls_ecp_group* get() { return &grp_; }

private:
    mbedtls_ecp_group grp_;
};

// mbedtls_mpi_free wipes the limbs, so a private scalar does not outlive the call.
class Mpi {
public:
    Mpi() { mbedtls_mpi_init(&mpi_); }
    ~Mpi() { mbedtls_mpi_free(&mpi_); }
    Mpi(const Mpi&) = delete;
    Mpi& operator=(const Mpi&) = delete;
    mbedtls_mpi* get() { return &mpi_; }

private:
    mbedtls_mpi mpi_;
};

class Point {
public:
    Point() { mbedtls_ecp_point_init(&pt_); }
    ~Point() { mbedtls_ecp_point_free(&pt_); }
    Point(const Point&) = delete;
    Point& operator=(const Point&) = delete;
    mbedtls_ecp_point* get() { return &pt_; }

private:
    mbedtls_ecp_point pt_;
};

class Sha256 {
public:
    Sha256() { mbedtls_md_init(&ctx_); }
    ~Sha256() { mbedtls_md_free(&ctx_); }
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    int Start() {
        int ret = mbedtls_md_setup(&ctx_, mbedtls_md_info_from_type(MBEDTLS_MD_SHA256), 0);
        return ret != 0 ? ret : mbedtls_md_starts(&ctx_);
    }
    int Update(const void* data, size_t length) {
        return mbedtls_md_update(&ctx_, static_cast<const unsigned char*>(data), length);
    }
    int Finish(uint8_t* digest) { return mbedtls_md_finish(&ctx_, digest); }

private:
    mbedtls_md_context_t ctx_;
};

int32_t GenerateKeyPair(P256KeyPair* key_pair) {
    sdcp::Drbg drbg;
    int ret = drbg.Seed(sdcp::kKeygenPersonalisation);
    if (ret != 0) {
        return ret;
    }
    mbedtls_ecp_keypair key;
    mbedtls_ecp_keypair_init(&key);
    ret = mbedtls_ecp_gen_key(MBEDTLS_ECP_DP_SECP256R1, &key, mbedtls_ctr_drbg_random, drbg.get());
    size_t written = 0;
    if (ret == 0) {
        ret =
            mbedtls_ecp_point_write_binary(&key.grp, &key.Q, MBEDTLS_ECP_PF_UNCOMPRESSED, &written,
                                           key_pair->public_key, sizeof(key_pair->public_key));
    }
    if (ret == 0) {
        ret =
            mbedtls_mpi_write_binary(&key.d, key_pair->private_key, sizeof(key_pair->private_key));
    }
    mbedtls_ecp_keypair_free(&key);
    return ret;
}

int32_t HashC001(const uint8_t* data, size_t data_length, const uint8_t* key, size_t key_length,
                 uint8_t* digest) {
    static const uint8_t kPrefix[2] = {0xC0, 0x01};
    Sha256 sha;
    int ret = sha.Start();
    if (ret == 0) {
        ret = sha.Update(kPrefix, sizeof(kPrefix));
    }
    if (ret == 0) {
        ret = sha.Update(data, data_length);
    }
    if (ret == 0) {
        ret = sha.Update(key, key_length);
    }
    if (ret == 0) {
        ret = sha.Finish(digest);
    }
    return ret;
}

// Signs into a local buffer first so that a failure leaves the output untouched.
int32_t Sign(const uint8_t* private_key, const uint8_t* digest, uint8_t* signature) {
    Group group;
    Mpi d, r, s;
    int ret = group.Load();
    if (ret == 0) {
        ret = mbedtls_mpi_read_binary(d.get(), private_key, kScalarSize);
    }
    if (ret == 0) {
        ret = mbedtls_ecp_check_privkey(group.get(), d.get());
    }
    if (ret != 0) {
        return ret;
    }
    // The signature is deterministic; the generator only blinds the scalar
    // multiplication against side channels.
    sdcp::Drbg blinding;
    ret = blinding.Seed(sdcp::kKeygenPersonalisation);
    if (ret == 0) {
        ret = mbedtls_ecdsa_sign_det_ext(group.get(), r.get(), s.get(), d.get(), digest,
                                         SDCP_DIGEST_SIZE, MBEDTLS_MD_SHA256,
                                         mbedtls_ctr_drbg_random, blinding.get());
    }
    uint8_t rs[SDCP_SIGNATURE_SIZE];
    if (ret == 0) {
        ret = mbedtls_mpi_write_binary(r.get(), rs, 32);
    }
    if (ret == 0) {
        ret = mbedtls_mpi_write_binary(s.get(), rs + 32, 32);
    }
    if (ret == 0) {
        std::memcpy(signature, rs, sizeof(rs));
    }
    return ret;
}

} // namespace

extern "C" {

int32_t sdcpcli_gen_rand(uint8_t* output, uint64_t output_length) {
    if (output == nullptr || output_length < 1) {
        return PSA_ERROR_INVALID_ARGUMENT;
    }
    sdcp::Drbg drbg;
    int ret = drbg.Seed(sdcp::kRandPersonalisation);
    if (ret != 0) {
        return ret;
    }
    return mbedtls_ctr_drbg_random(drbg.get(), output, output_length);
}

int32_t sdcpcli_keygen(P256KeyPair* key_pair) {
    if (key_pair == nullptr) {
        return PSA_ERROR_INVALID_ARGUMENT;
    }
    return GenerateKeyPair(key_pair);
}

int32_t sdcpcli_hash32(const uint8_t* input, uint8_t* digest) {
    if (input == nullptr || digest == nullptr) {
        return PSA_ERROR_INVALID_ARGUMENT;
    }
    return mbedtls_md(mbedtls_md_info_from_type(MBEDTLS_MD_SHA256), input, 32, digest);
}

int32_t sdcpcli_hash_c001(const uint8_t* data, uint64_t data_length, const uint8_t* key,
                          uint64_t key_length, uint8_t* digest, uint64_t digest_length) {
    if (data == nullptr || data_length < 1 || key == nullptr || key_length < SDCP_PUBLIC_KEY_SIZE ||
        digest == nullptr || digest_length < SDCP_DIGEST_SIZE) {
        return PSA_ERROR_INVALID_ARGUMENT;
    }
    return HashC001(data, data_length, key, key_length, digest);
}

int32_t sdcpcli_sign(const uint8_t* private_key, uint64_t private_key_length, const uint8_t* digest,
                     uint8_t* signature) {
    if (private_key == nullptr || private_key_length < SDCP_PRIVATE_KEY_SIZE || digest == nullptr ||
        signature == nullptr) {
        return PSA_ERROR_INVALID_ARGUMENT;
    }
    return Sign(private_key, digest, signature);
}

int32_t sdcpcli_verify(const uint8_t* public_key, uint64_t public_key_length, const uint8_t* digest,
                       uint64_t digest_length, const uint8_t* signature) {
    if (public_key == nullptr || public_key_length < SDCP_PUBLIC_KEY_SIZE || digest == nullptr ||
        digest_length < SDCP_DIGEST_SIZE || signature == nullptr) {
        return PSA_ERROR_INVALID_ARGUMENT;
    }
    Group group;
    Point q;
    Mpi r, s;
    // Only a 65-byte uncompressed point decodes; any other length is the
    // library's decoding error.
    int ret = group.Load();
    if (ret == 0) {
        ret = mbedtls_ecp_point_read_binary(group.get(), q.get(), public_key, public_key_length);
    }
    if (ret == 0) {
        ret = mbedtls_ecp_check_pubkey(group.get(), q.get());
    }
    if (ret == 0) {
        ret = mbedtls_mpi_read_binary(r.get(), signature, 32);
    }
    if (ret == 0) {
        ret = mbedtls_mpi_read_binary(s.get(), signature + 32, 32);
    }
    if (ret == 0) {
        ret = mbedtls_ecdsa_verify(group.get(), digest, digest_length, q.get(), r.get(), s.get());
        // The library reports a bad signature with its own code; callers
        // tell it apart from every other failure by the PSA status.
        if (ret == MBEDTLS_ERR_ECP_VERIFY_FAILED) {
            ret = PSA_ERROR_INVALID_SIGNATURE;
        }
    }
    return ret;
}

int32_t sdcpcli_make_claim(const uint8_t* device_private_key, uint64_t device_private_key_length,
                           const uint8_t* data, uint64_t data_length, P256KeyPair* firmware_key,
                           SignedFirmwareHash* signed_hash) {
    if (data == nullptr || data_length < 1 || firmware_key == nullptr || signed_hash == nullptr) {
        return PSA_ERROR_INVALID_ARGUMENT;
    }
    int32_t ret = GenerateKeyPair(firmware_key);
    if (ret != 0) {
        return ret;
    }
    ret = mbedtls_md(mbedtls_md_info_from_type(MBEDTLS_MD_SHA256), data, data_length,
                     signed_hash->firmware_hash);
    if (ret != 0) {
        return ret;
    }
    uint8_t digest[SDCP_DIGEST_SIZE];
    ret = HashC001(signed_hash->firmware_hash, sizeof(signed_hash->firmware_hash),
                   firmware_key->public_key, sizeof(firmware_key->public_key), digest);
    if (ret != 0) {
        return ret;
    }
    if (device_private_key == nullptr || device_private_key_length < SDCP_PRIVATE_KEY_SIZE) {
        return PSA_ERROR_INVALID_ARGUMENT;
    }
    return Sign(device_private_key, digest, signed_hash->device_signature);
}

int32_t sdcpcli_hash_claim(const uint8_t* model_certificate, uint64_t model_certificate_length,
                           const uint8_t* device_public_key, uint64_t device_public_key_length,
                           const uint8_t* firmware_public_key, uint64_t firmware_public_key_length,
                           const SignedFirmwareHash* signed_hash, const uint8_t* model_signature,
                           uint8_t* digest, uint64_t digest_length) {
    if (model_certificate == nullptr || model_certificate_length < 1 ||
        device_public_key == nullptr || device_public_key_length < SDCP_PUBLIC_KEY_SIZE ||
        firmware_public_key == nullptr || firmware_public_key_length < SDCP_PUBLIC_KEY_SIZE ||
        signed_hash == nullptr || model_signature == nullptr || digest == nullptr ||
        digest_length < SDCP_DIGEST_SIZE) {
        return PSA_ERROR_INVALID_ARGUMENT;
    }
    Sha256 sha;
    int ret = sha.Start();
    if (ret == 0) {
        ret = sha.Update(model_certificate, model_certificate_length);
    }
    if (ret == 0) {
        ret = sha.Update(device_public_key, SDCP_PUBLIC_KEY_SIZE);
    }
    if (ret == 0) {
        ret = sha.Update(firmware_public_key, SDCP_PUBLIC_KEY_SIZE);
    }
    if (ret == 0) {
        ret = sha.Update(signed_hash->firmware_hash, sizeof(signed_hash->firmware_hash));
    }
    if (ret == 0) {
        ret = sha.Update(model_signature, SDCP_SIGNATURE_SIZE);
    }
    if (ret == 0) {
        ret = sha.Update(signed_hash->device_signature, sizeof(signed_hash->device_signature));
    }
    if (ret == 0) {
        ret = sha.Finish(digest);
    }
    return ret;
}

} // extern "C"
