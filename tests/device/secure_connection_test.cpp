#include <gtest/gtest.h>
#include <cstring>
#include <memory>
#include <vector>
#include "device/secure_connection.h"
#include "platform/test.h"
#include "simsensor/simulated_sensor.h"
#include "support/bytes.h"

namespace {

using moc_test::Bytes;
using moc_test::Pattern;

// Certificates of the lengths the sensor adapter embeds: chains 0 and 1 share
// intermediate CA 1, all three share intermediate CA 2.
struct ChainFixture {
    Bytes model0 = Pattern(807, 0x11);
    Bytes model1 = Pattern(808, 0x22);
    Bytes model2 = Pattern(846, 0x33);
    Bytes ca1a = Pattern(967, 0x44);
    Bytes ca1b = Pattern(1025, 0x55);
    Bytes ca2 = Pattern(1114, 0x66);

    std::vector<CertificateChain> Table() const {
        return {
            {model0.data(), ca1a.data(), ca2.data(), 807, 967, 1114},
            {model1.data(), ca1a.data(), ca2.data(), 808, 967, 1114},
            {model2.data(), ca1b.data(), ca2.data(), 846, 1025, 1114},
        };
    }
};

// A full reply with the given lengths; the fields hold `fill`-derived bytes
// and are as long as the lengths say unless `cut` trims the reply's end.
Bytes FullReply(size_t l1, size_t l2, size_t l3, size_t cut = 0) {
    using moc_test::Le16;
    Bytes reply = moc_test::Concat({Le16(static_cast<uint32_t>(l1)), Pattern(l1, 0x01),
                                    Le16(static_cast<uint32_t>(l2)), Pattern(l2, 0x02),
                                    Le16(static_cast<uint32_t>(l3)), Pattern(l3, 0x03)});
    reply.resize(reply.size() - cut);
    return reply;
}

TEST(ConnectSecureReply, ParsesFieldsWithinTheReply) {
    const Bytes reply = FullReply(32, 1097, 32);
    ConnectSecureReply parsed;
    ASSERT_TRUE(ParseConnectSecureReply(reply.data(), static_cast<DWORD>(reply.size()), &parsed));
    EXPECT_EQ(parsed.DeviceNonce, reply.data() + 2);
    EXPECT_EQ(parsed.Claim, reply.data() + 36);
    EXPECT_EQ(parsed.ClaimLength, 1097u);
    EXPECT_EQ(parsed.ConnectionMac, reply.data() + 36 + 1097 + 2);
    // Bytes after the last field are not the reply's concern.
    Bytes padded = reply;
    padded.resize(reply.size() + 40, 0);
    EXPECT_TRUE(ParseConnectSecureReply(padded.data(), static_cast<DWORD>(padded.size()), &parsed));
}

TEST(ConnectSecureReply, RefusesLengthsThatBreakTheBounds) {
    struct Case {
        const char* what;
        Bytes reply;
    } cases[] = {
        {"empty", {}},
        {"one byte", {32}},
        {"nonce of 31", FullReply(31, 1097, 32)},
        {"nonce of 64", FullReply(64, 1097, 32)},
        {"nonce past the end", Bytes{32, 0, 1, 2}},
        {"claim shorter than its fixed fields", FullReply(32, 289, 32)},
        {"claim past the end", FullReply(32, 1097, 32, 35)},
        {"no room for the MAC length", FullReply(32, 1097, 32, 33)},
        {"MAC of 31", FullReply(32, 1097, 31)},
        {"MAC of 33", FullReply(32, 1097, 33)},
        {"MAC cut by one byte", FullReply(32, 1097, 32, 1)},
        {"claim length 0xFFFF", FullReply(32, 0xFFFF, 32, 0xFFFF - 1097)},
    };
    for (const Case& c : cases) {
        ConnectSecureReply parsed;
        EXPECT_FALSE(
            ParseConnectSecureReply(c.reply.data(), static_cast<DWORD>(c.reply.size()), &parsed))
            << c.what;
    }
}

class SecureConnectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::test::ResetAll();
        sensor = std::make_shared<simsensor::SimulatedSensor>();
        pipeline = {};
        pipeline.SensorHandle = platform::test::OpenDevice(sensor);
        ASSERT_NE(pipeline.SensorHandle, INVALID_HANDLE_VALUE);
        const std::vector<CertificateChain> table = chains.Table();
        ASSERT_EQ(MocCreateSecureConnection(&pipeline, table.data(), 3, &connection), S_OK);
        keys = {};
        for (DWORD i = 0; i < sizeof(keys); ++i) {
            reinterpret_cast<BYTE*>(&keys)[i] = static_cast<BYTE>(0x80 + i);
        }
        sensor->SetClaimKeys(keys);
        sensor->SetSecureFields(nonce, mac, reconnectMac);
        params = Pattern(40, 0x70);
        WINBIO_SECURE_CONNECTION_PARAMS head = {40, 1, 0};
        std::memcpy(params.data(), &head, sizeof(head));
    }
    void TearDown() override {
        MocDestroySecureConnection(connection);
        CloseHandle(pipeline.SensorHandle);
        platform::test::ResetAll();
    }

    const WINBIO_SECURE_CONNECTION_PARAMS* Params(USHORT flags) {
        reinterpret_cast<WINBIO_SECURE_CONNECTION_PARAMS*>(params.data())->Flags = flags;
        return reinterpret_cast<const WINBIO_SECURE_CONNECTION_PARAMS*>(params.data());
    }

    static DWORD U32(const BYTE* data, size_t offset) {
        DWORD value;
        std::memcpy(&value, data + offset, sizeof(value));
        return value;
    }

    ChainFixture chains;
    MocClaimKeys keys;
    Bytes nonce = Pattern(32, 0xA1);
    Bytes mac = Pattern(32, 0xB2);
    Bytes reconnectMac = Pattern(32, 0xC3);
    Bytes params;
    std::shared_ptr<simsensor::SimulatedSensor> sensor;
    WINBIO_PIPELINE pipeline;
    CMocSecureConnection* connection = nullptr;
};

TEST_F(SecureConnectionTest, CapacitiesComeFromTheLargestOfEachField) {
    EXPECT_EQ(connection->ConnectionDataCapacity, 3359u); // 846 + 1025 + 1114 + 374
    EXPECT_EQ(connection->ResponseCapacity, 1206u);       // 846 + 360
    EXPECT_EQ(connection->ReconnectDataSize, 52u);
    EXPECT_EQ(connection->ChainCount, 3u);
    EXPECT_EQ(connection->MatchedChain, 0u);
}

TEST_F(SecureConnectionTest, FullConnectPicksTheChainByClaimLengthAndLaysOutTheData) {
    struct Case {
        const Bytes* model;
        DWORD chain;
        const Bytes* ca1;
    } cases[] = {
        {&chains.model0, 0, &chains.ca1a}, // claim 1097
        {&chains.model1, 1, &chains.ca1a}, // claim 1098
        {&chains.model2, 2, &chains.ca1b}, // claim 1136
    };
    for (const Case& c : cases) {
        sensor->SetModelCertificate(*c.model);
        sensor->ClearLog();
        PWINBIO_SECURE_CONNECTION_DATA data = nullptr;
        ASSERT_EQ(MocConnectSecure(connection, Params(0), &data), S_OK) << c.chain;
        ASSERT_EQ(reinterpret_cast<BYTE*>(data), connection->ConnectionData);
        EXPECT_EQ(connection->MatchedChain, c.chain);

        const auto log = sensor->Log();
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].code, IOCTL_BIOMETRIC_CONNECT_SECURE);
        EXPECT_EQ(log[0].input, params); // PayloadSize bytes of the parameters
        EXPECT_EQ(log[0].outputCapacity, 1206u);
        EXPECT_FALSE(log[0].overlapped);

        const BYTE* bytes = connection->ConnectionData;
        const DWORD m = static_cast<DWORD>(c.model->size());
        const DWORD c1 = static_cast<DWORD>(c.ca1->size());
        EXPECT_EQ(data->Size, 3359u); // the capacity, not the content
        EXPECT_EQ(data->Version, 1u);
        EXPECT_EQ(data->Flags, 0u);
        EXPECT_EQ(U32(bytes, 8), m);
        EXPECT_EQ(U32(bytes, 12), c1);
        EXPECT_EQ(U32(bytes, 16), 1114u);
        EXPECT_EQ(Bytes(bytes + 20, bytes + 52), mac);
        EXPECT_EQ(Bytes(bytes + 52, bytes + 84), nonce);
        EXPECT_EQ(Bytes(bytes + 84, bytes + 84 + m), *c.model);
        EXPECT_EQ(std::memcmp(bytes + 84 + m, &keys, sizeof(keys)), 0);
        EXPECT_EQ(Bytes(bytes + 374 + m, bytes + 374 + m + c1), *c.ca1);
        EXPECT_EQ(Bytes(bytes + 374 + m + c1, bytes + 374 + m + c1 + 1114), chains.ca2);
        EXPECT_EQ(std::memcmp(connection->DevicePublicKey, keys.DevicePublicKey, 65), 0);
        EXPECT_EQ(std::memcmp(connection->DeviceSignature, keys.DeviceSignature, 64), 0);
        if (c.chain == 0) {
            // The content ends at byte 3262; the rest was cleared at creation.
            EXPECT_EQ(374 + m + c1 + 1114, 3262u);
            EXPECT_EQ(Bytes(bytes + 3262, bytes + 3359), Bytes(3359 - 3262, 0));
        }
    }
}

TEST_F(SecureConnectionTest, ClaimOfNoChainsLengthFailsWithReasonOne) {
    // A chain chosen earlier, so that a failed choice shows whether it is kept.
    sensor->SetModelCertificate(chains.model2);
    PWINBIO_SECURE_CONNECTION_DATA data = nullptr;
    ASSERT_EQ(MocConnectSecure(connection, Params(0), &data), S_OK);
    // Claims of 390, 1096, 1099 and 1135 bytes: next to the chains' lengths.
    for (size_t model : {100, 806, 809, 845}) {
        sensor->SetModelCertificate(Pattern(model, 0x10));
        data = nullptr;
        EXPECT_EQ(static_cast<DWORD>(MocConnectSecure(connection, Params(0), &data)), 0xED050001u)
            << model;
        EXPECT_EQ(data, nullptr);
        EXPECT_EQ(connection->MatchedChain, 2u);
    }
    ASSERT_EQ(MocConnectSecure(connection, Params(1), &data), S_OK);
    EXPECT_EQ(data->ModelCertificateSize, 846u);
    EXPECT_EQ(data->IntermediateCA1Size, 1025u);
}

TEST_F(SecureConnectionTest, OneByteDifferenceInTheModelFailsAndReconnectKeepsThatChain) {
    Bytes forged = chains.model1;
    forged[500] ^= 0x01;
    sensor->SetModelCertificate(forged);
    PWINBIO_SECURE_CONNECTION_DATA data = nullptr;
    EXPECT_EQ(static_cast<DWORD>(MocConnectSecure(connection, Params(0), &data)), 0xED050002u);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(connection->MatchedChain, 1u);

    sensor->ClearLog();
    ASSERT_EQ(MocConnectSecure(connection, Params(1), &data), S_OK);
    EXPECT_EQ(data->Size, 52u);
    EXPECT_EQ(data->Flags, 1u);
    EXPECT_EQ(data->ModelCertificateSize, 808u);
    EXPECT_EQ(data->IntermediateCA1Size, 967u);
    EXPECT_EQ(data->IntermediateCA2Size, 1114u);
    EXPECT_EQ(Bytes(connection->ConnectionData + 20, connection->ConnectionData + 52),
              reconnectMac);
    const auto log = sensor->Log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].outputCapacity, 34u);
}

TEST_F(SecureConnectionTest, ReconnectBeforeAnyFullConnectReportsChainZero) {
    PWINBIO_SECURE_CONNECTION_DATA data = nullptr;
    ASSERT_EQ(MocConnectSecure(connection, Params(1), &data), S_OK);
    EXPECT_EQ(data->Size, 52u);
    EXPECT_EQ(data->Version, 1u);
    EXPECT_EQ(data->ModelCertificateSize, 807u);
    EXPECT_EQ(data->IntermediateCA1Size, 967u);
    EXPECT_EQ(data->IntermediateCA2Size, 1114u);
    EXPECT_EQ(Bytes(connection->ConnectionData + 20, connection->ConnectionData + 52),
              reconnectMac);
    // Nothing past the reconnect record is written.
    EXPECT_EQ(Bytes(connection->ConnectionData + 52, connection->ConnectionData + 84),
              Bytes(32, 0));
}

TEST_F(SecureConnectionTest, MalformedReplyFailsWithReasonThreeAndChangesNothing) {
    // A good exchange first, so that there is state to keep.
    sensor->SetModelCertificate(chains.model2);
    PWINBIO_SECURE_CONNECTION_DATA data = nullptr;
    ASSERT_EQ(MocConnectSecure(connection, Params(0), &data), S_OK);
    const Bytes before(connection->ConnectionData,
                       connection->ConnectionData + connection->ConnectionDataCapacity);
    const Bytes nonceBefore(connection->DeviceNonce, connection->DeviceNonce + 32);
    const Bytes macBefore(connection->ConnectionMac, connection->ConnectionMac + 32);

    const Bytes malformed[] = {
        FullReply(64, 1097, 32),     // nonce longer than its holder
        FullReply(32, 1097, 200),    // MAC longer than its holder
        FullReply(32, 1136, 32, 40), // claim runs past the reply
        FullReply(32, 1136, 32, 10), // MAC runs past the reply
        FullReply(32, 100, 32),      // claim shorter than its fixed fields
        Bytes{0x20},                 // no room for the first length
    };
    for (const Bytes& reply : malformed) {
        sensor->ReplyWith(IOCTL_BIOMETRIC_CONNECT_SECURE, reply);
        PWINBIO_SECURE_CONNECTION_DATA out = nullptr;
        EXPECT_EQ(static_cast<DWORD>(MocConnectSecure(connection, Params(0), &out)), 0xED050003u);
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(connection->MatchedChain, 2u);
        EXPECT_EQ(Bytes(connection->DeviceNonce, connection->DeviceNonce + 32), nonceBefore);
        EXPECT_EQ(Bytes(connection->ConnectionMac, connection->ConnectionMac + 32), macBefore);
        EXPECT_EQ(Bytes(connection->ConnectionData,
                        connection->ConnectionData + connection->ConnectionDataCapacity),
                  before);
    }
}

TEST_F(SecureConnectionTest, RequestFailuresCarryTheWin32Error) {
    sensor->SetModelCertificate(chains.model0);
    PWINBIO_SECURE_CONNECTION_DATA data = nullptr;
    sensor->FailNext(IOCTL_BIOMETRIC_CONNECT_SECURE, ERROR_GEN_FAILURE);
    EXPECT_EQ(static_cast<DWORD>(MocConnectSecure(connection, Params(0), &data)), 0xED04001Fu);
    // A reconnect reply too short for its MAC is a failed request.
    sensor->ReplyShort(IOCTL_BIOMETRIC_CONNECT_SECURE, 20);
    EXPECT_EQ(static_cast<DWORD>(MocConnectSecure(connection, Params(1), &data)), 0xED04000Du);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(static_cast<DWORD>(MocConnectSecure(connection, nullptr, &data)), 0xED030057u);
}

TEST(SecureConnectionLife, FailedCreationLeavesAClearedObjectThatFailsCleanly) {
    platform::test::ResetAll();
    auto sensor = std::make_shared<simsensor::SimulatedSensor>();
    WINBIO_PIPELINE pipeline = {};
    pipeline.SensorHandle = platform::test::OpenDevice(sensor);
    ChainFixture chains;
    const std::vector<CertificateChain> table = chains.Table();

    struct Case {
        const CertificateChain* table;
        DWORD count;
    } cases[] = {{table.data(), 0}, {nullptr, 3}};
    for (const Case& c : cases) {
        CMocSecureConnection* connection = nullptr;
        EXPECT_EQ(
            static_cast<DWORD>(MocCreateSecureConnection(&pipeline, c.table, c.count, &connection)),
            0xED010006u);
        ASSERT_NE(connection, nullptr);
        EXPECT_EQ(connection->Pipeline, nullptr);
        EXPECT_EQ(connection->ConnectionData, nullptr);
        EXPECT_EQ(connection->Response, nullptr);
        EXPECT_EQ(connection->Chains, nullptr);

        const WINBIO_SECURE_CONNECTION_PARAMS params = {8, 1, 0};
        PWINBIO_SECURE_CONNECTION_DATA data = nullptr;
        EXPECT_EQ(MocConnectSecure(connection, &params, &data), WINBIO_E_INVALID_DEVICE_STATE);
        EXPECT_EQ(data, nullptr);
        EXPECT_EQ(MocDestroySecureConnection(connection), S_OK);
    }
    const WINBIO_SECURE_CONNECTION_PARAMS params = {8, 1, 1};
    PWINBIO_SECURE_CONNECTION_DATA data = nullptr;
    EXPECT_EQ(MocConnectSecure(nullptr, &params, &data), WINBIO_E_INVALID_DEVICE_STATE);
    EXPECT_EQ(sensor->Log().size(), 0u);

    // A certificate length without its bytes is refused rather than read.
    CertificateChain broken = table[0];
    broken.IntermediateCA1 = nullptr;
    CMocSecureConnection* connection = nullptr;
    EXPECT_EQ(MocCreateSecureConnection(&pipeline, &broken, 1, &connection),
              MOC_E_SECURE_CONNECTION_CREATE);
    EXPECT_EQ(MocDestroySecureConnection(connection), S_OK);
    EXPECT_EQ(MocCreateSecureConnection(&pipeline, table.data(), 3, nullptr), E_POINTER);
    CloseHandle(pipeline.SensorHandle);
    platform::test::ResetAll();
}

} // namespace
