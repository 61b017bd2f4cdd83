#include "engine_fixture.h"

namespace engine_test {
namespace {

constexpr Finger kEnrolledFinger = 5;
constexpr Finger kOtherFinger = 6;
constexpr BYTE kSubFactor = WINBIO_ANSI_381_POS_RH_INDEX_FINGER;

MatchDetail Detail() {
    MatchDetail detail;
    for (DWORD i = 0; i < sizeof(detail); ++i) {
        reinterpret_cast<BYTE*>(&detail)[i] = static_cast<BYTE>(0x40 + i);
    }
    return detail;
}

// The report the chip should get after an identify with this result byte.
Bytes Report(BYTE resultByte, const MatchDetail& detail) {
    const Bytes bytes = BytesOf(detail);
    Bytes report(26);
    report[0] = MOC_MATCH_REPORT_KIND;
    report[1] = resultByte;
    std::copy(bytes.begin() + 4, bytes.end(), report.begin() + 2);
    return report;
}

class IdentifyTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        sensor->SetMatchDetail(Detail());
        Attach();
    }

    struct VerifyResult {
        HRESULT hr;
        BOOLEAN match;
        WINBIO_REJECT_DETAIL reject;
    };
    VerifyResult Verify(WINBIO_IDENTITY identity, WINBIO_BIOMETRIC_SUBTYPE subFactor) {
        VerifyResult r = {E_FAIL, 0xEE, 0xEEEE};
        PUCHAR payload = reinterpret_cast<PUCHAR>(1);
        SIZE_T payloadSize = 1;
        PUCHAR hash = reinterpret_cast<PUCHAR>(1);
        SIZE_T hashSize = 1;
        r.hr = engine->VerifyFeatureSet(&pipeline, &identity, subFactor, &r.match, &payload,
                                        &payloadSize, &hash, &hashSize, &r.reject);
        return r;
    }

    struct AuthenticatedResult {
        HRESULT hr;
        WINBIO_IDENTITY identity;
        WINBIO_BIOMETRIC_SUBTYPE subFactor;
        WINBIO_REJECT_DETAIL reject;
        PUCHAR authorization;
        SIZE_T authorizationSize;
    };
    AuthenticatedResult IdentifyAuthenticated(const Bytes& nonce) {
        AuthenticatedResult r = {};
        std::memset(&r.identity, 0xCC, sizeof(r.identity));
        r.authorization = reinterpret_cast<PUCHAR>(0x5A5A);
        r.authorizationSize = 0x5A5A;
        r.hr = engine->IdentifyFeatureSetAuthenticated(&pipeline, nonce.data(), nonce.size(),
                                                       &r.identity, &r.subFactor, &r.reject,
                                                       &r.authorization, &r.authorizationSize);
        return r;
    }
};

// The road of an identify at the desktop: the sample goes to the chip and is
// confirmed, the chip identifies, hears the outcome and gets the report.
TEST_F(IdentifyTest, RoadOfAnIdentify) {
    const WINBIO_IDENTITY account = SidIdentity(0x30);
    sensor->Enroll(3, KeyOf(account), kSubFactor, kEnrolledFinger);
    ASSERT_EQ(Accept(kEnrolledFinger), S_OK);
    const IdentifyResult r = Identify();
    ASSERT_EQ(r.hr, S_OK);
    EXPECT_EQ(r.identity.Type, WINBIO_ID_TYPE_SID);
    EXPECT_EQ(r.identity.Value.AccountSid.Size, 28u);
    EXPECT_EQ(BytesOf(r.identity.Value.AccountSid.Data, 28),
              BytesOf(account.Value.AccountSid.Data, 28));
    EXPECT_EQ(BytesOf(r.identity.Value.AccountSid.Data + 28, 40), Bytes(40, 0));
    EXPECT_EQ(r.subFactor, kSubFactor);
    EXPECT_EQ(r.reject, 0u);

    const auto log = Requests();
    ASSERT_EQ(Codes(log), (std::vector<DWORD>{IOCTL_MOC_ACCEPT_SAMPLE, IOCTL_MOC_CONFIRM_SAMPLE,
                                              IOCTL_MOC_IDENTIFY, IOCTL_MOC_SET_MATCH_RESULT,
                                              IOCTL_MOC_REPORT_MATCH}));
    EXPECT_EQ(log[0].input, Bytes{WINBIO_PURPOSE_IDENTIFY});
    EXPECT_EQ(log[1].input[0], 0);
    EXPECT_TRUE(log[2].input.empty());
    EXPECT_EQ(log[2].outputCapacity, 94u);
    EXPECT_EQ(log[3].input, Bytes{MOC_MATCH_RESULT_MATCH});
    EXPECT_EQ(log[4].input, Report(MOC_MATCH_RESULT_MATCH, Detail()));
    for (const auto& request : log) {
        EXPECT_FALSE(request.overlapped);
        EXPECT_TRUE(request.answered);
        EXPECT_EQ(request.error, 0u);
    }
}

TEST_F(IdentifyTest, IdentifyOutcomes) {
    sensor->Enroll(0, KeyOf(SidIdentity(0x30)), kSubFactor, kEnrolledFinger);
    sensor->Enroll(1, KeyOf(SecureIdentity(0x70)), WINBIO_ANSI_381_POS_LH_THUMB, 9);
    const MatchDetail zero = {};
    struct Case {
        const char* name;
        Finger finger;
        BYTE acceptStatus;
        bool failIdentify;
        HRESULT hr;
        WINBIO_BIOMETRIC_SUBTYPE subFactor;
        WINBIO_REJECT_DETAIL reject;
        BYTE resultByte;
        MatchDetail detail;
    } cases[] = {
        {"account", kEnrolledFinger, 0, false, S_OK, kSubFactor, 0, 0, Detail()},
        {"secure identity", 9, 0, false, WINBIO_E_UNKNOWN_ID, WINBIO_ANSI_381_POS_LH_THUMB, 0, 0,
         Detail()},
        {"no template", kOtherFinger, 0, false, WINBIO_E_UNKNOWN_ID, 0, 0, 11, Detail()},
        {"skewed sample", kEnrolledFinger, MOC_STATUS_TOO_SKEWED, false, WINBIO_E_BAD_CAPTURE, 0,
         WINBIO_FP_TOO_SKEWED, 11, Detail()},
        {"poor sample", kEnrolledFinger, WINBIO_FP_POOR_QUALITY, false, WINBIO_E_BAD_CAPTURE, 0,
         WINBIO_FP_POOR_QUALITY, 11, Detail()},
        {"identify request fails", kEnrolledFinger, 0, true, static_cast<HRESULT>(0xEE05001Fu), 0,
         0, 11, zero},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Accept(c.finger, c.acceptStatus);
        sensor->ClearLog();
        if (c.failIdentify) {
            sensor->FailNext(IOCTL_MOC_IDENTIFY, 31);
        }
        const IdentifyResult r = Identify();
        EXPECT_EQ(r.hr, c.hr);
        EXPECT_EQ(r.subFactor, c.subFactor);
        EXPECT_EQ(r.reject, c.reject);
        if (c.hr != S_OK) {
            EXPECT_EQ(BytesOf(r.identity), Bytes(sizeof(WINBIO_IDENTITY), 0));
        }
        EXPECT_EQ(sensor->LastMatchResult(), c.resultByte);
        EXPECT_EQ(sensor->LastMatchReport(), Report(c.resultByte, c.detail));
        // The chip's own result is kept, before the identity is looked at.
        EXPECT_EQ(Context()->LastMatchResult, c.resultByte == 0 ? S_OK : c.hr);
        EXPECT_EQ(BytesOf(Context()->LastMatchDetail), BytesOf(c.detail));
    }
}

// The outcome request failing ends every identify operation there: no
// statistics, no report, nothing handed out.
TEST_F(IdentifyTest, MatchResultRequestFailureEndsTheOperation) {
    const WINBIO_IDENTITY account = SidIdentity(0x30);
    sensor->Enroll(0, KeyOf(account), kSubFactor, kEnrolledFinger);
    struct Case {
        DWORD error;
        HRESULT hr;
    } cases[] = {{ERROR_CANCELLED, WINBIO_E_CANCELED}, {ERROR_BUSY, WINBIO_E_DEVICE_FAILURE}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        Accept(kEnrolledFinger);
        sensor->FailNext(IOCTL_MOC_SET_MATCH_RESULT, c.error);
        sensor->ClearLog();
        const IdentifyResult r = Identify();
        EXPECT_EQ(r.hr, c.hr);
        EXPECT_EQ(BytesOf(r.identity), Bytes(sizeof(WINBIO_IDENTITY), 0));

        Accept(kEnrolledFinger);
        sensor->FailNext(IOCTL_MOC_SET_MATCH_RESULT, c.error);
        const VerifyResult v = Verify(account, kSubFactor);
        EXPECT_EQ(v.hr, c.hr);
        EXPECT_EQ(v.match, FALSE);

        Accept(kEnrolledFinger);
        sensor->FailNext(IOCTL_MOC_SET_MATCH_RESULT, c.error);
        EXPECT_EQ(IdentifyAuthenticated(Bytes(32, 0x11)).hr, c.hr);

        EXPECT_EQ(sensor->CountOf(IOCTL_MOC_REPORT_MATCH), 0u);
    }
}

TEST_F(IdentifyTest, VerifyMatchesOnlyTheSameAccountAndFinger) {
    const WINBIO_IDENTITY account = SidIdentity(0x30);
    sensor->Enroll(0, KeyOf(account), kSubFactor, kEnrolledFinger);
    sensor->Enroll(1, KeyOf(SecureIdentity(0x70)), kSubFactor, 9);
    WINBIO_IDENTITY overlong = account;
    overlong.Value.AccountSid.Size = SECURITY_MAX_SID_SIZE + 100;
    WINBIO_IDENTITY padded = SidIdentity(0x30, 29);
    padded.Value.AccountSid.Data[28] = 0;
    struct Case {
        const char* name;
        WINBIO_IDENTITY identity;
        WINBIO_BIOMETRIC_SUBTYPE subFactor;
        Finger finger;
        BYTE acceptStatus;
        HRESULT hr;
        BOOLEAN match;
        BYTE resultByte;
    } cases[] = {
        {"same account and finger", account, kSubFactor, kEnrolledFinger, 0, S_OK, TRUE, 0},
        {"any finger", account, WINBIO_SUBTYPE_ANY, kEnrolledFinger, 0, S_OK, TRUE, 0},
        {"another finger", account, WINBIO_ANSI_381_POS_LH_THUMB, kEnrolledFinger, 0,
         WINBIO_E_NO_MATCH, FALSE, 0},
        {"another account", SidIdentity(0x31), kSubFactor, kEnrolledFinger, 0, WINBIO_E_NO_MATCH,
         FALSE, 0},
        // A prefix, or nothing at all, of the chip's account is not that account.
        {"prefix of the account", SidIdentity(0x30, 12), kSubFactor, kEnrolledFinger, 0,
         WINBIO_E_NO_MATCH, FALSE, 0},
        {"empty SID", SidIdentity(0x30, 0), kSubFactor, kEnrolledFinger, 0, WINBIO_E_NO_MATCH,
         FALSE, 0},
        {"SID longer than the chip keeps", padded, kSubFactor, kEnrolledFinger, 0,
         WINBIO_E_NO_MATCH, FALSE, 0},
        {"size past the record", overlong, kSubFactor, kEnrolledFinger, 0, WINBIO_E_NO_MATCH, FALSE,
         0},
        {"secure identity", SecureIdentity(0x70), kSubFactor, 9, 0, WINBIO_E_NO_MATCH, FALSE, 0},
        {"chip finds nothing", account, kSubFactor, kOtherFinger, 0, WINBIO_E_NO_MATCH, FALSE, 11},
        {"poor sample", account, kSubFactor, kEnrolledFinger, WINBIO_FP_POOR_QUALITY,
         WINBIO_E_BAD_CAPTURE, FALSE, 11},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Accept(c.finger, c.acceptStatus);
        sensor->ClearLog();
        const VerifyResult r = Verify(c.identity, c.subFactor);
        EXPECT_EQ(r.hr, c.hr);
        EXPECT_EQ(r.match, c.match);
        EXPECT_EQ(r.reject, c.acceptStatus);
        // Verify tells the chip the outcome but counts and reports nothing.
        EXPECT_EQ(Codes(Requests()),
                  (std::vector<DWORD>{IOCTL_MOC_IDENTIFY, IOCTL_MOC_SET_MATCH_RESULT}));
        EXPECT_EQ(sensor->LastMatchResult(), c.resultByte);
    }

    // A sub-factor of 0 is refused before anything is touched or sent.
    Accept(kEnrolledFinger);
    sensor->ClearLog();
    const VerifyResult r = Verify(account, 0);
    EXPECT_EQ(r.hr, E_INVALIDARG);
    EXPECT_EQ(r.match, 0xEE);
    EXPECT_EQ(r.reject, 0xEEEEu);
    EXPECT_TRUE(Requests().empty());
}

TEST_F(IdentifyTest, AuthenticatedIdentifyHandsOutTheChipsAuthorization) {
    const WINBIO_IDENTITY secure = SecureIdentity(0x70);
    sensor->Enroll(0, KeyOf(secure), kSubFactor, kEnrolledFinger);
    PUCHAR first = nullptr;
    for (BYTE seed : {0x11, 0x22}) {
        SCOPED_TRACE(int(seed));
        const Bytes nonce(32, seed);
        Accept(kEnrolledFinger);
        sensor->ClearLog();
        const AuthenticatedResult r = IdentifyAuthenticated(nonce);
        ASSERT_EQ(r.hr, S_OK);
        EXPECT_EQ(r.identity.Type, WINBIO_ID_TYPE_SECURE_ID);
        EXPECT_EQ(BytesOf(r.identity.Value.SecureId), BytesOf(secure.Value.SecureId));
        EXPECT_EQ(r.subFactor, kSubFactor);
        ASSERT_EQ(r.authorizationSize, 32u);
        ASSERT_NE(r.authorization, nullptr);
        EXPECT_EQ(BytesOf(r.authorization, 32),
                  SimulatedSensor::Authorization({}, nonce.data(), KeyOf(secure), kSubFactor));
        EXPECT_EQ(Requests()[0].input, nonce);
        // One buffer, overwritten by the next authenticated identify.
        if (first != nullptr) {
            EXPECT_EQ(r.authorization, first);
        }
        first = r.authorization;
        EXPECT_EQ(sensor->LastMatchReport(), Report(0, Detail()));
    }

    // An account template identified with a nonce still comes back as a secure identity.
    const WINBIO_IDENTITY account = SidIdentity(0x30);
    sensor->Enroll(1, KeyOf(account), kSubFactor, kOtherFinger);
    Accept(kOtherFinger);
    AuthenticatedResult r = IdentifyAuthenticated(Bytes(32, 0x33));
    ASSERT_EQ(r.hr, S_OK);
    EXPECT_EQ(r.identity.Type, WINBIO_ID_TYPE_SECURE_ID);

    // Without a match no authorization is handed out.
    Accept(9);
    r = IdentifyAuthenticated(Bytes(32, 0x44));
    EXPECT_EQ(r.hr, WINBIO_E_UNKNOWN_ID);
    EXPECT_EQ(r.authorization, nullptr);
    EXPECT_EQ(r.authorizationSize, 0u);
    EXPECT_EQ(BytesOf(r.identity), Bytes(sizeof(WINBIO_IDENTITY), 0));
}

// A nonce of size 0 makes the chip identify without one: the identity may be
// an account, and the authorization of an earlier identify is not handed out
// as this one's.
TEST_F(IdentifyTest, AuthenticatedIdentifyWithoutNonceHandsOutNoAuthorization) {
    const WINBIO_IDENTITY account = SidIdentity(0x30);
    sensor->Enroll(0, KeyOf(account), kSubFactor, kEnrolledFinger);
    Accept(kEnrolledFinger);
    ASSERT_EQ(IdentifyAuthenticated(Bytes(32, 0x11)).hr, S_OK);

    Accept(kEnrolledFinger);
    sensor->ClearLog();
    const Bytes empty(1, 0);
    AuthenticatedResult r = {};
    r.authorization = reinterpret_cast<PUCHAR>(0x5A5A);
    r.authorizationSize = 0x5A5A;
    r.hr = engine->IdentifyFeatureSetAuthenticated(&pipeline, empty.data(), 0, &r.identity,
                                                   &r.subFactor, &r.reject, &r.authorization,
                                                   &r.authorizationSize);
    ASSERT_EQ(r.hr, S_OK);
    EXPECT_TRUE(Requests()[0].input.empty());
    EXPECT_EQ(r.identity.Type, WINBIO_ID_TYPE_SID);
    EXPECT_EQ(r.authorization, nullptr);
    EXPECT_EQ(r.authorizationSize, 0u);
}

// The request carries a 32-bit nonce size: one past it is refused, not cut
// down to a nonce the chip would take (or to none, which would sign in
// without an authorization).
TEST_F(IdentifyTest, AuthenticatedIdentifyRefusesANonceSizePastThirtyTwoBits) {
    sensor->Enroll(0, KeyOf(SidIdentity(0x30)), kSubFactor, kEnrolledFinger);
    const Bytes nonce(64, 0x11);
    for (SIZE_T size : {SIZE_T{1} << 32, (SIZE_T{1} << 32) + 32, ~SIZE_T{0}}) {
        SCOPED_TRACE(size);
        Accept(kEnrolledFinger);
        sensor->ClearLog();
        AuthenticatedResult r = {};
        std::memset(&r.identity, 0xCC, sizeof(r.identity));
        r.authorization = reinterpret_cast<PUCHAR>(0x5A5A);
        r.hr = engine->IdentifyFeatureSetAuthenticated(&pipeline, nonce.data(), size, &r.identity,
                                                       &r.subFactor, &r.reject, &r.authorization,
                                                       &r.authorizationSize);
        EXPECT_EQ(r.hr, E_INVALIDARG);
        EXPECT_TRUE(Requests().empty());
        EXPECT_EQ(BytesOf(r.identity), Bytes(sizeof(r.identity), 0xCC));
        EXPECT_EQ(r.authorization, reinterpret_cast<PUCHAR>(0x5A5A));
    }
}

TEST_F(IdentifyTest, PointersAndContext) {
    WINBIO_IDENTITY identity;
    WINBIO_BIOMETRIC_SUBTYPE subFactor = 0x77;
    PUCHAR blob = nullptr;
    SIZE_T size = 0;
    WINBIO_REJECT_DETAIL reject = 0;
    BOOLEAN match = 0x55;
    EXPECT_EQ(engine->IdentifyFeatureSet(&pipeline, &identity, &subFactor, &blob, &size, nullptr,
                                         &size, &reject),
              E_POINTER);
    EXPECT_EQ(engine->VerifyFeatureSet(&pipeline, &identity, 1, &match, &blob, &size, &blob,
                                       nullptr, &reject),
              E_POINTER);
    const Bytes nonce(32, 1);
    EXPECT_EQ(engine->IdentifyFeatureSetAuthenticated(&pipeline, nullptr, 32, &identity, &subFactor,
                                                      &reject, &blob, &size),
              E_POINTER);
    ASSERT_EQ(engine->Detach(&pipeline), S_OK);

    // Identify clears its outputs before it looks for the context.
    std::memset(&identity, 0xCC, sizeof(identity));
    EXPECT_EQ(engine->IdentifyFeatureSet(&pipeline, &identity, &subFactor, &blob, &size, &blob,
                                         &size, &reject),
              WINBIO_E_INVALID_DEVICE_STATE);
    EXPECT_EQ(BytesOf(identity), Bytes(sizeof(identity), 0));
    EXPECT_EQ(subFactor, 0);
    // The authenticated identify leaves them as they were.
    std::memset(&identity, 0xCC, sizeof(identity));
    EXPECT_EQ(engine->IdentifyFeatureSetAuthenticated(&pipeline, nonce.data(), 32, &identity,
                                                      &subFactor, &reject, &blob, &size),
              WINBIO_E_INVALID_DEVICE_STATE);
    EXPECT_EQ(BytesOf(identity), Bytes(sizeof(identity), 0xCC));
    EXPECT_EQ(engine->VerifyFeatureSet(&pipeline, &identity, 1, &match, &blob, &size, &blob, &size,
                                       &reject),
              WINBIO_E_INVALID_DEVICE_STATE);
    EXPECT_EQ(match, 0x55);
    EXPECT_TRUE(Requests().empty());
}

} // namespace
} // namespace engine_test
