#include <gtest/gtest.h>
#include <windows.h>
#include <cstring>
#include <functional>
#include <mbedtls/md.h>
#include "platform/test.h"
#include "simsensor/simulated_sensor.h"
#include "support/bytes.h"

namespace {

using moc_test::Bytes;
using simsensor::Fault;
using simsensor::Presentation;
using simsensor::SimSlot;

struct Result {
    BOOL ok;
    DWORD error;
    Bytes reply;
};

class SimulatedSensorTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::test::ResetAll();
        sensor = std::make_shared<simsensor::SimulatedSensor>();
        handle = platform::test::OpenDevice(sensor);
        event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        overlapped.hEvent = event;
    }
    void TearDown() override { platform::test::ResetAll(); }

    Result Call(DWORD code, Bytes in = {}, DWORD capacity = 256) {
        Bytes out(capacity, 0xEE);
        DWORD bytes = 0;
        SetLastError(0);
        BOOL ok = DeviceIoControl(handle, code, in.empty() ? nullptr : in.data(),
                                  static_cast<DWORD>(in.size()), capacity ? out.data() : nullptr,
                                  capacity, &bytes, nullptr);
        DWORD error = ok ? 0 : GetLastError();
        out.resize(ok ? bytes : 0);
        return {ok, error, out};
    }

    // Presents `finger` and captures it, so that the chip holds a sample.
    void CaptureFinger(simsensor::Finger finger, BYTE acceptStatus = 0,
                       BYTE purpose = WINBIO_PURPOSE_IDENTIFY) {
        Presentation p;
        p.finger = finger;
        p.acceptStatus = acceptStatus;
        sensor->PresentFinger(p);
        WINBIO_CAPTURE_PARAMETERS params{};
        params.PayloadSize = sizeof(params);
        params.Purpose = purpose;
        ASSERT_TRUE(Call(IOCTL_BIOMETRIC_CAPTURE_DATA, moc_test::BytesOf(params), 161).ok);
    }

    // The confirm request for an accept reply, its status mapped as the engine maps it.
    static Bytes ConfirmOf(Bytes acceptReply) {
        if (!acceptReply.empty() && acceptReply[0] == MOC_STATUS_TOO_SKEWED)
            acceptReply[0] = WINBIO_FP_TOO_SKEWED;
        return acceptReply;
    }

    // Captures, accepts and confirms one sample of `finger` for `purpose`, as the sensor
    // and engine adapters do.
    void Present(simsensor::Finger finger, BYTE acceptStatus = 0,
                 BYTE purpose = WINBIO_PURPOSE_IDENTIFY) {
        CaptureFinger(finger, acceptStatus, purpose);
        Result accepted = Call(IOCTL_MOC_ACCEPT_SAMPLE, {purpose}, 9);
        ASSERT_TRUE(accepted.ok);
        ASSERT_TRUE(Call(IOCTL_MOC_CONFIRM_SAMPLE, ConfirmOf(accepted.reply), 0).ok);
    }

    // Begins an enrollment on `slot` and confirms the samples the default capabilities
    // ask for.
    void EnrollSamples(BYTE slot, simsensor::Finger finger) {
        ASSERT_TRUE(Call(IOCTL_MOC_BEGIN_ENROLLMENT, {slot}, 0).ok);
        for (int i = 0; i < 4; ++i)
            Present(finger, 0, WINBIO_PURPOSE_ENROLL);
    }

    std::shared_ptr<simsensor::SimulatedSensor> sensor;
    HANDLE handle = nullptr;
    HANDLE event = nullptr;
    OVERLAPPED overlapped{};
};

IdentityKey KeyWithTail(uint8_t tail) {
    IdentityKey key{};
    for (int i = 0; i < 28; ++i)
        key.Bytes[i] = static_cast<uint8_t>(0x30 + i);
    key.Bytes[31] = tail;
    return key;
}

Bytes Sha256(const uint8_t* data, size_t size) {
    Bytes digest(32);
    mbedtls_md(mbedtls_md_info_from_type(MBEDTLS_MD_SHA256), data, size, digest.data());
    return digest;
}

TEST_F(SimulatedSensorTest, AnswersEveryControlCodeOfTheInterface) {
    WINBIO_SECURE_CONNECTION_PARAMS reconnect{sizeof(reconnect), 1, MOC_SECURE_FLAGS_RECONNECT};
    Bytes reconnectBytes = moc_test::BytesOf(reconnect);
    struct Case {
        DWORD code;
        Bytes in;
        DWORD capacity;
        size_t replySize;
    } cases[] = {
        {IOCTL_BIOMETRIC_GET_ATTRIBUTES, {}, 1580, 1580},
        {IOCTL_BIOMETRIC_RESET, {}, 8, 8},
        {IOCTL_BIOMETRIC_GET_SENSOR_STATUS, {}, 20, 20},
        {IOCTL_BIOMETRIC_CONNECT_SECURE, reconnectBytes, 34, 34},
        {IOCTL_MOC_BEGIN_ENROLLMENT, {0}, 32, 32},
        {IOCTL_MOC_CHECK_DUPLICATE, {}, 35, 35},
        {IOCTL_MOC_READ_TEMPLATE_TABLE, {}, 350, 350},
        {IOCTL_MOC_DELETE_TEMPLATE, {0}, 0, 0},
        {IOCTL_MOC_GET_CAPABILITIES, {}, 8, 8},
        {IOCTL_MOC_GET_HOST_ID, {}, 16, 16},
        {IOCTL_MOC_SET_MATCH_RESULT, {11}, 0, 0},
        {IOCTL_MOC_NOTIFY_DUPLICATE, {}, 0, 0},
        {IOCTL_MOC_CHECK_FREE_SLOT, {}, 1, 1},
        {IOCTL_MOC_GET_PURGE_FLAG, {}, 1, 1},
        {IOCTL_MOC_DELETE_TEMPLATES, {1, 2}, 0, 0},
        {IOCTL_MOC_GET_SENSOR_ID, {}, 32, 32},
        {IOCTL_MOC_SET_MATCH_DATA_LENGTH, {16, 0, 0, 0}, 4, 4},
        {IOCTL_MOC_SENSOR_PRIVATE_SET, {1}, 0, 0},
        {IOCTL_MOC_READ_MATCH_DATA, {}, 21, 21},
        {IOCTL_MOC_READ_MATCH_DATA_EX, {}, 21, 21},
        {IOCTL_MOC_SENSOR_PRIVATE_GET, {}, 32, 32},
        {IOCTL_MOC_PRIVATE_COMMAND_1, {1, 2, 3}, 3, 3},
        {IOCTL_MOC_PRIVATE_COMMAND_2, {4, 5}, 2, 2},
        {IOCTL_MOC_GET_POLICY, {}, 8, 8},
        {IOCTL_MOC_DATABASE_VERSION, {MOC_DATABASE_VERSION_GET, 0, 0, 0, 0}, 5, 5},
        {IOCTL_MOC_REPORT_MATCH, Bytes(26, 0), 0, 0},
        {IOCTL_MOC_NOTIFY_DEACTIVATE, {}, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << std::hex << c.code);
        Result r = Call(c.code, c.in, c.capacity);
        EXPECT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.reply.size(), c.replySize);
    }
    // The sample codes answer once a sample exists; without one they refuse in order.
    EXPECT_EQ(Call(IOCTL_MOC_ACCEPT_SAMPLE, {2}, 9).error, static_cast<DWORD>(ERROR_NOT_READY));
    EXPECT_EQ(Call(IOCTL_MOC_CONFIRM_SAMPLE, Bytes(9, 0), 0).error,
              static_cast<DWORD>(ERROR_NOT_READY));
    Present(7);
    EXPECT_EQ(Call(IOCTL_MOC_IDENTIFY, {}, 94).reply.size(), 94u);
    EnrollSamples(1, 7);
    EXPECT_TRUE(Call(IOCTL_MOC_COMMIT_ENROLLMENT, Bytes(33, 0), 0).ok);

    // Functions the interface leaves out.
    for (DWORD function = 0xC11; function <= 0xC26; ++function) {
        if (function > 0xC1D && function != 0xC26)
            continue;
        EXPECT_EQ(Call(MocControlCode(function)).error, static_cast<DWORD>(ERROR_INVALID_FUNCTION))
            << std::hex << function;
    }
}

TEST_F(SimulatedSensorTest, LogsEveryRequestAsSent) {
    sensor->FailNext(IOCTL_MOC_GET_POLICY, ERROR_GEN_FAILURE);
    Call(IOCTL_MOC_GET_POLICY, {}, 8);
    Call(IOCTL_MOC_DELETE_TEMPLATES, {3, 4}, 0);
    WINBIO_CAPTURE_PARAMETERS params{};
    params.PayloadSize = sizeof(params);
    uint8_t capture[161];
    // No finger presented: the capture stays pending.
    EXPECT_FALSE(DeviceIoControl(handle, IOCTL_BIOMETRIC_CAPTURE_DATA, &params, sizeof(params),
                                 capture, sizeof(capture), nullptr, &overlapped));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));

    auto log = sensor->Log();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].code, IOCTL_MOC_GET_POLICY);
    EXPECT_EQ(log[0].outputCapacity, 8u);
    EXPECT_TRUE(log[0].input.empty());
    EXPECT_EQ(log[1].input, (Bytes{3, 4}));
    EXPECT_FALSE(log[1].overlapped);
    EXPECT_EQ(log[2].code, IOCTL_BIOMETRIC_CAPTURE_DATA);
    EXPECT_EQ(log[2].input.size(), sizeof(params));
    EXPECT_EQ(log[2].outputCapacity, 161u);
    EXPECT_TRUE(log[2].overlapped);
    EXPECT_EQ(sensor->CountOf(IOCTL_MOC_GET_POLICY), 1u);
    EXPECT_TRUE(CancelIoEx(handle, nullptr));
}

// Each fault kind on a database-version set, which both answers and changes the chip.
TEST_F(SimulatedSensorTest, FaultPlanKinds) {
    const Bytes set{MOC_DATABASE_VERSION_SET, 9, 0, 0, 0};
    struct Case {
        const char* name;
        Fault fault;
        BOOL ok;
        DWORD error;
        Bytes reply;
        DWORD version; // the chip's version afterwards
    } cases[] = {
        {"fail", {Fault::Kind::Fail, ERROR_BUSY, 0, {}, 1}, FALSE, ERROR_BUSY, {}, 3},
        {"short", {Fault::Kind::Short, 0, 2, {}, 1}, TRUE, 0, {0, 9}, 9},
        {"script", {Fault::Kind::Script, 0, 0, {1, 2, 3}, 1}, TRUE, 0, {1, 2, 3}, 3},
        {"script with error", {Fault::Kind::Script, 0x12345, 0, {7}, 1}, FALSE, 0x12345, {}, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sensor->SetDatabaseVersion(3);
        sensor->PlanFault(IOCTL_MOC_DATABASE_VERSION, c.fault);
        Result r = Call(IOCTL_MOC_DATABASE_VERSION, set, 5);
        EXPECT_EQ(r.ok, c.ok);
        EXPECT_EQ(r.error, c.error);
        EXPECT_EQ(r.reply, c.reply);
        EXPECT_EQ(sensor->DatabaseVersion(), c.version);
        // Consumed: the next call is answered normally.
        EXPECT_EQ(Call(IOCTL_MOC_DATABASE_VERSION, set, 5).reply, set);
    }

    // A count covers that many calls; entries of one code run in order; other codes are
    // not touched.
    sensor->FailNext(IOCTL_MOC_GET_SENSOR_ID, ERROR_NOT_READY, 2);
    sensor->ReplyShort(IOCTL_MOC_GET_SENSOR_ID, 4);
    EXPECT_TRUE(Call(IOCTL_MOC_GET_CAPABILITIES, {}, 8).ok);
    EXPECT_EQ(Call(IOCTL_MOC_GET_SENSOR_ID, {}, 32).error, static_cast<DWORD>(ERROR_NOT_READY));
    EXPECT_EQ(Call(IOCTL_MOC_GET_SENSOR_ID, {}, 32).error, static_cast<DWORD>(ERROR_NOT_READY));
    EXPECT_EQ(Call(IOCTL_MOC_GET_SENSOR_ID, {}, 32).reply, (Bytes{0x10, 0x11, 0x12, 0x13}));
    EXPECT_EQ(Call(IOCTL_MOC_GET_SENSOR_ID, {}, 32).reply.size(), 32u);

    // Pend: completed later with the answer the chip gives then, or cancelled.
    sensor->PendNext(IOCTL_MOC_DATABASE_VERSION, 2);
    uint8_t buffer[5] = {MOC_DATABASE_VERSION_GET, 0, 0, 0, 0};
    EXPECT_FALSE(DeviceIoControl(handle, IOCTL_MOC_DATABASE_VERSION, buffer, 5, buffer, 5, nullptr,
                                 &overlapped));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(buffer[1], 0);
    sensor->SetDatabaseVersion(42);
    EXPECT_TRUE(sensor->CompletePending(IOCTL_MOC_DATABASE_VERSION));
    DWORD bytes = 0;
    EXPECT_TRUE(GetOverlappedResult(handle, &overlapped, &bytes, TRUE));
    EXPECT_EQ(bytes, 5u);
    EXPECT_EQ(buffer[1], 42);

    EXPECT_FALSE(DeviceIoControl(handle, IOCTL_MOC_DATABASE_VERSION, buffer, 5, buffer, 5, nullptr,
                                 &overlapped));
    EXPECT_EQ(sensor->PendingCount(IOCTL_MOC_DATABASE_VERSION), 1u);
    EXPECT_TRUE(CancelIoEx(handle, &overlapped));
    EXPECT_EQ(sensor->PendingCount(IOCTL_MOC_DATABASE_VERSION), 0u);
    EXPECT_FALSE(sensor->CompletePending(IOCTL_MOC_DATABASE_VERSION));
}

// Commit stores the kind by key bytes 28-31; hashed mode keys secure identities by their
// SHA-256 in the table while identify still reports the raw key.
TEST_F(SimulatedSensorTest, CommitKindAndHashedKeys) {
    struct Case {
        const char* name;
        uint8_t tail; // key byte 31
        bool hashed;
        bool owned;
        BYTE kind;
    } cases[] = {
        {"SID", 0, false, false, MOC_IDENTITY_KIND_SID},
        {"SID, hashed mode", 0, true, false, MOC_IDENTITY_KIND_SID},
        {"secure id", 0x9A, false, false, MOC_IDENTITY_KIND_SECURE_ID},
        {"secure id, hashed mode", 0x9A, true, false, MOC_IDENTITY_KIND_SECURE_ID},
        {"secure id, hashed and owned", 0x9A, true, true, MOC_IDENTITY_KIND_SECURE_ID},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MocCapabilities caps{5, 4, static_cast<BYTE>(c.owned), static_cast<BYTE>(c.hashed), {}};
        sensor->SetCapabilities(caps);
        ASSERT_TRUE(Call(IOCTL_MOC_DELETE_TEMPLATE, {MOC_TEMPLATE_SLOT_ALL}, 0).ok);
        IdentityKey key = KeyWithTail(c.tail);

        EnrollSamples(2, 5);
        Bytes commit{WINBIO_ANSI_381_POS_LH_THUMB};
        commit.insert(commit.end(), key.Bytes, key.Bytes + 32);
        ASSERT_TRUE(Call(IOCTL_MOC_COMMIT_ENROLLMENT, commit, 0).ok);

        const size_t entry = c.owned ? 52 : 35;
        Result table = Call(IOCTL_MOC_READ_TEMPLATE_TABLE, {}, 4 * 52);
        ASSERT_EQ(table.reply.size(), 4 * entry);
        const uint8_t* slot = table.reply.data() + 2 * entry;
        EXPECT_EQ(slot[0], MOC_SLOT_STATE_USED);
        EXPECT_EQ(slot[1], c.kind);
        EXPECT_EQ(slot[2], WINBIO_ANSI_381_POS_LH_THUMB);
        Bytes expectedKey = (c.hashed && c.kind == MOC_IDENTITY_KIND_SECURE_ID)
                                ? Sha256(key.Bytes, 32)
                                : moc_test::BytesOf(key.Bytes);
        EXPECT_EQ(Bytes(slot + 3, slot + 35), expectedKey);
        if (c.owned) {
            HostOwnerId owner = sensor->HostOwner();
            EXPECT_EQ(Bytes(slot + 36, slot + 52), Bytes(owner.Bytes, owner.Bytes + 16));
        }

        // The same finger identifies, with a nonce, as the raw key and an authorization
        // a test can recompute.
        Present(5);
        Bytes nonce(32, 0x5C);
        Result id = Call(IOCTL_MOC_IDENTIFY, nonce, 94);
        ASSERT_EQ(id.reply.size(), 94u);
        EXPECT_EQ(id.reply[0], MOC_STATUS_SUCCESS);
        EXPECT_EQ(id.reply[1], WINBIO_ANSI_381_POS_LH_THUMB);
        EXPECT_EQ(Bytes(id.reply.begin() + 2, id.reply.begin() + 34), moc_test::BytesOf(key.Bytes));
        Bytes message = nonce;
        message.insert(message.end(), key.Bytes, key.Bytes + 32);
        message.push_back(WINBIO_ANSI_381_POS_LH_THUMB);
        Bytes authKey(32);
        for (int i = 0; i < 32; ++i)
            authKey[i] = static_cast<uint8_t>(0xA0 + i);
        Bytes mac(32);
        mbedtls_md_hmac(mbedtls_md_info_from_type(MBEDTLS_MD_SHA256), authKey.data(), 32,
                        message.data(), message.size(), mac.data());
        EXPECT_EQ(Bytes(id.reply.begin() + 34, id.reply.begin() + 66), mac);
    }
}

TEST_F(SimulatedSensorTest, TableEditsBetweenCallsAreSeenByTheChip) {
    sensor->Enroll(0, KeyWithTail(1), 2, /*finger*/ 8);
    // Another host enrolls slot 1 behind the host's back.
    SimSlot foreign;
    foreign.state = MOC_SLOT_STATE_USED;
    foreign.subFactor = 3;
    foreign.finger = 9;
    foreign.owner.Bytes[0] = 0x99;
    sensor->SetSlot(1, foreign);

    Result table = Call(IOCTL_MOC_READ_TEMPLATE_TABLE, {}, 350);
    ASSERT_EQ(table.reply.size(), 350u);
    EXPECT_EQ(table.reply[0], MOC_SLOT_STATE_USED);
    EXPECT_EQ(table.reply[1], MOC_IDENTITY_KIND_SECURE_ID);
    EXPECT_EQ(table.reply[35], MOC_SLOT_STATE_USED);
    EXPECT_EQ(table.reply[37], 3);
    Present(9);
    EXPECT_EQ(Call(IOCTL_MOC_IDENTIFY, {}, 94).reply[1], 3);
    EXPECT_EQ(Call(IOCTL_MOC_BEGIN_ENROLLMENT, {1}, 0).error,
              static_cast<DWORD>(ERROR_ALREADY_EXISTS));

    // A slot in neither state is not free.
    SimSlot filler = foreign;
    filler.finger = 77;
    SimSlot odd;
    odd.state = 2;
    for (size_t i = 2; i < 10; ++i)
        sensor->SetSlot(i, i == 9 ? odd : filler);
    EXPECT_EQ(Call(IOCTL_MOC_CHECK_FREE_SLOT, {}, 1).reply, Bytes{0});
    // A bad slot number in a multiple delete leaves every slot in place.
    EXPECT_EQ(Call(IOCTL_MOC_DELETE_TEMPLATES, {3, 10}, 0).error,
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(sensor->Slot(3).state, MOC_SLOT_STATE_USED);
    EXPECT_TRUE(Call(IOCTL_MOC_DELETE_TEMPLATES, {3}, 0).ok);
    EXPECT_EQ(Call(IOCTL_MOC_CHECK_FREE_SLOT, {}, 1).reply, Bytes{1});
    // Removing the matched finger's slot turns the next identify into a no-match.
    EXPECT_TRUE(Call(IOCTL_MOC_DELETE_TEMPLATE, {1}, 0).ok);
    Present(9);
    EXPECT_EQ(Call(IOCTL_MOC_IDENTIFY, {}, 94).reply[0], MOC_STATUS_NO_MATCH);
}

// The chip builds a template only from the samples it was asked for: each accepted as
// good and confirmed as good under its own token, after the begin on that enrollment.
TEST_F(SimulatedSensorTest, CommitNeedsTheConfirmedSamplesOfItsEnrollment) {
    enum Step { kGood, kUnconfirmed, kWrongToken, kConfirmedBad, kRejected, kForIdentify };
    struct Case {
        const char* name;
        bool begin;
        std::vector<Step> samples;
        bool committed;
    } cases[] = {
        {"four good samples", true, {kGood, kGood, kGood, kGood}, true},
        {"more than asked for", true, {kGood, kGood, kGood, kGood, kGood}, true},
        {"no enrollment begun", false, {kGood, kGood, kGood, kGood}, false},
        {"three good samples", true, {kGood, kGood, kGood}, false},
        {"one not confirmed", true, {kGood, kGood, kGood, kUnconfirmed}, false},
        {"one confirmed under another token", true, {kGood, kGood, kGood, kWrongToken}, false},
        {"one confirmed as bad", true, {kGood, kGood, kGood, kConfirmedBad}, false},
        {"one refused by the chip", true, {kGood, kGood, kGood, kRejected}, false},
        // Taken for another purpose, a sample serves no enrollment.
        {"one accepted for identify", true, {kGood, kGood, kGood, kForIdentify}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(Call(IOCTL_MOC_DELETE_TEMPLATE, {MOC_TEMPLATE_SLOT_ALL}, 0).ok);
        if (c.begin) {
            ASSERT_TRUE(Call(IOCTL_MOC_BEGIN_ENROLLMENT, {3}, 0).ok);
        }
        for (Step step : c.samples) {
            if (step == kRejected) {
                Present(6, 7, WINBIO_PURPOSE_ENROLL);
                continue;
            }
            const BYTE purpose =
                step == kForIdentify ? WINBIO_PURPOSE_IDENTIFY : WINBIO_PURPOSE_ENROLL;
            CaptureFinger(6, 0, purpose);
            Bytes confirm = Call(IOCTL_MOC_ACCEPT_SAMPLE, {purpose}, 9).reply;
            ASSERT_EQ(confirm.size(), 9u);
            if (step == kUnconfirmed)
                continue;
            if (step == kWrongToken)
                confirm[1] ^= 0x01;
            if (step == kConfirmedBad)
                confirm[0] = WINBIO_FP_POOR_QUALITY;
            // Without an enrollment the chip takes no confirm of an enrollment sample.
            const BOOL taken = c.begin || purpose != WINBIO_PURPOSE_ENROLL;
            EXPECT_EQ(Call(IOCTL_MOC_CONFIRM_SAMPLE, confirm, 0).ok, taken);
            // A second confirm of one sample counts it once.
            EXPECT_EQ(Call(IOCTL_MOC_CONFIRM_SAMPLE, confirm, 0).ok, taken);
        }
        if (c.samples.size() == 3) {
            // Three confirmed twice each are still three samples.
            EXPECT_EQ(sensor->CurrentEnrollment().samples, 3u);
        }
        Result commit = Call(IOCTL_MOC_COMMIT_ENROLLMENT, Bytes(33, 0x21), 0);
        EXPECT_EQ(commit.ok, c.committed ? TRUE : FALSE);
        EXPECT_EQ(commit.error, c.committed ? 0u : static_cast<DWORD>(ERROR_NOT_READY));
        EXPECT_EQ(sensor->Slot(3).state, c.committed ? MOC_SLOT_STATE_USED : MOC_SLOT_STATE_FREE);
        // A refused commit leaves the enrollment open.
        EXPECT_EQ(sensor->CurrentEnrollment().active, c.begin && !c.committed);
    }
}

// One identify uses the accepted sample up; a new sample matches again.
TEST_F(SimulatedSensorTest, IdentifyUsesTheAcceptedSampleUp) {
    sensor->Enroll(4, KeyWithTail(0), 2, /*finger*/ 8);
    for (const Bytes& nonce : {Bytes{}, Bytes(32, 0x33)}) {
        SCOPED_TRACE(nonce.size());
        Present(8);
        EXPECT_EQ(Call(IOCTL_MOC_IDENTIFY, nonce, 94).reply[0], MOC_STATUS_SUCCESS);
        Result again = Call(IOCTL_MOC_IDENTIFY, nonce, 94);
        ASSERT_EQ(again.reply.size(), 94u);
        EXPECT_EQ(again.reply[0], MOC_STATUS_NO_MATCH);
        // No sub-factor, key or authorization.
        const size_t end = nonce.empty() ? 34 : 66;
        EXPECT_EQ(Bytes(again.reply.begin() + 1, again.reply.begin() + end), Bytes(end - 1, 0));
    }
    // A refused sample stays refused only once too.
    Present(8, 7);
    EXPECT_EQ(Call(IOCTL_MOC_IDENTIFY, {}, 94).reply[0], 7);
    EXPECT_EQ(Call(IOCTL_MOC_IDENTIFY, {}, 94).reply[0], MOC_STATUS_NO_MATCH);
    Present(8);
    EXPECT_EQ(Call(IOCTL_MOC_IDENTIFY, {}, 94).reply[0], MOC_STATUS_SUCCESS);
    // The capture it came from is taken: accepting it again finds no capture, and the
    // sample matches no second time.
    EXPECT_EQ(Call(IOCTL_MOC_ACCEPT_SAMPLE, {WINBIO_PURPOSE_IDENTIFY}, 9).error,
              static_cast<DWORD>(ERROR_NOT_READY));
    EXPECT_EQ(Call(IOCTL_MOC_IDENTIFY, {}, 94).reply[0], MOC_STATUS_NO_MATCH);
}

// Each sample request in its place: an accept takes a capture once, a confirm needs an
// accepted sample (and, for an enrollment sample, an enrollment), an identify needs a
// sample taken for a match.
TEST_F(SimulatedSensorTest, SampleRequestsOutOfPlaceAreRefused) {
    sensor->Enroll(4, KeyWithTail(0), 2, /*finger*/ 8);
    const DWORD kNotReady = ERROR_NOT_READY;
    Bytes accepted;
    auto accept = [&](BYTE purpose) {
        Result r = Call(IOCTL_MOC_ACCEPT_SAMPLE, {purpose}, 9);
        accepted = r.reply;
        return r;
    };
    auto confirm = [&] { return Call(IOCTL_MOC_CONFIRM_SAMPLE, ConfirmOf(accepted), 0); };
    auto identify = [&] { return Call(IOCTL_MOC_IDENTIFY, {}, 94); };
    struct Case {
        const char* name;
        std::function<void()> before;
        std::function<Result()> request;
        DWORD error;
    } cases[] = {
        {"accept without a capture", [] {}, [&] { return accept(WINBIO_PURPOSE_IDENTIFY); },
         kNotReady},
        {"second accept of one capture",
         [&] {
             CaptureFinger(8);
             accept(WINBIO_PURPOSE_IDENTIFY);
         },
         [&] { return accept(WINBIO_PURPOSE_VERIFY); }, kNotReady},
        {"confirm without an accepted sample", [&] { CaptureFinger(8); }, confirm, kNotReady},
        {"confirm of an enrollment sample without an enrollment",
         [&] {
             CaptureFinger(8);
             accept(WINBIO_PURPOSE_ENROLL);
         },
         confirm, kNotReady},
        {"confirm of an identify sample",
         [&] {
             CaptureFinger(8);
             accept(WINBIO_PURPOSE_IDENTIFY);
         },
         confirm, 0},
        {"identify on an enrollment sample",
         [&] {
             ASSERT_TRUE(Call(IOCTL_MOC_BEGIN_ENROLLMENT, {0}, 0).ok);
             CaptureFinger(8);
             accept(WINBIO_PURPOSE_ENROLL_FOR_IDENTIFICATION);
             ASSERT_TRUE(confirm().ok);
         },
         identify, kNotReady},
        {"identify on a verify sample",
         [&] {
             CaptureFinger(8);
             accept(WINBIO_PURPOSE_VERIFY);
             ASSERT_TRUE(confirm().ok);
         },
         identify, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // A reset chip holds no sample and no enrollment.
        ASSERT_TRUE(Call(IOCTL_BIOMETRIC_RESET, {}, 8).ok);
        accepted = Bytes(9, 0); // the confirm of no accept
        c.before();
        const Result r = c.request();
        EXPECT_EQ(r.error, c.error);
        EXPECT_EQ(r.ok, c.error == 0 ? TRUE : FALSE);
    }
}

// The log records the answer beside the request: at once, on completion of a pending
// request, and not at all for a request cancelled before the sensor answered.
TEST_F(SimulatedSensorTest, LogRecordsWhatTheSensorAnswered) {
    sensor->FailNext(IOCTL_MOC_GET_POLICY, ERROR_BUSY);
    Call(IOCTL_MOC_GET_POLICY, {}, 8);
    Call(IOCTL_MOC_GET_SENSOR_ID, {}, 64);
    sensor->ReplyShort(IOCTL_MOC_GET_CAPABILITIES, 3);
    Call(IOCTL_MOC_GET_CAPABILITIES, {}, 8);
    Call(IOCTL_MOC_READ_MATCH_DATA, {}, 2); // too small: refused, nothing written
    sensor->PendNext(IOCTL_MOC_PRIVATE_COMMAND_1, 2);
    uint8_t buffer[3] = {1, 2, 3};
    EXPECT_FALSE(DeviceIoControl(handle, IOCTL_MOC_PRIVATE_COMMAND_1, buffer, 3, buffer, 3, nullptr,
                                 &overlapped));
    EXPECT_EQ(sensor->Log().back().answered, false);
    EXPECT_TRUE(sensor->CompletePending(IOCTL_MOC_PRIVATE_COMMAND_1));
    ResetEvent(event);
    EXPECT_FALSE(DeviceIoControl(handle, IOCTL_MOC_PRIVATE_COMMAND_1, buffer, 3, buffer, 3, nullptr,
                                 &overlapped));
    EXPECT_TRUE(CancelIoEx(handle, &overlapped));

    struct Expected {
        DWORD code;
        bool answered;
        DWORD error;
        DWORD bytes;
    } expected[] = {
        {IOCTL_MOC_GET_POLICY, true, ERROR_BUSY, 0},
        {IOCTL_MOC_GET_SENSOR_ID, true, 0, 32},
        {IOCTL_MOC_GET_CAPABILITIES, true, 0, 3},
        {IOCTL_MOC_READ_MATCH_DATA, true, ERROR_INSUFFICIENT_BUFFER, 0},
        {IOCTL_MOC_PRIVATE_COMMAND_1, true, 0, 3},
        {IOCTL_MOC_PRIVATE_COMMAND_1, false, 0, 0},
    };
    const auto log = sensor->Log();
    ASSERT_EQ(log.size(), std::size(expected));
    for (size_t i = 0; i < log.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(log[i].code, expected[i].code);
        EXPECT_EQ(log[i].answered, expected[i].answered);
        EXPECT_EQ(log[i].error, expected[i].error);
        EXPECT_EQ(log[i].bytesReturned, expected[i].bytes);
    }
}

// A test sets the kind a commit is stored with; the hashing rule follows that kind.
TEST_F(SimulatedSensorTest, CommitIdentityKindSetByTheTest) {
    sensor->SetCapabilities({5, 4, 0, 1, {}});
    const IdentityKey key = KeyWithTail(0); // a SID by the key rule
    Bytes commit{WINBIO_ANSI_381_POS_RH_THUMB};
    commit.insert(commit.end(), key.Bytes, key.Bytes + 32);

    sensor->SetCommitIdentityKind(MOC_IDENTITY_KIND_SECURE_ID);
    EnrollSamples(0, 3);
    ASSERT_TRUE(Call(IOCTL_MOC_COMMIT_ENROLLMENT, commit, 0).ok);
    EXPECT_EQ(sensor->Slot(0).identityKind, MOC_IDENTITY_KIND_SECURE_ID);
    EXPECT_EQ(moc_test::BytesOf(sensor->Slot(0).key),
              moc_test::BytesOf(simsensor::SimulatedSensor::Sha256Key(key)));

    sensor->SetCommitIdentityKind(std::nullopt);
    EnrollSamples(1, 4);
    ASSERT_TRUE(Call(IOCTL_MOC_COMMIT_ENROLLMENT, commit, 0).ok);
    EXPECT_EQ(sensor->Slot(1).identityKind, MOC_IDENTITY_KIND_SID);
    EXPECT_EQ(moc_test::BytesOf(sensor->Slot(1).key), moc_test::BytesOf(key));
}

// A capture waits for a finger; its sample carries the presentation's status byte where
// the sensor adapter reads it.
TEST_F(SimulatedSensorTest, CaptureWaitsForAFinger) {
    WINBIO_CAPTURE_PARAMETERS params{};
    params.PayloadSize = sizeof(params);
    params.Purpose = WINBIO_PURPOSE_ENROLL;
    uint8_t buffer[161] = {};
    ASSERT_FALSE(DeviceIoControl(handle, IOCTL_BIOMETRIC_CAPTURE_DATA, &params, sizeof(params),
                                 buffer, sizeof(buffer), nullptr, &overlapped));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(sensor->PendingCount(IOCTL_BIOMETRIC_CAPTURE_DATA), 1u);

    Presentation p;
    p.finger = 4;
    p.captureStatus = 1;
    sensor->PresentFinger(p);
    DWORD bytes = 0;
    ASSERT_TRUE(GetOverlappedResult(handle, &overlapped, &bytes, TRUE));
    WINBIO_CAPTURE_DATA head;
    std::memcpy(&head, buffer, 20);
    ASSERT_LE(20 + head.CaptureData.Size, bytes);
    WINBIO_BIR bir;
    std::memcpy(&bir, buffer + 20, sizeof(bir));
    ASSERT_LT(20 + bir.StandardDataBlock.Offset + 56, bytes);
    EXPECT_EQ(buffer[20 + bir.StandardDataBlock.Offset + 56], 1);
    EXPECT_EQ(buffer[20 + bir.HeaderBlock.Offset + 13], WINBIO_PURPOSE_ENROLL);

    // A cancelled capture leaves the next finger for the next capture.
    ASSERT_FALSE(DeviceIoControl(handle, IOCTL_BIOMETRIC_CAPTURE_DATA, &params, sizeof(params),
                                 buffer, sizeof(buffer), nullptr, &overlapped));
    EXPECT_TRUE(CancelIoEx(handle, nullptr));
    sensor->PresentFinger(p);
    EXPECT_EQ(sensor->QueuedPresentations(), 1u);
}

// A planned short or failed capture reply applies when the capture completes, whether the
// finger was already there (at once) or came while the capture waited.
TEST_F(SimulatedSensorTest, PlannedCaptureFaultMeetsTheCompletion) {
    struct Case {
        const char* name;
        Fault::Kind kind;
        bool fingerFirst;
        BOOL ok;
        DWORD error;
        DWORD bytes;
        size_t queuedAfter; // presentations left once the capture is done
    } cases[] = {
        {"short, finger first", Fault::Kind::Short, true, TRUE, 0, 30, 0},
        {"short, finger later", Fault::Kind::Short, false, TRUE, 0, 30, 0},
        {"failed, finger first", Fault::Kind::Fail, true, FALSE, ERROR_GEN_FAILURE, 0, 1},
        {"failed, finger later", Fault::Kind::Fail, false, FALSE, ERROR_GEN_FAILURE, 0, 1},
    };
    WINBIO_CAPTURE_PARAMETERS params{};
    params.PayloadSize = sizeof(params);
    params.Purpose = WINBIO_PURPOSE_IDENTIFY;
    Presentation p;
    p.finger = 3;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fault fault;
        fault.kind = c.kind;
        fault.bytes = 30;
        sensor->PlanFault(IOCTL_BIOMETRIC_CAPTURE_DATA, fault);
        if (c.fingerFirst)
            sensor->PresentFinger(p);
        uint8_t buffer[161];
        std::memset(buffer, 0xEE, sizeof(buffer));
        BOOL started =
            DeviceIoControl(handle, IOCTL_BIOMETRIC_CAPTURE_DATA, &params, sizeof(params), buffer,
                            sizeof(buffer), nullptr, &overlapped);
        if (!c.fingerFirst) {
            ASSERT_FALSE(started);
            ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
            // Nothing else completes it while it waits for the finger.
            EXPECT_FALSE(sensor->CompletePending(IOCTL_BIOMETRIC_CAPTURE_DATA));
            sensor->PresentFinger(p);
        }
        DWORD bytes = 0xFFFF;
        SetLastError(0);
        EXPECT_EQ(GetOverlappedResult(handle, &overlapped, &bytes, TRUE), c.ok);
        EXPECT_EQ(c.ok ? 0 : GetLastError(), c.error);
        EXPECT_EQ(bytes, c.bytes);
        EXPECT_EQ(buffer[c.bytes], 0xEE) << "nothing past the short reply";
        EXPECT_EQ(sensor->QueuedPresentations(), c.queuedAfter);
        EXPECT_EQ(sensor->PendingCount(IOCTL_BIOMETRIC_CAPTURE_DATA), 0u);

        // Used up: the next capture takes a finger whole.
        sensor->PresentFinger(p);
        ASSERT_TRUE(DeviceIoControl(handle, IOCTL_BIOMETRIC_CAPTURE_DATA, &params, sizeof(params),
                                    buffer, sizeof(buffer), nullptr, &overlapped));
        ASSERT_TRUE(GetOverlappedResult(handle, &overlapped, &bytes, TRUE));
        EXPECT_EQ(bytes, 161u);
        while (sensor->QueuedPresentations() != 0) {
            ASSERT_TRUE(DeviceIoControl(handle, IOCTL_BIOMETRIC_CAPTURE_DATA, &params,
                                        sizeof(params), buffer, sizeof(buffer), nullptr,
                                        &overlapped));
        }
    }
}

// A held fault goes with its capture when the capture is cancelled.
TEST_F(SimulatedSensorTest, CancelledCaptureDropsItsHeldFault) {
    WINBIO_CAPTURE_PARAMETERS params{};
    params.PayloadSize = sizeof(params);
    params.Purpose = WINBIO_PURPOSE_IDENTIFY;
    uint8_t buffer[161] = {};
    sensor->FailNext(IOCTL_BIOMETRIC_CAPTURE_DATA, ERROR_GEN_FAILURE);
    ASSERT_FALSE(DeviceIoControl(handle, IOCTL_BIOMETRIC_CAPTURE_DATA, &params, sizeof(params),
                                 buffer, sizeof(buffer), nullptr, &overlapped));
    ASSERT_TRUE(CancelIoEx(handle, &overlapped));
    ASSERT_FALSE(DeviceIoControl(handle, IOCTL_BIOMETRIC_CAPTURE_DATA, &params, sizeof(params),
                                 buffer, sizeof(buffer), nullptr, &overlapped));
    Presentation p;
    p.finger = 5;
    sensor->PresentFinger(p);
    DWORD bytes = 0;
    EXPECT_TRUE(GetOverlappedResult(handle, &overlapped, &bytes, TRUE));
    EXPECT_EQ(bytes, 161u);
}

} // namespace
