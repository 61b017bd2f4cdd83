#include "engine_fixture.h"

namespace engine_test {
namespace {

constexpr Finger kFinger = 7;
constexpr BYTE kSubFactor = WINBIO_ANSI_381_POS_LH_INDEX_FINGER;

// A storage table standing in for the storage adapter: its AddRecord and
// DeleteRecord record what they were handed, and answer with `result` and
// `deleteResult`.
struct StorageStandIn {
    static inline int calls = 0;
    static inline PWINBIO_PIPELINE pipeline = nullptr;
    static inline WINBIO_STORAGE_RECORD record = {};
    static inline WINBIO_IDENTITY identity = {};
    static inline HRESULT result = S_OK;
    static inline int deleteCalls = 0;
    static inline PWINBIO_PIPELINE deletePipeline = nullptr;
    static inline WINBIO_IDENTITY deleted = {};
    static inline WINBIO_BIOMETRIC_SUBTYPE deletedSubFactor = 0;
    static inline HRESULT deleteResult = S_OK;

    static HRESULT WINAPI AddRecord(PWINBIO_PIPELINE p, PWINBIO_STORAGE_RECORD r) {
        ++calls;
        pipeline = p;
        record = *r;
        identity = *r->Identity;
        return result;
    }
    static HRESULT WINAPI DeleteRecord(PWINBIO_PIPELINE p, PWINBIO_IDENTITY i,
                                       WINBIO_BIOMETRIC_SUBTYPE subFactor) {
        ++deleteCalls;
        deletePipeline = p;
        deleted = *i;
        deletedSubFactor = subFactor;
        return deleteResult;
    }
    static void Reset() {
        calls = 0;
        pipeline = nullptr;
        record = {};
        identity = {};
        result = S_OK;
        deleteCalls = 0;
        deletePipeline = nullptr;
        deleted = {};
        deletedSubFactor = 0;
        deleteResult = S_OK;
    }
};

class EnrollmentTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        StorageStandIn::Reset();
        storage = {};
        storage.AddRecord = StorageStandIn::AddRecord;
        storage.DeleteRecord = StorageStandIn::DeleteRecord;
        pipeline.StorageInterface = &storage;
    }

    // Slot states written straight into the chip's table.
    void SetStates(const std::vector<BYTE>& states) {
        for (size_t i = 0; i < states.size(); ++i) {
            simsensor::SimSlot slot;
            slot.state = states[i];
            slot.finger = states[i] == MOC_SLOT_STATE_USED ? 100 + static_cast<Finger>(i) : 0;
            sensor->SetSlot(i, slot);
        }
    }

    // An open enrollment whose samples the chip has all taken.
    void EnrollSamples(Finger finger = kFinger) {
        ASSERT_EQ(engine->CreateEnrollment(&pipeline), S_OK);
        WINBIO_REJECT_DETAIL reject = 0;
        for (BYTE i = 0; i < Context()->SamplesPerEnrollment; ++i) {
            ASSERT_EQ(Accept(finger, 0, WINBIO_PURPOSE_ENROLL), S_OK);
            engine->UpdateEnrollment(&pipeline, &reject);
        }
        sensor->ClearLog();
    }

    HRESULT Commit(WINBIO_IDENTITY identity, WINBIO_BIOMETRIC_SUBTYPE subFactor = kSubFactor) {
        return engine->CommitEnrollment(&pipeline, &identity, subFactor, nullptr, 0);
    }

    WINBIO_STORAGE_INTERFACE storage;
};

// The road of an enrollment, from slot choice to the commit into storage and
// onto the chip; the finger then identifies as the enrolled account.
TEST_F(EnrollmentTest, RoadOfAnEnrollment) {
    Attach();
    SetStates({1, 1, 0});
    ASSERT_EQ(engine->CreateEnrollment(&pipeline), S_OK);
    std::vector<HRESULT> updates;
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(Accept(kFinger, 0, WINBIO_PURPOSE_ENROLL), S_OK);
        WINBIO_REJECT_DETAIL reject = 0xEE;
        updates.push_back(engine->UpdateEnrollment(&pipeline, &reject));
        EXPECT_EQ(reject, 0u);
    }
    EXPECT_EQ(updates, (std::vector<HRESULT>{WINBIO_I_MORE_DATA, WINBIO_I_MORE_DATA,
                                             WINBIO_I_MORE_DATA, S_OK}));
    WINBIO_IDENTITY held;
    WINBIO_BIOMETRIC_SUBTYPE heldSubFactor = 0xEE;
    BOOLEAN duplicate = 0xEE;
    ASSERT_EQ(engine->CheckForDuplicate(&pipeline, &held, &heldSubFactor, &duplicate), S_OK);
    EXPECT_EQ(duplicate, FALSE);

    WINBIO_IDENTITY account = SidIdentity(0x30, 20);
    UCHAR payload[5] = {1, 2, 3, 4, 5};
    ASSERT_EQ(engine->CommitEnrollment(&pipeline, &account, kSubFactor, payload, sizeof(payload)),
              S_OK);

    const auto log = Requests();
    std::vector<DWORD> expected{IOCTL_MOC_READ_TEMPLATE_TABLE, IOCTL_MOC_BEGIN_ENROLLMENT};
    for (int i = 0; i < 4; ++i) {
        expected.push_back(IOCTL_MOC_ACCEPT_SAMPLE);
        expected.push_back(IOCTL_MOC_CONFIRM_SAMPLE);
    }
    expected.insert(expected.end(), {IOCTL_MOC_CHECK_DUPLICATE, IOCTL_MOC_READ_TEMPLATE_TABLE,
                                     IOCTL_MOC_COMMIT_ENROLLMENT});
    ASSERT_EQ(Codes(log), expected);
    EXPECT_EQ(log[1].input, Bytes{2});
    EXPECT_EQ(log[1].outputCapacity, 0u);
    Bytes commit{kSubFactor};
    const IdentityKey key = KeyOf(account);
    commit.insert(commit.end(), key.Bytes, key.Bytes + 32);
    EXPECT_EQ(log.back().input, commit);

    // The host record went to the storage adapter before the chip commit.
    EXPECT_EQ(StorageStandIn::calls, 1);
    EXPECT_EQ(StorageStandIn::pipeline, &pipeline);
    EXPECT_EQ(StorageStandIn::record.Identity, &account);
    EXPECT_EQ(StorageStandIn::record.SubFactor, kSubFactor);
    EXPECT_EQ(StorageStandIn::record.IndexVector, nullptr);
    EXPECT_EQ(StorageStandIn::record.IndexElementCount, 0u);
    EXPECT_EQ(StorageStandIn::record.TemplateBlob, nullptr);
    EXPECT_EQ(StorageStandIn::record.TemplateBlobSize, 0u);
    EXPECT_EQ(StorageStandIn::record.PayloadBlob, payload);
    EXPECT_EQ(StorageStandIn::record.PayloadBlobSize, sizeof(payload));
    EXPECT_EQ(sensor->Slot(2).state, MOC_SLOT_STATE_USED);

    // Closed: the count and the commit need a new enrollment.
    WINBIO_REJECT_DETAIL reject = 0;
    EXPECT_EQ(engine->UpdateEnrollment(&pipeline, &reject), WINBIO_E_INVALID_DEVICE_STATE);
    ASSERT_EQ(Accept(kFinger), S_OK);
    const IdentifyResult r = Identify();
    ASSERT_EQ(r.hr, S_OK);
    EXPECT_EQ(BytesOf(r.identity.Value.AccountSid.Data, 20),
              BytesOf(account.Value.AccountSid.Data, 20));
    EXPECT_EQ(r.subFactor, kSubFactor);
}

TEST_F(EnrollmentTest, SlotChoice) {
    struct Case {
        const char* name;
        MocCapabilities caps;
        std::vector<BYTE> states;
        std::function<void()> fault;
        HRESULT hr;
        int slot; // -1: no begin request
    } cases[] = {
        {"first free slot", {5, 10, 0, 0, {}}, {1, 1, 0}, nullptr, S_OK, 2},
        {"every slot in use",
         {5, 10, 0, 0, {}},
         std::vector<BYTE>(10, 1),
         nullptr,
         WINBIO_E_DATABASE_FULL,
         -1},
        // What the chip makes of slot 255 is its own business; this one refuses it.
        {"none free, one in neither state",
         {5, 10, 0, 0, {}},
         {1, 1, 1, 1, 2, 1, 1, 1, 1, 1},
         nullptr,
         static_cast<HRESULT>(0xEE030000u | ERROR_INVALID_PARAMETER),
         255},
        {"owner-id entries", {5, 4, 1, 0, {}}, {1, 0}, nullptr, S_OK, 1},
        {"no slots at all", {5, 0, 0, 0, {}}, {}, nullptr, WINBIO_E_DATABASE_FULL, -1},
        {"table read fails",
         {5, 10, 0, 0, {}},
         {},
         [this] { sensor->FailNext(IOCTL_MOC_READ_TEMPLATE_TABLE, 31); },
         static_cast<HRESULT>(0xEF02001Fu),
         -1},
        // A short table would leave its missing entries looking free.
        {"table answered short",
         {5, 10, 0, 0, {}},
         std::vector<BYTE>(10, 1),
         [this] { sensor->ReplyShort(IOCTL_MOC_READ_TEMPLATE_TABLE, 35 * 9); },
         static_cast<HRESULT>(0xEF020000u | ERROR_INVALID_DATA),
         -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sensor->SetCapabilities(c.caps);
        SetStates(std::vector<BYTE>(c.caps.SlotCount, 0));
        SetStates(c.states);
        Attach();
        if (c.fault) {
            c.fault();
        }
        EXPECT_EQ(engine->CreateEnrollment(&pipeline), c.hr);
        const auto log = Requests();
        ASSERT_EQ(log.size(), c.slot < 0 ? 1u : 2u);
        EXPECT_EQ(log[0].outputCapacity, c.caps.SlotCount * (c.caps.OwnerIdMode ? 52u : 35u));
        if (c.slot >= 0) {
            EXPECT_EQ(log[1].code, IOCTL_MOC_BEGIN_ENROLLMENT);
            EXPECT_EQ(log[1].input, Bytes{static_cast<uint8_t>(c.slot)});
        }
        WINBIO_REJECT_DETAIL reject = 0;
        EXPECT_EQ(engine->GetEnrollmentStatus(&pipeline, &reject),
                  c.hr == S_OK ? WINBIO_I_MORE_DATA : WINBIO_E_INVALID_DEVICE_STATE);
        ASSERT_EQ(engine->Detach(&pipeline), S_OK);
    }
}

// The chip's table is read afresh for each creation: a table full at the
// first read and short at the second is never taken as free slots.
TEST_F(EnrollmentTest, EveryCreationReadsTheWholeTableAgain) {
    Attach();
    SetStates({1, 1});
    ASSERT_EQ(engine->CreateEnrollment(&pipeline), S_OK);
    SetStates(std::vector<BYTE>(10, 1));
    EXPECT_EQ(engine->CreateEnrollment(&pipeline), WINBIO_E_DATABASE_FULL);
    sensor->ReplyShort(IOCTL_MOC_READ_TEMPLATE_TABLE, 35 * 5);
    EXPECT_EQ(engine->CreateEnrollment(&pipeline),
              static_cast<HRESULT>(0xEF020000u | ERROR_INVALID_DATA));
    EXPECT_EQ(sensor->CountOf(IOCTL_MOC_BEGIN_ENROLLMENT), 1u);
}

TEST_F(EnrollmentTest, BeginFailureLeavesTheEnrollmentClosed) {
    Attach();
    sensor->FailNext(IOCTL_MOC_BEGIN_ENROLLMENT, 21);
    EXPECT_EQ(engine->CreateEnrollment(&pipeline), static_cast<HRESULT>(0xEE030015u));
    WINBIO_REJECT_DETAIL reject = 0;
    EXPECT_EQ(engine->UpdateEnrollment(&pipeline, &reject), WINBIO_E_INVALID_DEVICE_STATE);
    EXPECT_EQ(Context()->SamplesRemaining, 4);
}

// The count-down over the samples the capabilities ask for, held at zero.
TEST_F(EnrollmentTest, SampleCountDownStopsAtZero) {
    struct Case {
        BYTE capabilityByte0;
        int samples;
    } cases[] = {{13, 12}, {5, 4}, {2, 1}, {1, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.capabilityByte0));
        sensor->SetCapabilities({c.capabilityByte0, 10, 0, 0, {}});
        Attach();
        ASSERT_EQ(engine->CreateEnrollment(&pipeline), S_OK);
        WINBIO_REJECT_DETAIL reject = 0;
        for (int i = 1; i < c.samples; ++i) {
            EXPECT_EQ(engine->UpdateEnrollment(&pipeline, &reject), WINBIO_I_MORE_DATA) << i;
        }
        // The last sample and any beyond it: complete, never a fresh count.
        for (int extra = 0; extra < 3; ++extra) {
            EXPECT_EQ(engine->UpdateEnrollment(&pipeline, &reject), S_OK);
        }
        EXPECT_EQ(Context()->SamplesRemaining, 0);
        EXPECT_EQ(engine->GetEnrollmentStatus(&pipeline, &reject), WINBIO_I_MORE_DATA);
        ASSERT_EQ(engine->Detach(&pipeline), S_OK);
    }
}

TEST_F(EnrollmentTest, AuthenticatedStart) {
    MocEnrollmentNonce chipNonce;
    for (int i = 0; i < 32; ++i) {
        chipNonce.Bytes[i] = static_cast<BYTE>(0x90 + i);
    }
    sensor->SetEnrollmentNonce(chipNonce);
    Attach();
    SetStates({1, 0});
    PUCHAR nonce = nullptr;
    SIZE_T nonceSize = 0;
    ASSERT_EQ(engine->CreateEnrollmentAuthenticated(&pipeline, &nonce, &nonceSize), S_OK);
    EXPECT_EQ(nonceSize, 32u);
    ASSERT_NE(nonce, nullptr);
    EXPECT_EQ(BytesOf(nonce, 32), BytesOf(chipNonce.Bytes));
    EXPECT_EQ(Context()->UsedSlotCount, 1);
    // Not enrolling until the creation that follows, which asks the chip nothing.
    WINBIO_REJECT_DETAIL reject = 0;
    EXPECT_EQ(engine->UpdateEnrollment(&pipeline, &reject), WINBIO_E_INVALID_DEVICE_STATE);
    ASSERT_EQ(engine->CreateEnrollment(&pipeline), S_OK);
    ASSERT_EQ(engine->CreateEnrollment(&pipeline), S_OK);
    EXPECT_EQ(Codes(Requests()),
              (std::vector<DWORD>{IOCTL_MOC_READ_TEMPLATE_TABLE, IOCTL_MOC_BEGIN_ENROLLMENT}));
    EXPECT_EQ(Requests()[1].input, Bytes{1});
    EXPECT_EQ(Requests()[1].outputCapacity, 32u);
    EXPECT_EQ(engine->UpdateEnrollment(&pipeline, &reject), WINBIO_I_MORE_DATA);

    // A full table at the authenticated start answers every creation until activation.
    ASSERT_EQ(engine->Activate(&pipeline), S_OK);
    SetStates(std::vector<BYTE>(10, 1));
    sensor->ClearLog();
    EXPECT_EQ(engine->CreateEnrollmentAuthenticated(&pipeline, &nonce, &nonceSize),
              WINBIO_E_DATABASE_FULL);
    SetStates({0});
    EXPECT_EQ(engine->CreateEnrollment(&pipeline), WINBIO_E_DATABASE_FULL);
    EXPECT_EQ(engine->CreateEnrollment(&pipeline), WINBIO_E_DATABASE_FULL);
    EXPECT_EQ(Requests().size(), 1u);
    ASSERT_EQ(engine->Activate(&pipeline), S_OK);
    EXPECT_EQ(engine->CreateEnrollment(&pipeline), S_OK);

    // A failed begin is kept the same way.
    ASSERT_EQ(engine->Activate(&pipeline), S_OK);
    sensor->FailNext(IOCTL_MOC_BEGIN_ENROLLMENT, 21);
    EXPECT_EQ(engine->CreateEnrollmentAuthenticated(&pipeline, &nonce, &nonceSize),
              static_cast<HRESULT>(0xEE030015u));
    EXPECT_EQ(engine->CreateEnrollment(&pipeline), static_cast<HRESULT>(0xEE030015u));
    EXPECT_EQ(engine->CreateEnrollmentAuthenticated(nullptr, &nonce, &nonceSize), E_POINTER);
    EXPECT_EQ(engine->CreateEnrollmentAuthenticated(&pipeline, nullptr, &nonceSize), E_POINTER);
}

// The chip's begin for an authenticated start serves one enrollment: once
// that one is committed or discarded, or its commit failed, the next creation
// begins on the chip again and counts its own samples, as it does after a
// plain start.
TEST_F(EnrollmentTest, AnAuthenticatedStartCoversOneEnrollment) {
    const auto failedCommit = [this] {
        StorageStandIn::result = WINBIO_E_DATABASE_WRITE_ERROR;
        return Commit(SidIdentity(0x30));
    };
    struct Case {
        const char* name;
        bool authenticated;
        std::function<HRESULT()> end;
        HRESULT ended;
        BYTE nextSlot;
    } cases[] = {
        {"committed", true, [this] { return Commit(SidIdentity(0x30)); }, S_OK, 1},
        {"discarded", true, [this] { return engine->DiscardEnrollment(&pipeline); }, S_OK, 0},
        {"commit failed", true, failedCommit, WINBIO_E_DATABASE_WRITE_ERROR, 0},
        {"commit failed after a plain start", false, failedCommit, WINBIO_E_DATABASE_WRITE_ERROR,
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StorageStandIn::Reset();
        SetStates(std::vector<BYTE>(10, 0));
        Attach();
        if (c.authenticated) {
            PUCHAR nonce = nullptr;
            SIZE_T nonceSize = 0;
            ASSERT_EQ(engine->CreateEnrollmentAuthenticated(&pipeline, &nonce, &nonceSize), S_OK);
        }
        EnrollSamples();
        ASSERT_EQ(c.end(), c.ended);
        sensor->ClearLog();

        ASSERT_EQ(engine->CreateEnrollment(&pipeline), S_OK);
        const auto log = Requests();
        ASSERT_EQ(Codes(log),
                  (std::vector<DWORD>{IOCTL_MOC_READ_TEMPLATE_TABLE, IOCTL_MOC_BEGIN_ENROLLMENT}));
        EXPECT_EQ(log[1].input, Bytes{c.nextSlot});
        EXPECT_EQ(log[1].outputCapacity, 0u);
        ASSERT_EQ(Accept(kFinger, 0, WINBIO_PURPOSE_ENROLL), S_OK);
        WINBIO_REJECT_DETAIL reject = 0;
        EXPECT_EQ(engine->UpdateEnrollment(&pipeline, &reject), WINBIO_I_MORE_DATA);
        ASSERT_EQ(engine->Detach(&pipeline), S_OK);
    }
}

TEST_F(EnrollmentTest, DuplicateCheck) {
    struct Case {
        const char* name;
        WINBIO_IDENTITY held;
        BYTE kind;
        WINBIO_IDENTITY_TYPE type;
    } cases[] = {
        {"secure identity", SecureIdentity(0x70), MOC_IDENTITY_KIND_SECURE_ID,
         WINBIO_ID_TYPE_SECURE_ID},
        {"account", SidIdentity(0x30), MOC_IDENTITY_KIND_SID, WINBIO_ID_TYPE_SID},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Attach();
        sensor->Enroll(5, KeyOf(c.held), WINBIO_ANSI_381_POS_RH_THUMB, kFinger);
        EnrollSamples();
        WINBIO_IDENTITY identity;
        std::memset(&identity, 0xCC, sizeof(identity));
        WINBIO_BIOMETRIC_SUBTYPE subFactor = 0;
        BOOLEAN duplicate = FALSE;
        ASSERT_EQ(engine->CheckForDuplicate(&pipeline, &identity, &subFactor, &duplicate), S_OK);
        EXPECT_EQ(duplicate, TRUE);
        EXPECT_EQ(subFactor, WINBIO_ANSI_381_POS_RH_THUMB);
        EXPECT_EQ(identity.Type, c.type);
        if (c.type == WINBIO_ID_TYPE_SID) {
            EXPECT_EQ(identity.Value.AccountSid.Size, 28u);
            EXPECT_EQ(BytesOf(identity.Value.AccountSid.Data, 28),
                      BytesOf(c.held.Value.AccountSid.Data, 28));
            EXPECT_EQ(BytesOf(identity.Value.AccountSid.Data + 28, 40), Bytes(40, 0));
        } else {
            EXPECT_EQ(BytesOf(identity.Value.SecureId), BytesOf(c.held.Value.SecureId));
        }
        EXPECT_EQ(Codes(Requests()),
                  (std::vector<DWORD>{IOCTL_MOC_CHECK_DUPLICATE, IOCTL_MOC_NOTIFY_DUPLICATE}));
        ASSERT_EQ(engine->Detach(&pipeline), S_OK);
        sensor->SetSlot(5, simsensor::SimSlot{});
        sensor->ClearLog();
    }

    // No duplicate: no notice. A failed check or notice fails the call, and the
    // enrollment stays open.
    Attach();
    EnrollSamples();
    WINBIO_IDENTITY identity;
    WINBIO_BIOMETRIC_SUBTYPE subFactor = 0;
    BOOLEAN duplicate = TRUE;
    ASSERT_EQ(engine->CheckForDuplicate(&pipeline, &identity, &subFactor, &duplicate), S_OK);
    EXPECT_EQ(duplicate, FALSE);
    EXPECT_EQ(Codes(Requests()), (std::vector<DWORD>{IOCTL_MOC_CHECK_DUPLICATE}));
    sensor->FailNext(IOCTL_MOC_CHECK_DUPLICATE, 31);
    EXPECT_EQ(engine->CheckForDuplicate(&pipeline, &identity, &subFactor, &duplicate),
              static_cast<HRESULT>(0xEE08001Fu));
    sensor->Enroll(5, KeyOf(SecureIdentity(1)), 1, kFinger);
    sensor->FailNext(IOCTL_MOC_NOTIFY_DUPLICATE, ERROR_CANCELLED);
    EXPECT_EQ(engine->CheckForDuplicate(&pipeline, &identity, &subFactor, &duplicate),
              WINBIO_E_CANCELED);
    EXPECT_EQ(Commit(SidIdentity(0x30)), S_OK);
}

TEST_F(EnrollmentTest, CommitRefusesBadArgumentsBeforeAnyRequest) {
    WINBIO_IDENTITY wildcard = {};
    wildcard.Type = WINBIO_ID_TYPE_WILDCARD;
    wildcard.Value.Wildcard = 0x25066283;
    WINBIO_IDENTITY nullType = {};
    WINBIO_IDENTITY unknownType = SecureIdentity(1);
    unknownType.Type = 5;
    struct Case {
        const char* name;
        WINBIO_IDENTITY identity;
        WINBIO_BIOMETRIC_SUBTYPE subFactor;
    } cases[] = {
        {"sub-factor 0", SidIdentity(0x30), 0},
        {"wildcard with another value", wildcard, kSubFactor},
        {"null identity type", nullType, kSubFactor},
        {"unknown identity type", unknownType, kSubFactor},
        {"empty SID", SidIdentity(0x30, 0), kSubFactor},
        {"SID past 28 bytes", SidIdentity(0x30, 29), kSubFactor},
        {"SID past the record", SidIdentity(0x30, 200), kSubFactor},
    };
    Attach();
    EnrollSamples();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Commit(c.identity, c.subFactor), E_INVALIDARG);
        EXPECT_TRUE(Requests().empty());
        EXPECT_EQ(StorageStandIn::calls, 0);
    }
    // The proper wildcard is taken, and the chip gets an all-zero key.
    wildcard.Value.Wildcard = WINBIO_IDENTITY_WILDCARD;
    ASSERT_EQ(Commit(wildcard), S_OK);
    Bytes commit(33, 0);
    commit[0] = kSubFactor;
    EXPECT_EQ(Requests().back().input, commit);

    EXPECT_EQ(engine->CommitEnrollment(&pipeline, nullptr, 1, nullptr, 0), E_POINTER);
    EXPECT_EQ(Commit(SidIdentity(0x30)), WINBIO_E_INVALID_DEVICE_STATE); // not enrolling
}

// An entry in use for the same finger under the same whole key (and this
// host's id in owner-id mode) is the same enrollment.
TEST_F(EnrollmentTest, CommitRefusesAnEqualEnrollment) {
    const WINBIO_IDENTITY secure = SecureIdentity(0x70);
    const WINBIO_IDENTITY account = SidIdentity(0x30);
    IdentityKey hashed = SimulatedSensor::Sha256Key(KeyOf(secure));
    HostOwnerId other;
    std::memset(other.Bytes, 0x99, sizeof(other.Bytes));
    struct Case {
        const char* name;
        MocCapabilities caps;
        WINBIO_IDENTITY committed;
        IdentityKey held;
        BYTE heldSubFactor;
        bool foreignOwner;
        HRESULT hr;
    } cases[] = {
        {"same account",
         {5, 10, 0, 0, {}},
         account,
         KeyOf(account),
         kSubFactor,
         false,
         WINBIO_E_DUPLICATE_ENROLLMENT},
        {"same account, another finger",
         {5, 10, 0, 0, {}},
         account,
         KeyOf(account),
         1,
         false,
         S_OK},
        // The chip's 28 bytes begin with the 10 committed: another account.
        {"prefix of a held account",
         {5, 10, 0, 0, {}},
         SidIdentity(0x30, 10),
         KeyOf(account),
         kSubFactor,
         false,
         S_OK},
        {"same secure identity",
         {5, 10, 0, 0, {}},
         secure,
         KeyOf(secure),
         kSubFactor,
         false,
         WINBIO_E_DUPLICATE_ENROLLMENT},
        {"hashed secure identity",
         {5, 10, 0, 1, {}},
         secure,
         hashed,
         kSubFactor,
         false,
         WINBIO_E_DUPLICATE_ENROLLMENT},
        {"raw key in hashed mode",
         {5, 10, 0, 1, {}},
         secure,
         KeyOf(secure),
         kSubFactor,
         false,
         S_OK},
        {"hashed, this host",
         {5, 10, 1, 1, {}},
         secure,
         hashed,
         kSubFactor,
         false,
         WINBIO_E_DUPLICATE_ENROLLMENT},
        {"hashed, another host", {5, 10, 1, 1, {}}, secure, hashed, kSubFactor, true, S_OK},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sensor->SetCapabilities(c.caps);
        SetStates(std::vector<BYTE>(10, 0));
        simsensor::SimSlot held;
        held.state = MOC_SLOT_STATE_USED;
        held.subFactor = c.heldSubFactor;
        held.key = c.held;
        held.owner = c.foreignOwner ? other : sensor->HostOwner();
        held.finger = 50;
        sensor->SetSlot(4, held);
        Attach();
        EnrollSamples();
        StorageStandIn::Reset();
        EXPECT_EQ(Commit(c.committed), c.hr);
        EXPECT_EQ(StorageStandIn::calls, c.hr == S_OK ? 1 : 0);
        std::vector<DWORD> expected{IOCTL_MOC_READ_TEMPLATE_TABLE};
        if (c.caps.OwnerIdMode) {
            expected.push_back(IOCTL_MOC_GET_HOST_ID);
        }
        if (c.hr == S_OK) {
            expected.push_back(IOCTL_MOC_COMMIT_ENROLLMENT);
        }
        EXPECT_EQ(Codes(Requests()), expected);
        ASSERT_EQ(engine->Detach(&pipeline), S_OK);
        sensor->ClearLog();
    }
}

TEST_F(EnrollmentTest, CommitFailures) {
    const auto chipFails = [this] { sensor->FailNext(IOCTL_MOC_COMMIT_ENROLLMENT, 31); };
    const HRESULT chipFailure = static_cast<HRESULT>(0xEE04001Fu);
    WINBIO_IDENTITY wildcard = {};
    wildcard.Type = WINBIO_ID_TYPE_WILDCARD;
    wildcard.Value.Wildcard = WINBIO_IDENTITY_WILDCARD;
    struct Case {
        const char* name;
        std::function<void()> fault;
        HRESULT hr;
        int addRecordCalls;
        size_t commitRequests;
        int deleteRecordCalls = 0;
        WINBIO_IDENTITY identity = SidIdentity(0x30);
        WINBIO_BIOMETRIC_SUBTYPE subFactor = kSubFactor;
    } cases[] = {
        {"no storage table", [this] { pipeline.StorageInterface = nullptr; }, E_POINTER, 0, 0},
        {"no AddRecord", [this] { storage.AddRecord = nullptr; }, E_NOTIMPL, 0, 0},
        {"storage refuses the record",
         [] { StorageStandIn::result = WINBIO_E_DATABASE_WRITE_ERROR; },
         WINBIO_E_DATABASE_WRITE_ERROR, 1, 0},
        // Any success is the record written: the chip commit follows, and only
        // its success makes the commit's.
        {"storage answers a success other than S_OK",
         [] { StorageStandIn::result = WINBIO_I_MORE_DATA; }, S_OK, 1, 1},
        {"table read fails", [this] { sensor->FailNext(IOCTL_MOC_READ_TEMPLATE_TABLE, 31); },
         static_cast<HRESULT>(0xEF02001Fu), 0, 0},
        {"host id fails",
         [this] { sensor->FailNext(IOCTL_MOC_GET_HOST_ID, ERROR_OPERATION_ABORTED); },
         WINBIO_E_CANCELED, 0, 0},
        {"host id answered short", [this] { sensor->ReplyShort(IOCTL_MOC_GET_HOST_ID, 8); },
         WINBIO_E_DEVICE_FAILURE, 0, 0},
        // The host record goes again when the chip refuses the template, or
        // the retry would be refused as a duplicate of it; the commit's result
        // is the chip's, whatever the removal gives.
        {"chip commit fails", chipFails, chipFailure, 1, 1, 1},
        {"chip commit fails, the record is not removed",
         [&] {
             chipFails();
             StorageStandIn::deleteResult = WINBIO_E_DATABASE_WRITE_ERROR;
         },
         chipFailure, 1, 1, 1},
        {"chip commit fails, no DeleteRecord",
         [&] {
             chipFails();
             storage.DeleteRecord = nullptr;
         },
         chipFailure, 1, 1, 0},
        // Their deletion would take every record of the finger, or the
        // identity's templates of every finger.
        {"chip commit of the wildcard fails", chipFails, chipFailure, 1, 1, 0, wildcard},
        {"chip commit of any finger fails", chipFails, chipFailure, 1, 1, 0, SidIdentity(0x30),
         WINBIO_SUBTYPE_ANY},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sensor->SetCapabilities({5, 10, 1, 0, {}});
        SetStates(std::vector<BYTE>(10, 0)); // no template of an earlier row
        Attach();
        EnrollSamples();
        StorageStandIn::Reset();
        c.fault();
        EXPECT_EQ(Commit(c.identity, c.subFactor), c.hr);
        EXPECT_EQ(StorageStandIn::calls, c.addRecordCalls);
        EXPECT_EQ(sensor->CountOf(IOCTL_MOC_COMMIT_ENROLLMENT), c.commitRequests);
        EXPECT_EQ(StorageStandIn::deleteCalls, c.deleteRecordCalls);
        if (c.deleteRecordCalls != 0) {
            EXPECT_EQ(StorageStandIn::deletePipeline, &pipeline);
            EXPECT_EQ(BytesOf(StorageStandIn::deleted), BytesOf(c.identity));
            EXPECT_EQ(StorageStandIn::deletedSubFactor, c.subFactor);
        }
        // A failed commit leaves the enrollment open.
        WINBIO_REJECT_DETAIL reject = 0;
        EXPECT_EQ(engine->GetEnrollmentStatus(&pipeline, &reject),
                  c.hr == S_OK ? WINBIO_E_INVALID_DEVICE_STATE : WINBIO_I_MORE_DATA);
        pipeline.StorageInterface = &storage;
        storage.AddRecord = StorageStandIn::AddRecord;
        storage.DeleteRecord = StorageStandIn::DeleteRecord;
        ASSERT_EQ(engine->Detach(&pipeline), S_OK);
        sensor->ClearLog();
        sensor->ClearFaults();
    }
}

TEST_F(EnrollmentTest, OperationsNeedAnOpenEnrollment) {
    Attach();
    WINBIO_REJECT_DETAIL reject = 0xEE;
    EXPECT_EQ(engine->UpdateEnrollment(&pipeline, &reject), WINBIO_E_INVALID_DEVICE_STATE);
    EXPECT_EQ(reject, 0u);
    EXPECT_EQ(engine->GetEnrollmentStatus(&pipeline, &reject), WINBIO_E_INVALID_DEVICE_STATE);
    WINBIO_IDENTITY identity;
    std::memset(&identity, 0xCC, sizeof(identity));
    WINBIO_BIOMETRIC_SUBTYPE subFactor = 0xEE;
    BOOLEAN duplicate = TRUE;
    EXPECT_EQ(engine->CheckForDuplicate(&pipeline, &identity, &subFactor, &duplicate),
              WINBIO_E_INVALID_DEVICE_STATE);
    EXPECT_EQ(BytesOf(identity), Bytes(sizeof(identity), 0));
    EXPECT_EQ(duplicate, FALSE);
    EXPECT_EQ(Commit(SidIdentity(0x30)), WINBIO_E_INVALID_DEVICE_STATE);
    EXPECT_TRUE(Requests().empty());

    // Discard sends nothing and closes nothing; activation closes.
    EnrollSamples();
    EXPECT_EQ(engine->DiscardEnrollment(&pipeline), S_OK);
    EXPECT_TRUE(Requests().empty());
    EXPECT_EQ(engine->GetEnrollmentStatus(&pipeline, &reject), WINBIO_I_MORE_DATA);
    EXPECT_EQ(engine->Activate(&pipeline), S_OK);
    EXPECT_EQ(engine->UpdateEnrollment(&pipeline, &reject), WINBIO_E_INVALID_DEVICE_STATE);
    EXPECT_EQ(engine->DiscardEnrollment(nullptr), E_POINTER);
    EXPECT_EQ(engine->UpdateEnrollment(&pipeline, nullptr), E_POINTER);
    EXPECT_EQ(engine->CreateEnrollment(nullptr), E_POINTER);
}

} // namespace
} // namespace engine_test
