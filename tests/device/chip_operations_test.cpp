#include <gtest/gtest.h>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>
#include "device/device_objects.h"
#include "device/device_request.h"
#include "device/identity_key.h"
#include "platform/test.h"
#include "simsensor/simulated_sensor.h"
#include "support/bytes.h"
#include "support/sample_capture.h"

namespace {

using moc_test::Bytes;
using moc_test::BytesOf;
using simsensor::Presentation;
using simsensor::SimulatedSensor;

IdentityKey KeyOf(BYTE first, bool sidShaped) {
    IdentityKey key;
    for (DWORD i = 0; i < 32; ++i) {
        key.Bytes[i] = static_cast<BYTE>(first + i);
    }
    if (sidShaped) {
        std::memset(key.Bytes + 28, 0, 4);
    }
    return key;
}

// The key the simulated sensor signs authorizations with unless told otherwise.
Bytes DefaultAuthorizationKey() {
    Bytes key(32);
    for (size_t i = 0; i < key.size(); ++i) {
        key[i] = static_cast<uint8_t>(0xA0 + i);
    }
    return key;
}

MatchDetail DetailOf(BYTE first) {
    MatchDetail detail;
    for (DWORD i = 0; i < sizeof(detail); ++i) {
        reinterpret_cast<BYTE*>(&detail)[i] = static_cast<BYTE>(first + i);
    }
    return detail;
}

class ChipOperationsTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::test::ResetAll();
        sensor = std::make_shared<SimulatedSensor>();
        pipeline = {};
        pipeline.SensorHandle = platform::test::OpenDevice(sensor);
        ASSERT_NE(pipeline.SensorHandle, INVALID_HANDLE_VALUE);
        ASSERT_EQ(MocCreateEngineDevice(&pipeline, &engine), S_OK);
        ASSERT_EQ(MocCreateStorageDevice(&pipeline, &storage), S_OK);
        sensor->SetMatchDetail(detail);
        std::memset(&identity, 0xCC, sizeof(identity));
    }
    void TearDown() override {
        MocDestroyEngineDevice(engine);
        MocDestroyStorageDevice(storage);
        CloseHandle(pipeline.SensorHandle);
        platform::test::ResetAll();
    }

    // Captures, accepts and confirms one presentation of `finger` for `purpose`, as the
    // engine does before an identify or an enrollment step.
    void Present(simsensor::Finger finger, BYTE acceptStatus = 0,
                 BYTE purpose = WINBIO_PURPOSE_IDENTIFY) {
        Presentation p;
        p.finger = finger;
        p.acceptStatus = acceptStatus;
        sensor->PresentFinger(p);
        ASSERT_FALSE(moc_test::CaptureSample(pipeline.SensorHandle, purpose).empty());
        DWORD status = 0xFFFF;
        DWORD returned = 0;
        ULONG64 token = 0;
        ASSERT_EQ(MocAcceptSample(engine, purpose, &status, &token), S_OK);
        MocConfirmSampleRequest confirm = {};
        confirm.Status = static_cast<BYTE>(status);
        confirm.SampleToken = token;
        ASSERT_TRUE(DeviceIoControl(pipeline.SensorHandle, IOCTL_MOC_CONFIRM_SAMPLE, &confirm,
                                    sizeof(confirm), nullptr, 0, &returned, nullptr));
        sensor->ClearLog();
    }

    simsensor::LoggedRequest OnlyRequest() {
        const auto log = sensor->Log();
        EXPECT_EQ(log.size(), 1u);
        return log.empty() ? simsensor::LoggedRequest{} : log.back();
    }

    std::shared_ptr<SimulatedSensor> sensor;
    WINBIO_PIPELINE pipeline;
    CMocEngineDevice* engine = nullptr;
    CMocStorageDevice* storage = nullptr;
    const MatchDetail detail = DetailOf(0x60);
    WINBIO_IDENTITY identity;
};

// ---------------------------------------------------------------------------
// Identify
// ---------------------------------------------------------------------------

TEST_F(ChipOperationsTest, IdentifySendsTheNonceAndUnpacksTheMatch) {
    struct Case {
        const char* what;
        bool sidShapedKey;
        DWORD nonceLength; // 0 with a non-null pointer is an identify without nonce
        WINBIO_IDENTITY_TYPE expectedType;
    } cases[] = {
        {"28-byte SID without nonce", true, 0, WINBIO_ID_TYPE_SID},
        {"secure id without nonce", false, 0, WINBIO_ID_TYPE_SECURE_ID},
        {"SID-shaped key with nonce", true, 32, WINBIO_ID_TYPE_SECURE_ID},
        {"secure id with nonce", false, 32, WINBIO_ID_TYPE_SECURE_ID},
    };
    const Bytes nonce = BytesOf(KeyOf(0x90, false).Bytes, 32);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const IdentityKey key = KeyOf(0x21, c.sidShapedKey);
        sensor->Enroll(6, key, WINBIO_ANSI_381_POS_LH_RING_FINGER, 42);
        Present(42);

        BYTE subFactor = 0xEE;
        DWORD reject = 0xEE;
        PUCHAR authorization = nullptr;
        SIZE_T authorizationSize = 0;
        MatchDetail out;
        std::memset(&out, 0xCC, sizeof(out));
        ASSERT_EQ(MocIdentify(engine, nonce.data(), c.nonceLength, &identity, &subFactor, &reject,
                              &authorization, &authorizationSize, &out),
                  S_OK);

        const auto request = OnlyRequest();
        EXPECT_EQ(request.code, IOCTL_MOC_IDENTIFY);
        EXPECT_EQ(request.input, Bytes(nonce.begin(), nonce.begin() + c.nonceLength));
        EXPECT_EQ(request.outputCapacity, 94u);
        EXPECT_FALSE(request.overlapped);

        EXPECT_EQ(subFactor, WINBIO_ANSI_381_POS_LH_RING_FINGER);
        EXPECT_EQ(reject, 0u);
        EXPECT_EQ(identity.Type, c.expectedType);
        if (c.expectedType == WINBIO_ID_TYPE_SID) {
            EXPECT_EQ(identity.Value.AccountSid.Size, 28u);
            EXPECT_EQ(BytesOf(identity.Value.AccountSid.Data, 28), BytesOf(key.Bytes, 28));
        } else {
            EXPECT_EQ(BytesOf(identity.Value.SecureId, 32), BytesOf(key.Bytes, 32));
        }
        EXPECT_EQ(BytesOf(&out, sizeof(out)), BytesOf(&detail, sizeof(detail)));
        if (c.nonceLength != 0) {
            ASSERT_EQ(authorization, engine->Authorization);
            EXPECT_EQ(authorizationSize, 32u);
            EXPECT_EQ(BytesOf(authorization, 32),
                      SimulatedSensor::Authorization(DefaultAuthorizationKey(), nonce.data(), key,
                                                     WINBIO_ANSI_381_POS_LH_RING_FINGER));
        } else {
            EXPECT_EQ(authorization, nullptr);
            EXPECT_EQ(authorizationSize, 0u);
        }
    }
}

TEST_F(ChipOperationsTest, IdentifyStatusesGiveTheirResultsAndStillTheDetail) {
    struct Case {
        BYTE status;
        bool withNonce;
        HRESULT result;
        DWORD reject;
    } cases[] = {
        {MOC_STATUS_NO_MATCH, false, WINBIO_E_UNKNOWN_ID, 0},
        {MOC_STATUS_TOO_SKEWED, false, WINBIO_E_BAD_CAPTURE, WINBIO_FP_TOO_SKEWED},
        {WINBIO_FP_POOR_QUALITY, false, WINBIO_E_BAD_CAPTURE, WINBIO_FP_POOR_QUALITY},
        {MOC_STATUS_NO_MATCH, true, WINBIO_E_UNKNOWN_ID, 0},
        {0x42, true, WINBIO_E_BAD_CAPTURE, 0x42},
    };
    const Bytes nonce(32, 0x5A);
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.status));
        MocIdentifyResponse reply;
        std::memset(&reply, 0x33, sizeof(reply));
        reply.Status = c.status;
        reply.Tail.WithNonce.Detail = DetailOf(0x70);
        reply.Tail.WithoutNonce.Detail = DetailOf(0x10);
        sensor->ReplyWith(IOCTL_MOC_IDENTIFY, BytesOf(&reply, sizeof(reply)));

        std::memset(&identity, 0xCC, sizeof(identity));
        BYTE subFactor = 0xEE;
        DWORD reject = 0xEE;
        MatchDetail out;
        EXPECT_EQ(MocIdentify(engine, c.withNonce ? nonce.data() : nullptr, c.withNonce ? 32 : 0,
                              &identity, &subFactor, &reject, nullptr, nullptr, &out),
                  c.result);
        EXPECT_EQ(reject, c.reject);
        EXPECT_EQ(subFactor, 0);
        EXPECT_EQ(BytesOf(&identity, sizeof(identity)), Bytes(sizeof(identity), 0));
        const MatchDetail expected = c.withNonce ? DetailOf(0x70) : DetailOf(0x10);
        EXPECT_EQ(BytesOf(&out, sizeof(out)), BytesOf(&expected, sizeof(expected)));
    }
}

TEST_F(ChipOperationsTest, IdentifyFailureClearsEveryOutValue) {
    sensor->FailNext(IOCTL_MOC_IDENTIFY, ERROR_GEN_FAILURE);
    BYTE subFactor = 0xEE;
    DWORD reject = 0xEE;
    MatchDetail out;
    std::memset(&out, 0xCC, sizeof(out));
    EXPECT_EQ(static_cast<DWORD>(MocIdentify(engine, nullptr, 0, &identity, &subFactor, &reject,
                                             nullptr, nullptr, &out)),
              0xEE05001Fu);
    EXPECT_EQ(BytesOf(&identity, sizeof(identity)), Bytes(sizeof(identity), 0));
    EXPECT_EQ(subFactor, 0);
    EXPECT_EQ(reject, 0u);
    EXPECT_EQ(BytesOf(&out, sizeof(out)), Bytes(sizeof(out), 0));
}

TEST_F(ChipOperationsTest, ShortIdentifyReplyIsAFailureNeverAZeroIdentityMatch) {
    struct Case {
        DWORD nonceLength;
        DWORD bytes;
    } cases[] = {{0, 0}, {0, 1}, {0, 34}, {0, 61}, {32, 62}, {32, 93}};
    const Bytes nonce(32, 0x5A);
    sensor->Enroll(0, KeyOf(0x21, false), 2, 42);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        Present(42);
        sensor->ReplyShort(IOCTL_MOC_IDENTIFY, c.bytes);
        BYTE subFactor = 0xEE;
        DWORD reject = 0xEE;
        PUCHAR authorization = nullptr;
        EXPECT_EQ(
            static_cast<DWORD>(MocIdentify(engine, nonce.data(), c.nonceLength, &identity,
                                           &subFactor, &reject, &authorization, nullptr, nullptr)),
            0xEE05000Du);
        EXPECT_EQ(identity.Type, WINBIO_ID_TYPE_NULL);
        EXPECT_EQ(authorization, nullptr);
    }
    // Even an empty "successful" reply.
    sensor->ReplyWith(IOCTL_MOC_IDENTIFY, {});
    BYTE subFactor = 0;
    DWORD reject = 0;
    EXPECT_EQ(static_cast<DWORD>(MocIdentify(engine, nullptr, 0, &identity, &subFactor, &reject,
                                             nullptr, nullptr, nullptr)),
              0xEE05000Du);
}

// ---------------------------------------------------------------------------
// Accept sample
// ---------------------------------------------------------------------------

TEST_F(ChipOperationsTest, AcceptSampleSendsThePurposeAndReportsStatusAndToken) {
    struct Case {
        BYTE chipStatus;
        DWORD reported;
    } cases[] = {{0, 0}, {MOC_STATUS_TOO_SKEWED, WINBIO_FP_TOO_SKEWED}, {7, 7}, {0xFE, 0xFE}};
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.chipStatus));
        Presentation p;
        p.finger = 3;
        p.acceptStatus = c.chipStatus;
        sensor->PresentFinger(p);
        WINBIO_CAPTURE_PARAMETERS params = {};
        params.PayloadSize = sizeof(params);
        Bytes capture(161);
        DWORD returned = 0;
        ASSERT_TRUE(DeviceIoControl(pipeline.SensorHandle, IOCTL_BIOMETRIC_CAPTURE_DATA, &params,
                                    sizeof(params), capture.data(), 161, &returned, nullptr));
        sensor->ClearLog();

        DWORD status = 0xEEEE;
        ULONG64 token = 0;
        ASSERT_EQ(MocAcceptSample(engine, WINBIO_PURPOSE_ENROLL, &status, &token), S_OK);
        const auto request = OnlyRequest();
        EXPECT_EQ(request.code, IOCTL_MOC_ACCEPT_SAMPLE);
        EXPECT_EQ(request.input, Bytes{WINBIO_PURPOSE_ENROLL});
        EXPECT_EQ(request.outputCapacity, 9u);
        EXPECT_EQ(status, c.reported);
        EXPECT_EQ(token, sensor->LastSampleToken());
    }
}

TEST_F(ChipOperationsTest, FailedOrShortAcceptLeavesStatusZeroAndTokenUnwritten) {
    const std::function<void()> faults[] = {
        [&] { sensor->FailNext(IOCTL_MOC_ACCEPT_SAMPLE, ERROR_GEN_FAILURE); },
        [&] {
            sensor->ReplyWith(IOCTL_MOC_ACCEPT_SAMPLE, {0, 1, 2, 3, 4});
        },
    };
    for (const auto& fault : faults) {
        fault();
        DWORD status = 0xEEEE;
        ULONG64 token = 0x1234;
        EXPECT_TRUE(FAILED(MocAcceptSample(engine, 1, &status, &token)));
        EXPECT_EQ(status, 0u);
        EXPECT_EQ(token, 0x1234u);
    }
}

// ---------------------------------------------------------------------------
// Duplicate check
// ---------------------------------------------------------------------------

TEST_F(ChipOperationsTest, CheckDuplicateFindsTheStoredTemplateOfTheEnrolledFinger) {
    const IdentityKey key = KeyOf(0x41, false);
    sensor->Enroll(2, key, WINBIO_ANSI_381_POS_RH_THUMB, 7);
    ASSERT_EQ(MocBeginEnrollment(engine, 0, nullptr, nullptr), S_OK);
    Present(7, 0, WINBIO_PURPOSE_ENROLL);

    BYTE subFactor = 0;
    BYTE duplicate = 0;
    ASSERT_EQ(MocCheckDuplicate(engine, &identity, &subFactor, &duplicate), S_OK);
    const auto request = OnlyRequest();
    EXPECT_EQ(request.code, IOCTL_MOC_CHECK_DUPLICATE);
    EXPECT_TRUE(request.input.empty());
    EXPECT_EQ(request.outputCapacity, 35u);
    EXPECT_EQ(duplicate, 1);
    EXPECT_EQ(subFactor, WINBIO_ANSI_381_POS_RH_THUMB);
    EXPECT_EQ(identity.Type, WINBIO_ID_TYPE_SECURE_ID);
    EXPECT_EQ(BytesOf(identity.Value.SecureId, 32), BytesOf(key.Bytes, 32));
}

TEST_F(ChipOperationsTest, CheckDuplicateReadsTheKindAndLeavesOutValuesOnNoDuplicate) {
    struct Case {
        BYTE kind;
        BYTE matchStatus;
        BYTE duplicate;
        WINBIO_IDENTITY_TYPE type; // 0: identity untouched
    } cases[] = {
        {MOC_IDENTITY_KIND_SECURE_ID, 0, 1, WINBIO_ID_TYPE_SECURE_ID},
        {MOC_IDENTITY_KIND_SID, 0, 1, WINBIO_ID_TYPE_SID},
        {2, 0, 1, WINBIO_ID_TYPE_SID}, // a kind the interface does not name
        {MOC_IDENTITY_KIND_SECURE_ID, 1, 0, 0},
        {MOC_IDENTITY_KIND_SID, 0xFF, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.kind) * 1000 + c.matchStatus);
        MocDuplicateResponse reply;
        reply.IdentityKind = c.kind;
        reply.MatchStatus = c.matchStatus;
        reply.SubFactor = 9;
        reply.Key = KeyOf(0x51, false);
        sensor->ReplyWith(IOCTL_MOC_CHECK_DUPLICATE, BytesOf(&reply, sizeof(reply)));

        std::memset(&identity, 0xCC, sizeof(identity));
        const Bytes before = BytesOf(&identity, sizeof(identity));
        BYTE subFactor = 0xEE;
        BYTE duplicate = 0xEE;
        ASSERT_EQ(MocCheckDuplicate(engine, &identity, &subFactor, &duplicate), S_OK);
        EXPECT_EQ(duplicate, c.duplicate);
        if (c.type == 0) {
            EXPECT_EQ(BytesOf(&identity, sizeof(identity)), before);
            EXPECT_EQ(subFactor, 0xEE);
            continue;
        }
        EXPECT_EQ(subFactor, 9);
        EXPECT_EQ(identity.Type, c.type);
        if (c.type == WINBIO_ID_TYPE_SID) {
            EXPECT_EQ(identity.Value.AccountSid.Size, 28u);
            EXPECT_EQ(BytesOf(identity.Value.AccountSid.Data, 28), BytesOf(reply.Key.Bytes, 28));
            EXPECT_EQ(identity.Value.AccountSid.Data[28], 0xCC); // value fields only
        } else {
            EXPECT_EQ(BytesOf(identity.Value.SecureId, 32), BytesOf(reply.Key.Bytes, 32));
        }
    }
    // A failed or short check writes nothing.
    sensor->ReplyShort(IOCTL_MOC_CHECK_DUPLICATE, 2);
    BYTE subFactor = 0xEE;
    BYTE duplicate = 0xEE;
    EXPECT_EQ(static_cast<DWORD>(MocCheckDuplicate(engine, &identity, &subFactor, &duplicate)),
              0xEE08000Du);
    EXPECT_EQ(duplicate, 0xEE);
    EXPECT_EQ(subFactor, 0xEE);
}

// ---------------------------------------------------------------------------
// Enrollment
// ---------------------------------------------------------------------------

TEST_F(ChipOperationsTest, BeginEnrollmentSendsTheSlotAndHandsOutTheDeviceNonce) {
    MocEnrollmentNonce chipNonce;
    std::memcpy(chipNonce.Bytes, KeyOf(0x71, false).Bytes, 32);
    sensor->SetEnrollmentNonce(chipNonce);

    PUCHAR nonce = nullptr;
    SIZE_T nonceSize = 0;
    ASSERT_EQ(MocBeginEnrollment(engine, 3, &nonce, &nonceSize), S_OK);
    auto request = OnlyRequest();
    EXPECT_EQ(request.code, IOCTL_MOC_BEGIN_ENROLLMENT);
    EXPECT_EQ(request.input, Bytes{3});
    EXPECT_EQ(request.outputCapacity, 32u);
    ASSERT_EQ(nonce, engine->EnrollmentNonce);
    EXPECT_EQ(nonceSize, 32u);
    EXPECT_EQ(BytesOf(nonce, 32), BytesOf(chipNonce.Bytes, 32));

    // Without a nonce pointer no reply buffer is offered.
    sensor->ClearLog();
    ASSERT_EQ(MocBeginEnrollment(engine, 4, nullptr, nullptr), S_OK);
    EXPECT_EQ(OnlyRequest().outputCapacity, 0u);

    // A failed or short begin keeps the last nonce and hands out nothing.
    sensor->ReplyShort(IOCTL_MOC_BEGIN_ENROLLMENT, 16);
    PUCHAR again = nullptr;
    EXPECT_EQ(static_cast<DWORD>(MocBeginEnrollment(engine, 5, &again, &nonceSize)), 0xEE03000Du);
    EXPECT_EQ(again, nullptr);
    EXPECT_EQ(BytesOf(engine->EnrollmentNonce, 32), BytesOf(chipNonce.Bytes, 32));
}

TEST_F(ChipOperationsTest, CommitEnrollmentSendsSubFactorAndPackedKey) {
    WINBIO_IDENTITY guid = {};
    guid.Type = WINBIO_ID_TYPE_GUID;
    guid.Value.TemplateGuid = {0x01020304, 0x0506, 0x0708, {9, 10, 11, 12, 13, 14, 15, 16}};
    WINBIO_IDENTITY sid = {};
    sid.Type = WINBIO_ID_TYPE_SID;
    sid.Value.AccountSid.Size = 12;
    std::memcpy(sid.Value.AccountSid.Data, KeyOf(0xA1, false).Bytes, 12);

    const WINBIO_IDENTITY* identities[] = {&guid, &sid};
    BYTE slot = 1;
    for (const WINBIO_IDENTITY* id : identities) {
        ASSERT_EQ(MocBeginEnrollment(engine, slot, nullptr, nullptr), S_OK);
        // The chip commits only the samples its capabilities ask for (4 by default).
        for (int i = 0; i < 4; ++i) {
            Present(20 + slot, 0, WINBIO_PURPOSE_ENROLL);
        }
        ASSERT_EQ(MocCommitEnrollment(engine, id, WINBIO_ANSI_381_POS_LH_INDEX_FINGER), S_OK);
        IdentityKey key;
        PackIdentityKey(id, &key);
        Bytes expected{WINBIO_ANSI_381_POS_LH_INDEX_FINGER};
        expected.insert(expected.end(), key.Bytes, key.Bytes + 32);
        const auto request = OnlyRequest();
        EXPECT_EQ(request.code, IOCTL_MOC_COMMIT_ENROLLMENT);
        EXPECT_EQ(request.input, expected);
        EXPECT_EQ(request.outputCapacity, 0u);
        const simsensor::SimSlot stored = sensor->Slot(slot);
        EXPECT_EQ(stored.state, MOC_SLOT_STATE_USED);
        EXPECT_TRUE(IdentityKeyEqual(stored.key, key));
        ++slot;
    }
    EXPECT_EQ(guid.Type, WINBIO_ID_TYPE_GUID); // read only
}

// ---------------------------------------------------------------------------
// Template table
// ---------------------------------------------------------------------------

TEST_F(ChipOperationsTest, DeleteTemplateSendsTheSlotFromAnyDeviceObject) {
    for (BYTE i = 0; i < 3; ++i) {
        sensor->Enroll(i, KeyOf(i, false), 1, 100 + i);
    }
    ASSERT_EQ(MocDeleteTemplate(storage, 1), S_OK);
    const auto request = OnlyRequest();
    EXPECT_EQ(request.code, IOCTL_MOC_DELETE_TEMPLATE);
    EXPECT_EQ(request.input, Bytes{1});
    EXPECT_EQ(request.outputCapacity, 0u);
    EXPECT_EQ(sensor->Slot(1).state, MOC_SLOT_STATE_FREE);
    EXPECT_EQ(sensor->Slot(0).state, MOC_SLOT_STATE_USED);

    ASSERT_EQ(MocDeleteTemplate(engine, MOC_TEMPLATE_SLOT_ALL), S_OK);
    for (const simsensor::SimSlot& slot : sensor->Table()) {
        EXPECT_EQ(slot.state, MOC_SLOT_STATE_FREE);
    }
}

TEST_F(ChipOperationsTest, ReadTemplateTableReadsBothEntryForms) {
    struct Case {
        BYTE ownerIdMode;
        BYTE slots;
    } cases[] = {{0, 10}, {1, 4}};
    HostOwnerId owner;
    for (DWORD i = 0; i < 16; ++i) {
        owner.Bytes[i] = static_cast<BYTE>(0xD0 + i);
    }
    sensor->SetHostOwnerId(owner);
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.ownerIdMode));
        MocCapabilities caps = {5, c.slots, c.ownerIdMode, 0, {}};
        sensor->SetCapabilities(caps);
        const IdentityKey key = KeyOf(0x31, true);
        sensor->Enroll(2, key, 4, 9);
        sensor->ClearLog();

        const DWORD size = c.slots * TemplateSlotEntrySize(caps);
        Bytes table(size, 0xCC);
        ASSERT_EQ(MocReadTemplateTable(storage, table.data(), size), S_OK);
        const auto request = OnlyRequest();
        EXPECT_EQ(request.code, IOCTL_MOC_READ_TEMPLATE_TABLE);
        EXPECT_TRUE(request.input.empty());
        EXPECT_EQ(request.outputCapacity, size);

        const BYTE* entry = table.data() + 2 * TemplateSlotEntrySize(caps);
        EXPECT_EQ(entry[0], MOC_SLOT_STATE_USED);
        EXPECT_EQ(entry[1], MOC_IDENTITY_KIND_SID);
        EXPECT_EQ(entry[2], 4);
        EXPECT_EQ(BytesOf(entry + 3, 32), BytesOf(key.Bytes, 32));
        if (c.ownerIdMode != 0) {
            EXPECT_EQ(BytesOf(entry + 36, 16), BytesOf(owner.Bytes, 16));
        }
        EXPECT_EQ(table[0], MOC_SLOT_STATE_FREE);
        sensor->SetSlot(2, simsensor::SimSlot{});
    }
}

TEST_F(ChipOperationsTest, FailedOrShortTableReadLeavesTheCallersBuffer) {
    sensor->Enroll(0, KeyOf(1, false), 1, 5);
    const std::function<void()> faults[] = {
        [&] { sensor->FailNext(IOCTL_MOC_READ_TEMPLATE_TABLE, ERROR_GEN_FAILURE); },
        // Slots past the reply's end would otherwise read as free.
        [&] { sensor->ReplyShort(IOCTL_MOC_READ_TEMPLATE_TABLE, 35 * 9); },
        [&] { sensor->ReplyWith(IOCTL_MOC_READ_TEMPLATE_TABLE, {}); },
    };
    const DWORD expected[] = {0xEF02001Fu, 0xEF02000Du, 0xEF02000Du};
    for (size_t i = 0; i < 3; ++i) {
        faults[i]();
        Bytes table(350, 0xCC);
        EXPECT_EQ(static_cast<DWORD>(MocReadTemplateTable(engine, table.data(), 350)), expected[i]);
        EXPECT_EQ(table, Bytes(350, 0xCC));
    }
}

// ---------------------------------------------------------------------------
// Failure families and bad input
// ---------------------------------------------------------------------------

TEST_F(ChipOperationsTest, EveryOperationReportsItsFamilyWithTheMaskedError) {
    struct Case {
        const char* name;
        DWORD code;
        HRESULT family;
        std::function<HRESULT()> run;
    };
    BYTE subFactor = 0;
    BYTE flag = 0;
    DWORD detail32 = 0;
    PUCHAR nonce = nullptr;
    SIZE_T size = 0;
    BYTE table[350];
    const Case cases[] = {
        {"begin", IOCTL_MOC_BEGIN_ENROLLMENT, MOC_E_BEGIN_ENROLLMENT,
         [&] { return MocBeginEnrollment(engine, 0, &nonce, &size); }},
        {"commit", IOCTL_MOC_COMMIT_ENROLLMENT, MOC_E_COMMIT_ENROLLMENT,
         [&] { return MocCommitEnrollment(engine, &identity, 1); }},
        {"identify", IOCTL_MOC_IDENTIFY, MOC_E_IDENTIFY,
         [&] {
             return MocIdentify(engine, nullptr, 0, &identity, &subFactor, &detail32, nullptr,
                                nullptr, nullptr);
         }},
        {"accept", IOCTL_MOC_ACCEPT_SAMPLE, MOC_E_ACCEPT_SAMPLE,
         [&] { return MocAcceptSample(engine, 1, &detail32, nullptr); }},
        {"duplicate", IOCTL_MOC_CHECK_DUPLICATE, MOC_E_CHECK_DUPLICATE,
         [&] { return MocCheckDuplicate(engine, &identity, &subFactor, &flag); }},
        {"delete", IOCTL_MOC_DELETE_TEMPLATE, MOC_E_DELETE_TEMPLATE,
         [&] { return MocDeleteTemplate(storage, 1); }},
        {"read table", IOCTL_MOC_READ_TEMPLATE_TABLE, MOC_E_READ_TEMPLATE_TABLE,
         [&] { return MocReadTemplateTable(storage, table, sizeof(table)); }},
    };
    const struct {
        DWORD error;
        DWORD lowHalf;
    } errors[] = {
        {ERROR_GEN_FAILURE, 0x001F}, {ERROR_DEVICE_NOT_AVAILABLE, 0x10DF}, {0x0007001Fu, 0x001F}};
    for (const Case& c : cases) {
        for (const auto& e : errors) {
            sensor->FailNext(c.code, e.error);
            EXPECT_EQ(static_cast<DWORD>(c.run()), static_cast<DWORD>(c.family) | e.lowHalf)
                << c.name << " " << e.error;
        }
    }
}

TEST_F(ChipOperationsTest, BadArgumentsFailWithoutARequest) {
    BYTE subFactor = 0;
    BYTE flag = 0;
    DWORD value = 0;
    EXPECT_EQ(
        MocIdentify(nullptr, nullptr, 0, &identity, &subFactor, &value, nullptr, nullptr, nullptr),
        E_POINTER);
    EXPECT_EQ(
        MocIdentify(engine, nullptr, 0, nullptr, &subFactor, &value, nullptr, nullptr, nullptr),
        E_POINTER);
    EXPECT_EQ(MocAcceptSample(engine, 1, nullptr, nullptr), E_POINTER);
    EXPECT_EQ(MocCheckDuplicate(engine, &identity, nullptr, &flag), E_POINTER);
    EXPECT_EQ(MocCommitEnrollment(engine, nullptr, 1), E_POINTER);
    EXPECT_EQ(MocBeginEnrollment(nullptr, 0, nullptr, nullptr), E_POINTER);
    EXPECT_EQ(MocDeleteTemplate(static_cast<CMocStorageDevice*>(nullptr), 0), E_POINTER);
    EXPECT_EQ(MocReadTemplateTable(storage, nullptr, 35), E_POINTER);
    EXPECT_TRUE(sensor->Log().empty());

    // A device object without a usable handle fails as its family.
    WINBIO_PIPELINE detached = {};
    CMocStorageDevice* orphan = nullptr;
    ASSERT_EQ(MocCreateStorageDevice(&detached, &orphan), S_OK);
    EXPECT_EQ(MocDeleteTemplate(orphan, 0),
              MocFailure(MOC_E_DELETE_TEMPLATE, ERROR_INVALID_HANDLE));
    EXPECT_EQ(MocDestroyStorageDevice(orphan), S_OK);
    EXPECT_EQ(MocDestroyStorageDevice(nullptr), S_OK);
}

// ---------------------------------------------------------------------------
// The request path the adapters share
// ---------------------------------------------------------------------------

TEST_F(ChipOperationsTest, RequestPresetsTheReplyAndRefusesShortReplies) {
    // A preset default stands where the driver writes nothing and nothing is
    // required, as for the free-slot answer.
    sensor->ReplyWith(IOCTL_MOC_CHECK_FREE_SLOT, {});
    BYTE freeSlot = 0;
    EXPECT_EQ(DeviceRequest(&pipeline, IOCTL_MOC_CHECK_FREE_SLOT, E_FAIL)
                  .Output(&freeSlot, 1, 0, 0xFF)
                  .Send(),
              S_OK);
    EXPECT_EQ(freeSlot, 0xFF);

    // The buffer is preset again before each request, so a short reply never
    // shows the bytes of the one before.
    MocSensorId id;
    ASSERT_EQ(DeviceRequest(&pipeline, IOCTL_MOC_GET_SENSOR_ID, E_FAIL).Output(&id).Send(), S_OK);
    sensor->ReplyShort(IOCTL_MOC_GET_SENSOR_ID, 8);
    DeviceRequest request(&pipeline, IOCTL_MOC_GET_SENSOR_ID, MOC_E_IDENTIFY);
    EXPECT_EQ(request.Output(&id, sizeof(id), sizeof(id), 0xFF).Send(),
              MocFailure(MOC_E_IDENTIFY, ERROR_INVALID_DATA));
    EXPECT_EQ(request.BytesReturned(), 8u);
    EXPECT_EQ(BytesOf(id.Bytes + 8, 24), Bytes(24, 0xFF));
}

TEST(DeviceObjectLife, EngineDeviceOwnsTwoClearedBuffers) {
    WINBIO_PIPELINE pipeline = {};
    CMocEngineDevice* device = nullptr;
    ASSERT_EQ(MocCreateEngineDevice(&pipeline, &device), S_OK);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->Pipeline, &pipeline);
    EXPECT_EQ(device->EnrollmentNonceSize, 32u);
    EXPECT_EQ(device->AuthorizationSize, 32u);
    ASSERT_NE(device->EnrollmentNonce, nullptr);
    ASSERT_NE(device->Authorization, nullptr);
    EXPECT_EQ(BytesOf(device->EnrollmentNonce, 32), Bytes(32, 0));
    EXPECT_EQ(BytesOf(device->Authorization, 32), Bytes(32, 0));
    EXPECT_EQ(MocDestroyEngineDevice(device), S_OK);
    EXPECT_EQ(MocCreateEngineDevice(&pipeline, nullptr), E_POINTER);
}

} // namespace
