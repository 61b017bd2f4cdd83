// The roads of an identify and of an enrollment end to end: the framework stand-in drives
// the loaded TolviMocAdapter through its interface tables against the simulated sensor of
// this process.
#include <gtest/gtest.h>
#include <windows.h>
#include <wtsapi32.h>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mbedtls/md.h>
#include <thread>
#include "host/adapter_library.h"
#include "host/biometric_unit.h"
#include "host/identities.h"
#include "host/trace_decoder.h"
#include "platform/native_path.h"
#include "platform/test.h"
#include "simsensor/simulated_sensor.h"
#include "storage/database_file.h"
#include "support/bytes.h"
#include "support/temp_root.h"

namespace {

using host::BiometricUnit;
using moc_test::Bytes;
using simsensor::SimulatedSensor;

constexpr BYTE kFinger = WINBIO_ANSI_381_POS_RH_INDEX_FINGER;
constexpr BYTE kOtherFinger = WINBIO_ANSI_381_POS_LH_INDEX_FINGER;

simsensor::Presentation Finger(BYTE finger) {
    simsensor::Presentation p;
    p.finger = finger;
    p.subFactor = finger;
    return p;
}

Bytes SidBytes(const WINBIO_IDENTITY& identity) {
    return Bytes(identity.Value.AccountSid.Data,
                 identity.Value.AccountSid.Data + identity.Value.AccountSid.Size);
}

// One chip, one root, and units on them as the framework brings them up.
class Chip {
public:
    Chip() {
        std::filesystem::create_directories(root_.Native(host::kDatabaseFolder));
        sensor = std::make_shared<SimulatedSensor>();
        handle = platform::test::OpenDevice(sensor);
    }
    ~Chip() { CloseHandle(handle); }

    std::unique_ptr<BiometricUnit> Unit(const host::AdapterTables& tables) {
        auto unit = std::make_unique<BiometricUnit>(tables, handle);
        EXPECT_EQ(unit->Start(), S_OK);
        return unit;
    }

    // An enrollment with the finger put down again for every sample.
    host::EnrollResult Enroll(BiometricUnit& unit, BYTE finger, bool authenticated = false) {
        sensor->PresentFinger(Finger(finger));
        auto again = [&](const host::SampleReport& s) {
            if (s.result == WINBIO_I_MORE_DATA)
                sensor->PresentFinger(Finger(finger));
        };
        return authenticated
                   ? unit.EnrollAuthenticated(host::SignedInUserSecureIdentity(), finger, again)
                   : unit.Enroll(host::SignedInUser(), finger, again);
    }

    host::IdentifyResult SignIn(BiometricUnit& unit, BYTE finger) {
        sensor->PresentFinger(Finger(finger));
        platform::test::SetConsoleLockState(static_cast<LONG>(WTS_SESSIONSTATE_LOCK));
        host::IdentifyResult r = unit.Identify();
        platform::test::SetConsoleLockState(static_cast<LONG>(WTS_SESSIONSTATE_UNLOCK));
        return r;
    }

    // The record file's header fields, taken out of the packed record by value.
    struct FileHeader {
        USHORT blocks = 0;
        std::vector<ULONG> counters;
    };
    FileHeader PrivateFileHeader() const {
        DatabaseFileHeader header{};
        std::ifstream file(root_.Native(host::PrivateDatabasePath()), std::ios::binary);
        file.read(reinterpret_cast<char*>(&header), sizeof(header));
        const MatchStatistics s = header.Statistics;
        return {
            header.BlockCount,
            {s.Identifications, s.Matches, s.BadCaptures, s.UnknownIdentities, s.OtherFailures}};
    }

    // The sub-factor of each block of the record file, in file order.
    std::vector<BYTE> PrivateFileSubFactors() const {
        std::ifstream file(root_.Native(host::PrivateDatabasePath()), std::ios::binary);
        DatabaseFileHeader header{};
        file.read(reinterpret_cast<char*>(&header), sizeof(header));
        file.seekg(header.HeaderSize);
        std::vector<BYTE> subFactors;
        DatabaseRecordBlock block{};
        for (USHORT i = 0;
             i < header.BlockCount && file.read(reinterpret_cast<char*>(&block), sizeof(block));
             ++i)
            subFactors.push_back(block.SubFactor);
        return subFactors;
    }

    std::shared_ptr<SimulatedSensor> sensor;
    HANDLE handle = INVALID_HANDLE_VALUE;

private:
    moc_test::TempRoot root_;
};

class RoadsTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::test::ResetAll();
        std::string why;
        library = host::AdapterLibrary::Load(MOC_ADAPTER_LIBRARY, &why);
        ASSERT_NE(library, nullptr) << why;
        chip = std::make_unique<Chip>();
    }
    void TearDown() override {
        chip.reset();
        library.reset();
        platform::test::ResetAll();
    }

    const host::AdapterTables& Tables() const { return library->Tables(); }

    std::unique_ptr<host::AdapterLibrary> library;
    std::unique_ptr<Chip> chip;
};

struct Expected {
    DWORD code;
    Bytes input;
    bool overlapped = false;
};

TEST_F(RoadsTest, AnIdentifySendsTheFrameworksRoadToTheDriverInOrder) {
    {
        auto unit = chip->Unit(Tables());
        ASSERT_EQ(chip->Enroll(*unit, kFinger).result, S_OK);
    }
    chip->sensor->ClearLog();

    auto unit = chip->Unit(Tables());
    host::IdentifyResult r = chip->SignIn(*unit, kFinger);
    unit->Stop();

    ASSERT_EQ(r.result, S_OK);
    EXPECT_TRUE(host::SameIdentity(r.identity, host::SignedInUser()));
    EXPECT_EQ(r.subFactor, kFinger);

    const ULONG64 token = chip->sensor->LastSampleToken();
    Bytes confirm = moc_test::Concat({{0},
                                      moc_test::Le32(static_cast<uint32_t>(token)),
                                      moc_test::Le32(static_cast<uint32_t>(token >> 32))});
    Bytes captureParameters(32, 0);
    captureParameters[0] = 32;
    captureParameters[4] = WINBIO_PURPOSE_IDENTIFY;
    captureParameters[6] = 0x1B; // the standard format, 0x001B / 0x0401
    captureParameters[8] = 0x01;
    captureParameters[9] = 0x04;
    // The engine's vendor format, {7A23C065-7884-45A4-9F01-CBA7FBCB0179}.
    const Bytes vendorFormat = moc_test::FromHex("65c0237a8478a4459f01cba7fbcb0179");
    std::copy(vendorFormat.begin(), vendorFormat.end(), captureParameters.begin() + 12);
    captureParameters[28] = WINBIO_DATA_FLAG_RAW;
    MatchDetail detail{};
    detail.Value0 = 12345;
    detail.Value1 = -2500;
    for (size_t i = 0; i < sizeof(detail.Reserved); ++i)
        detail.Reserved[i] = static_cast<BYTE>(0x80 + i);
    const Bytes detailBytes = moc_test::BytesOf(detail);
    Bytes report = {MOC_MATCH_REPORT_KIND, MOC_MATCH_RESULT_MATCH};
    report.insert(report.end(), detailBytes.begin() + 4, detailBytes.end());

    const std::vector<Expected> expected = {
        // Attach: the sensor, engine and storage adapters each read what they need.
        {IOCTL_MOC_GET_SENSOR_ID, {}},
        {IOCTL_MOC_GET_SENSOR_ID, {}},
        {IOCTL_MOC_GET_CAPABILITIES, {}},
        {IOCTL_MOC_GET_SENSOR_ID, {}},
        {IOCTL_MOC_GET_CAPABILITIES, {}},
        {IOCTL_MOC_GET_POLICY, {}},
        // The database opens: version, reconciliation with the table, version set.
        {IOCTL_MOC_DATABASE_VERSION, {MOC_DATABASE_VERSION_GET, 0, 0, 0, 0}},
        {IOCTL_MOC_READ_TEMPLATE_TABLE, {}},
        {IOCTL_MOC_DATABASE_VERSION, {MOC_DATABASE_VERSION_SET, 3, 0, 0, 0}},
        // The capture: the sensor's formats once, then the sample, overlapped.
        {IOCTL_BIOMETRIC_GET_ATTRIBUTES, {}},
        {IOCTL_BIOMETRIC_CAPTURE_DATA, captureParameters, true},
        // The push: the chip takes its sample and the engine confirms it.
        {IOCTL_MOC_ACCEPT_SAMPLE, {WINBIO_PURPOSE_IDENTIFY}},
        {IOCTL_MOC_CONFIRM_SAMPLE, confirm},
        // The identify, its result back to the chip, and the match report.
        {IOCTL_MOC_IDENTIFY, {}},
        {IOCTL_MOC_SET_MATCH_RESULT, {MOC_MATCH_RESULT_MATCH}},
        {IOCTL_MOC_REPORT_MATCH, report},
        // Deactivate.
        {IOCTL_MOC_NOTIFY_DEACTIVATE, {}},
    };
    const std::vector<simsensor::LoggedRequest> log = chip->sensor->Log();
    ASSERT_EQ(log.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE("request " + std::to_string(i));
        EXPECT_EQ(log[i].code, expected[i].code);
        EXPECT_EQ(moc_test::Hex(log[i].input), moc_test::Hex(expected[i].input));
        EXPECT_EQ(log[i].overlapped, expected[i].overlapped);
        EXPECT_EQ(log[i].error, static_cast<DWORD>(ERROR_SUCCESS));
    }
}

// Plain, and authenticated with the framework's nonce.
class EnrollmentRoadTest : public RoadsTest, public ::testing::WithParamInterface<bool> {};

TEST_P(EnrollmentRoadTest, TheEnrolledFingerSignsInAndAnotherIsRefused) {
    const bool authenticated = GetParam();
    auto unit = chip->Unit(Tables());
    std::vector<host::SampleReport> samples;
    chip->sensor->PresentFinger(Finger(kFinger));
    auto onSample = [&](const host::SampleReport& s) {
        samples.push_back(s);
        if (s.result == WINBIO_I_MORE_DATA)
            chip->sensor->PresentFinger(Finger(kFinger));
    };
    const WINBIO_IDENTITY identity =
        authenticated ? host::SignedInUserSecureIdentity() : host::SignedInUser();
    host::EnrollResult enrolled = authenticated
                                      ? unit->EnrollAuthenticated(identity, kFinger, onSample)
                                      : unit->Enroll(identity, kFinger, onSample);
    ASSERT_EQ(enrolled.result, S_OK) << enrolled.step;
    EXPECT_TRUE(enrolled.duplicateChecked);
    EXPECT_FALSE(enrolled.duplicate);
    ASSERT_EQ(samples.size(), 4u);
    for (size_t i = 0; i < samples.size(); ++i) {
        EXPECT_EQ(samples[i].index, i + 1);
        EXPECT_EQ(samples[i].total, 4u);
        EXPECT_EQ(samples[i].result, i + 1 < samples.size() ? WINBIO_I_MORE_DATA : S_OK);
    }

    // The chip holds the template in its first slot under the identity; the host one record.
    const simsensor::SimSlot slot = chip->sensor->Slot(0);
    EXPECT_EQ(slot.state, MOC_SLOT_STATE_USED);
    EXPECT_EQ(slot.subFactor, kFinger);
    EXPECT_EQ(slot.identityKind,
              authenticated ? MOC_IDENTITY_KIND_SECURE_ID : MOC_IDENTITY_KIND_SID);
    const Bytes key = authenticated ? Bytes(identity.Value.SecureId, identity.Value.SecureId + 32)
                                    : moc_test::Concat({SidBytes(identity), Bytes(4, 0)});
    EXPECT_EQ(moc_test::Hex(moc_test::BytesOf(slot.rawKey)), moc_test::Hex(key));
    EXPECT_EQ(chip->sensor->Slot(1).state, MOC_SLOT_STATE_FREE);
    EXPECT_EQ(chip->PrivateFileHeader().blocks, 1);

    if (authenticated) {
        // The chip's enrollment nonce is what the framework was handed.
        Bytes chipNonce(32);
        for (size_t i = 0; i < chipNonce.size(); ++i)
            chipNonce[i] = static_cast<uint8_t>(0x60 + i);
        EXPECT_EQ(moc_test::Hex(enrolled.nonce), moc_test::Hex(chipNonce));
        const Bytes nonce = moc_test::Pattern(32, 0x3C);
        chip->sensor->PresentFinger(Finger(kFinger));
        host::IdentifyResult r = unit->IdentifyAuthenticated(nonce);
        ASSERT_EQ(r.result, S_OK);
        EXPECT_TRUE(host::SameIdentity(r.identity, identity));
        EXPECT_EQ(r.subFactor, kFinger);
        EXPECT_EQ(moc_test::Hex(r.authorization), moc_test::Hex(SimulatedSensor::Authorization(
                                                      {}, nonce.data(), slot.rawKey, kFinger)));
        chip->sensor->PresentFinger(Finger(kOtherFinger));
        EXPECT_EQ(unit->IdentifyAuthenticated(nonce).result, WINBIO_E_UNKNOWN_ID);
    } else {
        host::IdentifyResult r = chip->SignIn(*unit, kFinger);
        ASSERT_EQ(r.result, S_OK);
        EXPECT_TRUE(host::SameIdentity(r.identity, identity));
        EXPECT_EQ(r.subFactor, kFinger);
        host::IdentifyResult other = chip->SignIn(*unit, kOtherFinger);
        EXPECT_EQ(other.result, WINBIO_E_UNKNOWN_ID);
        EXPECT_EQ(other.identity.Type, WINBIO_ID_TYPE_NULL);
        chip->sensor->PresentFinger(Finger(kFinger));
        host::VerifyResult verified = unit->Verify(identity, kFinger);
        EXPECT_EQ(verified.result, S_OK);
        EXPECT_TRUE(verified.match);
    }
}

// The chip refuses the first commit; the framework's retry in the same unit, with the
// database still open, enrolls the finger, which then signs in. The finger enrolled before
// keeps its record and template.
TEST_P(EnrollmentRoadTest, ARetryAfterAFailedChipCommitEnrollsTheFinger) {
    const bool authenticated = GetParam();
    auto unit = chip->Unit(Tables());
    ASSERT_EQ(chip->Enroll(*unit, kOtherFinger, authenticated).result, S_OK);
    chip->sensor->FailNext(IOCTL_MOC_COMMIT_ENROLLMENT, ERROR_GEN_FAILURE);
    host::EnrollResult failed = chip->Enroll(*unit, kFinger, authenticated);
    EXPECT_EQ(failed.step, "commit");
    EXPECT_EQ(failed.result, static_cast<HRESULT>(MOC_E_COMMIT_ENROLLMENT | ERROR_GEN_FAILURE));

    host::EnrollResult retried = chip->Enroll(*unit, kFinger, authenticated);
    ASSERT_EQ(retried.result, S_OK) << retried.step;
    const std::vector<BYTE> enrolled{kOtherFinger, kFinger};
    EXPECT_EQ(chip->PrivateFileSubFactors(), enrolled);
    std::vector<BYTE> used;
    for (const simsensor::SimSlot& slot : chip->sensor->Table()) {
        if (slot.state == MOC_SLOT_STATE_USED)
            used.push_back(slot.subFactor);
    }
    EXPECT_EQ(used, enrolled);

    const WINBIO_IDENTITY identity =
        authenticated ? host::SignedInUserSecureIdentity() : host::SignedInUser();
    for (BYTE finger : enrolled) {
        SCOPED_TRACE(int(finger));
        host::IdentifyResult r;
        if (authenticated) {
            chip->sensor->PresentFinger(Finger(finger));
            r = unit->IdentifyAuthenticated(moc_test::Pattern(32, 0x3C));
        } else {
            r = chip->SignIn(*unit, finger);
        }
        ASSERT_EQ(r.result, S_OK);
        EXPECT_TRUE(host::SameIdentity(r.identity, identity));
        EXPECT_EQ(r.subFactor, finger);
    }
}

INSTANTIATE_TEST_SUITE_P(PlainAndAuthenticated, EnrollmentRoadTest, ::testing::Bool());

TEST_F(RoadsTest, TheSameFingerTwiceIsADuplicate) {
    auto unit = chip->Unit(Tables());
    ASSERT_EQ(chip->Enroll(*unit, kFinger).result, S_OK);
    host::EnrollResult again = chip->Enroll(*unit, kFinger);
    EXPECT_EQ(again.result, WINBIO_E_DUPLICATE_ENROLLMENT);
    EXPECT_TRUE(again.duplicate);
    EXPECT_TRUE(host::SameIdentity(again.duplicateIdentity, host::SignedInUser()));
    EXPECT_EQ(again.duplicateSubFactor, kFinger);
    EXPECT_EQ(chip->sensor->Slot(1).state, MOC_SLOT_STATE_FREE);
    EXPECT_EQ(chip->PrivateFileHeader().blocks, 1);
}

TEST_F(RoadsTest, DeletingRemovesTheRecordAndTheChipSlot) {
    auto unit = chip->Unit(Tables());
    ASSERT_EQ(chip->Enroll(*unit, kFinger).result, S_OK);
    ASSERT_EQ(chip->Enroll(*unit, kOtherFinger).result, S_OK);

    EXPECT_EQ(unit->Delete(host::SignedInUser(), kFinger), S_OK);
    host::ListResult listed = unit->List();
    ASSERT_EQ(listed.result, S_OK);
    ASSERT_EQ(listed.records.size(), 1u);
    EXPECT_EQ(listed.records[0].subFactor, kOtherFinger);
    EXPECT_EQ(chip->sensor->Slot(0).state, MOC_SLOT_STATE_FREE);
    EXPECT_EQ(chip->sensor->Slot(1).state, MOC_SLOT_STATE_USED);
    EXPECT_EQ(chip->SignIn(*unit, kFinger).result, WINBIO_E_UNKNOWN_ID);
    EXPECT_EQ(unit->Delete(host::SignedInUser(), kFinger), WINBIO_E_DATABASE_NO_SUCH_RECORD);

    EXPECT_EQ(unit->Delete(host::SignedInUser(), WINBIO_SUBTYPE_ANY), S_OK);
    EXPECT_TRUE(unit->List().records.empty());
    EXPECT_EQ(chip->sensor->Slot(1).state, MOC_SLOT_STATE_FREE);
}

TEST_F(RoadsTest, SignInsAreCountedAtTheLockScreenOnly) {
    auto unit = chip->Unit(Tables());
    ASSERT_EQ(chip->Enroll(*unit, kFinger).result, S_OK);
    EXPECT_EQ(chip->SignIn(*unit, kFinger).result, S_OK);
    EXPECT_EQ(chip->SignIn(*unit, kOtherFinger).result, WINBIO_E_UNKNOWN_ID);
    // The same two while the console is unlocked count nothing.
    chip->sensor->PresentFinger(Finger(kFinger));
    EXPECT_EQ(unit->Identify().result, S_OK);
    chip->sensor->PresentFinger(Finger(kOtherFinger));
    EXPECT_EQ(unit->Identify().result, WINBIO_E_UNKNOWN_ID);

    // Identifications, successes, bad captures, unknown identities, other failures.
    EXPECT_EQ(chip->PrivateFileHeader().counters, (std::vector<ULONG>{2, 1, 0, 1, 0}));
}

TEST_F(RoadsTest, ACaptureWaitingForAFingerEndsWhenCancelled) {
    auto unit = chip->Unit(Tables());
    HRESULT captured = E_FAIL;
    WINBIO_REJECT_DETAIL reject = 0;
    std::thread framework(
        [&] { captured = unit->CaptureSample(WINBIO_PURPOSE_IDENTIFY, &reject); });
    ASSERT_TRUE(platform::test::WaitForIoWaiter(chip->handle, 5000));
    EXPECT_EQ(unit->Cancel(), S_OK);
    framework.join();
    EXPECT_EQ(captured, WINBIO_E_CANCELED);
    EXPECT_EQ(platform::test::PendingIoCount(chip->handle), 0u);

    // The unit goes on: the next finger is captured and taken by the chip.
    chip->sensor->PresentFinger(Finger(kFinger));
    EXPECT_EQ(unit->CaptureSample(WINBIO_PURPOSE_IDENTIFY, &reject), S_OK);
}

// A chip that fails the k-th request of an enrollment: after the next start the host keeps a
// record exactly for each template of this host on the chip.
TEST_F(RoadsTest, AFailedRequestAnywhereInAnEnrollmentLeavesHostAndChipInStep) {
    std::vector<DWORD> road;
    {
        auto unit = chip->Unit(Tables());
        chip->sensor->ClearLog();
        ASSERT_EQ(chip->Enroll(*unit, kFinger).result, S_OK);
        road = chip->sensor->LoggedCodes();
    }
    ASSERT_GT(road.size(), 10u);

    for (size_t at = 0; at < road.size(); ++at) {
        const int nth = static_cast<int>(std::count(road.begin(), road.begin() + at + 1, road[at]));
        SCOPED_TRACE("request " + std::to_string(at) + ", code " + std::to_string(road[at]) +
                     " call " + std::to_string(nth));
        chip = std::make_unique<Chip>();
        {
            auto unit = chip->Unit(Tables());
            chip->sensor->ClearLog();
            chip->sensor->FailAt(road[at], nth, ERROR_GEN_FAILURE);
            chip->Enroll(*unit, kFinger);
            const std::vector<simsensor::LoggedRequest> log = chip->sensor->Log();
            ASSERT_GT(log.size(), at);
            EXPECT_EQ(log[at].code, road[at]);
            EXPECT_EQ(log[at].error, static_cast<DWORD>(ERROR_GEN_FAILURE));
            chip->sensor->ClearFaults();
        }
        auto unit = chip->Unit(Tables());
        host::ListResult listed = unit->List();
        ASSERT_EQ(listed.result, S_OK);
        size_t used = 0;
        for (const simsensor::SimSlot& slot : chip->sensor->Table())
            used += slot.state == MOC_SLOT_STATE_USED ? 1 : 0;
        ASSERT_EQ(listed.records.size(), used);
        if (used == 1) {
            EXPECT_TRUE(host::SameIdentity(listed.records[0].identity, host::SignedInUser()));
            EXPECT_EQ(listed.records[0].subFactor, kFinger);
            EXPECT_EQ(chip->sensor->Slot(0).subFactor, kFinger);
        }
        EXPECT_LE(used, 1u);
    }
}

TEST_F(RoadsTest, EveryTraceOfTheRoadsDecodesFromTheCatalog) {
    host::EnableLibraryTraces();
    {
        auto unit = chip->Unit(Tables());
        ASSERT_EQ(chip->Enroll(*unit, kFinger).result, S_OK);
        EXPECT_EQ(chip->SignIn(*unit, kFinger).result, S_OK);
        EXPECT_EQ(unit->List().result, S_OK);
        EXPECT_EQ(unit->Delete(host::SignedInUser(), kFinger), S_OK);
    }
    std::vector<host::DecodedTrace> traces = host::TakeTraces();
    host::DisableLibraryTraces();

    // The unit label is the SHA-256 of the chip's sensor id in upper-case hex.
    const MocSensorId id = chip->sensor->SensorId();
    uint8_t digest[32];
    mbedtls_md(mbedtls_md_info_from_type(MBEDTLS_MD_SHA256), id.Bytes, sizeof(id.Bytes), digest);
    std::string label = moc_test::Hex(digest, sizeof(digest));
    for (char& c : label)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));

    ASSERT_GT(traces.size(), 50u);
    size_t labelled = 0;
    for (const host::DecodedTrace& t : traces) {
        SCOPED_TRACE(host::TraceLine(t));
        EXPECT_EQ(t.provider, "TolviMocAdapter");
        EXPECT_NE(t.level, "?");
        EXPECT_NE(t.unit.front(), '{');
        // Read as a sentence, each argument of the size and kind its conversion takes.
        EXPECT_FALSE(t.text.empty());
        EXPECT_TRUE(t.argumentsFit);
        if (!t.unitLabel.empty()) {
            EXPECT_EQ(t.unitLabel, label);
            ++labelled;
        }
    }
    EXPECT_GT(labelled, traces.size() / 2);
}

} // namespace
