#include <gtest/gtest.h>
#include <cstring>
#include <vector>
#include "device/identity_key.h"
#include "support/bytes.h"

namespace {

WINBIO_IDENTITY SidIdentity(DWORD size, BYTE first) {
    WINBIO_IDENTITY id;
    std::memset(&id, 0, sizeof(id));
    id.Type = WINBIO_ID_TYPE_SID;
    id.Value.AccountSid.Size = size;
    for (DWORD i = 0; i < SECURITY_MAX_SID_SIZE; ++i) {
        id.Value.AccountSid.Data[i] = static_cast<BYTE>(first + i);
    }
    return id;
}

TEST(IdentityKey, GuidPacksInTheOrderOfItsTextFormAndBack) {
    // {01234567-89AB-CDEF-0011-223344556677}
    WINBIO_IDENTITY id;
    std::memset(&id, 0, sizeof(id));
    id.Type = WINBIO_ID_TYPE_GUID;
    id.Value.TemplateGuid = {
        0x01234567, 0x89AB, 0xCDEF, {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77}};
    IdentityKey key;
    std::memset(&key, 0xEE, sizeof(key));
    PackIdentityKey(&id, &key);
    std::vector<BYTE> expected = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF,
                                  0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};
    expected.resize(32, 0);
    EXPECT_EQ(moc_test::BytesOf(key.Bytes), expected);

    WINBIO_IDENTITY back;
    std::memset(&back, 0, sizeof(back));
    UnpackGuidIdentity(key, &back);
    EXPECT_EQ(std::memcmp(&back, &id, sizeof(id)), 0);
}

TEST(IdentityKey, SecureIdRoundTrips) {
    WINBIO_IDENTITY id;
    std::memset(&id, 0, sizeof(id));
    id.Type = WINBIO_ID_TYPE_SECURE_ID;
    for (int i = 0; i < 32; ++i) {
        id.Value.SecureId[i] = static_cast<BYTE>(0xA0 + i);
    }
    IdentityKey key;
    PackIdentityKey(&id, &key);
    EXPECT_EQ(std::memcmp(key.Bytes, id.Value.SecureId, 32), 0);

    WINBIO_IDENTITY back;
    std::memset(&back, 0, sizeof(back));
    UnpackIdentityByKey(key, &back);
    EXPECT_EQ(std::memcmp(&back, &id, sizeof(id)), 0);
}

TEST(IdentityKey, SidPacksItsBytesAndComesBackByTheKeyRule) {
    struct Case {
        DWORD size;
        DWORD bytesPacked;
        WINBIO_IDENTITY_TYPE unpackedAs;
    } cases[] = {
        {12, 12, WINBIO_ID_TYPE_SID},
        {28, 28, WINBIO_ID_TYPE_SID},
        {29, 29, WINBIO_ID_TYPE_SECURE_ID}, // bytes 28-31 are no longer all zero
        {32, 32, WINBIO_ID_TYPE_SECURE_ID},
        {68, 32, WINBIO_ID_TYPE_SECURE_ID}, // never more than the key holds
        {0xFFFFFFFFu, 32, WINBIO_ID_TYPE_SECURE_ID},
    };
    for (const Case& c : cases) {
        const WINBIO_IDENTITY id = SidIdentity(c.size, 1);
        IdentityKey key;
        std::memset(&key, 0xEE, sizeof(key));
        PackIdentityKey(&id, &key);
        std::vector<BYTE> expected(id.Value.AccountSid.Data,
                                   id.Value.AccountSid.Data + c.bytesPacked);
        expected.resize(32, 0);
        EXPECT_EQ(moc_test::BytesOf(key.Bytes), expected) << c.size;

        WINBIO_IDENTITY back;
        std::memset(&back, 0xCC, sizeof(back));
        UnpackIdentityByKey(key, &back);
        EXPECT_EQ(back.Type, c.unpackedAs) << c.size;
        if (c.unpackedAs == WINBIO_ID_TYPE_SID) {
            EXPECT_EQ(back.Value.AccountSid.Size, 28u);
            EXPECT_EQ(std::memcmp(back.Value.AccountSid.Data, key.Bytes, 28), 0);
            // Type and value fields only: the record's tail is the caller's.
            EXPECT_EQ(back.Value.AccountSid.Data[28], 0xCC);
        } else {
            EXPECT_EQ(std::memcmp(back.Value.SecureId, key.Bytes, 32), 0);
        }
    }
}

TEST(IdentityKey, OtherTypesAndNullPackToZero) {
    const WINBIO_IDENTITY_TYPE types[] = {WINBIO_ID_TYPE_NULL, WINBIO_ID_TYPE_WILDCARD, 5,
                                          0xFFFFFFFFu};
    for (WINBIO_IDENTITY_TYPE type : types) {
        WINBIO_IDENTITY id;
        std::memset(&id, 0x5A, sizeof(id));
        id.Type = type;
        IdentityKey key;
        std::memset(&key, 0xEE, sizeof(key));
        PackIdentityKey(&id, &key);
        EXPECT_EQ(moc_test::BytesOf(key.Bytes), std::vector<BYTE>(32, 0)) << type;
    }
    IdentityKey key;
    std::memset(&key, 0xEE, sizeof(key));
    PackIdentityKey(nullptr, &key);
    EXPECT_EQ(moc_test::BytesOf(key.Bytes), std::vector<BYTE>(32, 0));
    PackIdentityKey(nullptr, nullptr); // must not crash
}

} // namespace
