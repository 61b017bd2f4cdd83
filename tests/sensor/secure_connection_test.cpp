// The embedded certificate chains and the secure connection through the
// sensor interface's slot.
#include <mbedtls/x509_crt.h>
#include <fstream>
#include <iterator>
#include "sensor/certificate_chains.h"
#include "sensor_fixture.h"

namespace {

using moc_test::Bytes;
using sensor_test::SensorFixture;

Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The test hierarchy's dates say when it was made, not what the chains mean.
int IgnoreValidityPeriod(void*, mbedtls_x509_crt*, int, uint32_t* flags) {
    *flags &= ~static_cast<uint32_t>(MBEDTLS_X509_BADCERT_EXPIRED | MBEDTLS_X509_BADCERT_FUTURE);
    return 0;
}

// Each model certificate is issued by its chain's intermediate CA 1, which
// intermediate CA 2 issued under the test root: the chain the framework
// verifies holds together.
TEST(EmbeddedCertificateChains, EachChainVerifiesUpToTheTestRoot) {
    const Bytes root = ReadFile(MOC_SENSOR_TEST_DATA "/certificates/root.der");
    ASSERT_FALSE(root.empty());
    CertificateChain chains[kEmbeddedChainCount];
    BuildCertificateChains(chains);
    for (DWORD i = 0; i < kEmbeddedChainCount; ++i) {
        SCOPED_TRACE(i);
        mbedtls_x509_crt trusted;
        mbedtls_x509_crt chain;
        mbedtls_x509_crt_init(&trusted);
        mbedtls_x509_crt_init(&chain);
        ASSERT_EQ(mbedtls_x509_crt_parse_der(&trusted, root.data(), root.size()), 0);
        ASSERT_EQ(mbedtls_x509_crt_parse_der(&chain, chains[i].ModelCertificate,
                                             chains[i].ModelCertificateLength),
                  0);
        ASSERT_EQ(mbedtls_x509_crt_parse_der(&chain, chains[i].IntermediateCA1,
                                             chains[i].IntermediateCA1Length),
                  0);
        ASSERT_EQ(mbedtls_x509_crt_parse_der(&chain, chains[i].IntermediateCA2,
                                             chains[i].IntermediateCA2Length),
                  0);
        EXPECT_EQ(mbedtls_pk_get_type(&chain.pk), MBEDTLS_PK_ECKEY);
        uint32_t flags = 0;
        EXPECT_EQ(mbedtls_x509_crt_verify(&chain, &trusted, nullptr, nullptr, &flags,
                                          IgnoreValidityPeriod, nullptr),
                  0)
            << std::hex << flags;
        mbedtls_x509_crt_free(&chain);
        mbedtls_x509_crt_free(&trusted);
    }
}

class SensorSecureConnectionTest : public SensorFixture {
protected:
    HRESULT Connect(USHORT flags, PWINBIO_SECURE_CONNECTION_DATA* data, DWORD payloadSize = 40) {
        params = moc_test::Pattern(40, 0x70);
        WINBIO_SECURE_CONNECTION_PARAMS head = {payloadSize, 1, flags};
        std::memcpy(params.data(), &head, sizeof(head));
        return table->ConnectSecure(
            &pipeline, reinterpret_cast<const WINBIO_SECURE_CONNECTION_PARAMS*>(params.data()),
            data);
    }

    Bytes params;
};

TEST_F(SensorSecureConnectionTest, EachEmbeddedChainConnectsThroughTheSlot) {
    CertificateChain chains[kEmbeddedChainCount];
    BuildCertificateChains(chains);
    for (DWORD i = 0; i < kEmbeddedChainCount; ++i) {
        SCOPED_TRACE(i);
        const CertificateChain& chain = chains[i];
        sensor->SetModelCertificate(
            moc_test::BytesOf(chain.ModelCertificate, chain.ModelCertificateLength));
        sensor->ClearLog();
        PWINBIO_SECURE_CONNECTION_DATA data = nullptr;
        ASSERT_EQ(Connect(0, &data), S_OK);
        ASSERT_NE(data, nullptr);
        EXPECT_EQ(Context()->SecureConnection->MatchedChain, i);
        EXPECT_EQ(data->Size, 3359u);
        EXPECT_EQ(data->ModelCertificateSize, chain.ModelCertificateLength);
        EXPECT_EQ(data->IntermediateCA1Size, chain.IntermediateCA1Length);
        EXPECT_EQ(data->IntermediateCA2Size, chain.IntermediateCA2Length);
        const BYTE* bytes = reinterpret_cast<const BYTE*>(data);
        const DWORD m = chain.ModelCertificateLength;
        const DWORD c1 = chain.IntermediateCA1Length;
        EXPECT_EQ(moc_test::BytesOf(bytes + 84, m), moc_test::BytesOf(chain.ModelCertificate, m));
        EXPECT_EQ(moc_test::BytesOf(bytes + 374 + m, c1),
                  moc_test::BytesOf(chain.IntermediateCA1, c1));
        EXPECT_EQ(moc_test::BytesOf(bytes + 374 + m + c1, chain.IntermediateCA2Length),
                  moc_test::BytesOf(chain.IntermediateCA2, chain.IntermediateCA2Length));
        const auto log = sensor->Log();
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].code, IOCTL_BIOMETRIC_CONNECT_SECURE);
        EXPECT_EQ(log[0].input, params);
    }
}

TEST_F(SensorSecureConnectionTest, ChainMismatchAndBadParametersFail) {
    // A model certificate of a supported length with one byte changed.
    Bytes forged = moc_test::BytesOf(kModelCertificate2, kModelCertificate2Length);
    forged[300] ^= 0x80;
    sensor->SetModelCertificate(forged);
    PWINBIO_SECURE_CONNECTION_DATA data = nullptr;
    EXPECT_EQ(static_cast<DWORD>(Connect(0, &data)), 0xED050002u);
    EXPECT_EQ(data, nullptr);
    // The reconnect that follows reports the sizes of the chain that claim chose.
    ASSERT_EQ(Connect(1, &data), S_OK);
    EXPECT_EQ(data->Size, 52u);
    EXPECT_EQ(data->ModelCertificateSize, 846u);
    EXPECT_EQ(data->IntermediateCA1Size, 1025u);

    sensor->SetModelCertificate(moc_test::Pattern(820, 0x31));
    data = nullptr;
    EXPECT_EQ(static_cast<DWORD>(Connect(0, &data)), 0xED050001u);
    EXPECT_EQ(data, nullptr);

    // A PayloadSize that does not cover the parameters' own record is never sent.
    sensor->ClearLog();
    for (DWORD payload : {0u, 1u, 7u}) {
        EXPECT_EQ(Connect(0, &data, payload), E_INVALIDARG) << payload;
    }
    EXPECT_TRUE(sensor->Log().empty());
    sensor->SetModelCertificate(moc_test::BytesOf(kModelCertificate0, kModelCertificate0Length));
    ASSERT_EQ(Connect(0, &data, 8), S_OK);
    ASSERT_EQ(sensor->Log().size(), 1u);
    EXPECT_EQ(sensor->Log()[0].input, Bytes(params.begin(), params.begin() + 8));

    WINBIO_SECURE_CONNECTION_PARAMS head = {8, 1, 0};
    EXPECT_EQ(table->ConnectSecure(nullptr, &head, &data), E_POINTER);
    EXPECT_EQ(table->ConnectSecure(&pipeline, nullptr, &data), E_POINTER);
    EXPECT_EQ(table->ConnectSecure(&pipeline, &head, nullptr), E_POINTER);
    WINBIO_PIPELINE bare = {};
    EXPECT_EQ(table->ConnectSecure(&bare, &head, &data), WINBIO_E_INVALID_DEVICE_STATE);
    // A failed request of the driver keeps its Win32 error in the family.
    sensor->FailNext(IOCTL_BIOMETRIC_CONNECT_SECURE, ERROR_GEN_FAILURE);
    EXPECT_EQ(static_cast<DWORD>(Connect(0, &data)), 0xED040000u | ERROR_GEN_FAILURE);
}

} // namespace
