// Crash consistency of the match statistics updates, which patch the 20
// counter bytes of the private database file in place: four sign-ins at the
// lock screen, one of each outcome, so that between them every counter
// changes. Every file call of one clean run fails in turn, a forked child ends
// just before and just after each, and the power goes just after each and
// after the run, the disk keeping each number of the writes it had not made
// durable. The file is then the old one with nothing but counter bytes changed,
// never of another length. After an end or a cut, the counters are those of
// the sign-ins before the one cut short, with the first writes of its patch
// over them; after a failure of a patch of one write, those of all sign-ins
// but perhaps the failed one; once the run returned, those of all four. The
// next open of the storage adapter deletes no template that the file holds,
// and the enrolled finger still signs in through the loaded adapter library.
#include <wtsapi32.h>
#include <algorithm>
#include <cstdio>
#include <iterator>
#include "engine_fixture.h"
#include "storage/storage_fixture.h"
#include "support/file_crash_points.h"
#include "support/restart.h"

namespace engine_test {
namespace {

using moc_test::CrashKind;

constexpr char kPath[] =
    "C:\\Windows\\System32\\WinBioDatabase\\0A0A09AC-31A1-4880-9AC8-B1FF3C9E94EB.DAT";
constexpr const WCHAR* kFrameworkFile =
    u"C:\\Windows\\System32\\WinBioDatabase\\{6A2F2E1C-0E1E-4D2B-9C3C-5B7E0A1D2F30}.DAT";
constexpr Finger kAccountFinger = 5, kUnknownFinger = 6;
constexpr size_t kCountersAt = 9, kCounters = 5;
constexpr size_t kShortWrite = 8;

struct Outcome {
    Finger finger;
    BYTE acceptStatus;
    bool failIdentify;
    size_t counter; // the one counted beside the identifications
};
const Outcome kOutcomes[] = {
    {kAccountFinger, 0, false, 1},                     // a match
    {kAccountFinger, MOC_STATUS_TOO_SKEWED, false, 2}, // a bad capture
    {kUnknownFinger, 0, false, 3},                     // an unknown finger
    {kAccountFinger, 0, true, 4},                      // the chip's identify fails
};
constexpr size_t kNoOutcome = SIZE_MAX;

class StatisticsCrashTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        const WINBIO_IDENTITY account = SidIdentity(0x30), secure = SecureIdentity(0x70);
        sensor->Enroll(0, KeyOf(account), 2, kAccountFinger);
        sensor->Enroll(1, KeyOf(secure), 3, 9);
        for (int slot = 0; slot < 2; ++slot) {
            const simsensor::SimSlot s = sensor->Slot(slot);
            blocks_.push_back(storage_test::PlainBlock(s.identityKind, s.subFactor,
                                                       Bytes(s.key.Bytes, s.key.Bytes + 32)));
        }
        Attach();
        platform::test::SetConsoleLockState(WTS_SESSIONSTATE_LOCK);
        CreateDirectoryA("C:\\Windows", nullptr);
        CreateDirectoryA("C:\\Windows\\System32", nullptr);
        CreateDirectoryA("C:\\Windows\\System32\\WinBioDatabase", nullptr);
        std::string why;
        library_ = host::AdapterLibrary::Load(MOC_ADAPTER_LIBRARY, &why);
        ASSERT_NE(library_, nullptr) << why;
        statePath_ = root->Folder() + "/simulated-chip.state";
        person_ = {kAccountFinger, 2, account};
    }
    void TearDown() override {
        if (pipeline.StorageContext != nullptr)
            StorageAdapterDetach(&pipeline);
        library_.reset();
        EngineTest::TearDown();
    }

    // The file before the updates, and the chip keeping its state in its file.
    void Arrange() {
        platform::test::WriteWholeFile(kPath, std::string(before_.begin(), before_.end()));
        std::string why;
        ASSERT_TRUE(sensor->KeepStateIn(statePath_, &why)) << why;
    }
    void SignInOfEachOutcome() {
        for (const Outcome& o : kOutcomes) {
            Accept(o.finger, o.acceptStatus);
            if (o.failIdentify)
                sensor->FailNext(IOCTL_MOC_IDENTIFY, 31);
            IdentifyAtLockScreen();
        }
    }
    HRESULT IdentifyAtLockScreen() {
        WINBIO_IDENTITY identity{};
        WINBIO_BIOMETRIC_SUBTYPE subFactor = 0;
        PUCHAR payload = nullptr, hash = nullptr;
        SIZE_T payloadSize = 0, hashSize = 0;
        WINBIO_REJECT_DETAIL reject = 0;
        return engine->IdentifyFeatureSet(&pipeline, &identity, &subFactor, &payload, &payloadSize,
                                          &hash, &hashSize, &reject);
    }
    Bytes FileBytes() const {
        const std::string bytes = platform::test::ReadWholeFile(kPath);
        return Bytes(bytes.begin(), bytes.end());
    }
    // The counter bytes of the file before, with the first `n` outcomes counted
    // but `skipped`.
    Bytes Counted(size_t n, size_t skipped = kNoOutcome) const {
        Bytes counters(before_.begin() + kCountersAt,
                       before_.begin() + kCountersAt + 4 * kCounters);
        auto add = [&](size_t counter) {
            const auto at = counters.begin() + 4 * static_cast<std::ptrdiff_t>(counter);
            uint32_t value = 0;
            for (int b = 3; b >= 0; --b)
                value = value << 8 | at[b];
            const Bytes next = moc_test::Le32(value + 1);
            std::copy(next.begin(), next.end(), at);
        };
        for (size_t i = 0; i < n; ++i) {
            if (i != skipped) {
                add(0);
                add(kOutcomes[i].counter);
            }
        }
        return counters;
    }
    // What the counters may be at the point `kind` left them.
    std::vector<Bytes> Allowed(CrashKind kind) const {
        const size_t n = std::size(kOutcomes);
        if (kind == CrashKind::EndAtEnd || kind == CrashKind::PowerCutAtEnd)
            return {Counted(n)};
        std::vector<Bytes> allowed;
        if (kind == CrashKind::Failure) {
            // A patch in pieces that fails halfway leaves counters that the
            // next update counts on: nothing to say of them.
            if (!wholeWrites_)
                return {};
            allowed.push_back(Counted(n));
            for (size_t skipped = 0; skipped < n; ++skipped)
                allowed.push_back(Counted(n, skipped));
            return allowed;
        }
        const size_t piece = wholeWrites_ ? 4 * kCounters : kShortWrite;
        for (size_t i = 0; i < n; ++i) {
            const Bytes from = Counted(i), to = Counted(i + 1);
            for (size_t written = 0; written < from.size() + piece; written += piece) {
                Bytes mixed = from;
                std::copy(to.begin(), to.begin() + std::min(written, to.size()), mixed.begin());
                allowed.push_back(mixed);
            }
        }
        return allowed;
    }

    void Check(const std::string& where, CrashKind kind) {
        ASSERT_TRUE(moc_test::TakeChipFromStateFile(statePath_, &sensor, &pipeline.SensorHandle))
            << where;
        const Bytes now = FileBytes();
        ASSERT_EQ(now.size(), before_.size()) << where;
        const size_t countersEnd = kCountersAt + 4 * kCounters;
        for (size_t i = 0; i < now.size(); ++i) {
            if (i < kCountersAt || i >= countersEnd) {
                ASSERT_EQ(now[i], before_[i]) << where << ": byte " << i << " changed";
            }
        }
        const Bytes counters(now.begin() + kCountersAt, now.begin() + countersEnd);
        const std::vector<Bytes> allowed = Allowed(kind);
        EXPECT_TRUE(allowed.empty() ||
                    std::find(allowed.begin(), allowed.end(), counters) != allowed.end())
            << where << ": counters " << moc_test::Hex(counters);
        EXPECT_TRUE(storage_test::NextOpenKeeps(pipeline, *sensor, kFrameworkFile,
                                                storage_test::TemplatesOfFile(now)))
            << where;
        EXPECT_TRUE(
            moc_test::FingerSignsIn(library_->Tables(), pipeline.SensorHandle, *sensor, person_))
            << where;
    }

    std::vector<Bytes> blocks_;
    Bytes before_;
    bool wholeWrites_ = true;
    std::unique_ptr<host::AdapterLibrary> library_;
    std::string statePath_;
    moc_test::EnrolledFinger person_;
};

TEST_F(StatisticsCrashTest, EveryFileCallFailsEndsTheProcessAndCutsThePower) {
    before_ = storage_test::DatabaseFile(blocks_, 33, 3, Bytes(4, 0x3C), Bytes(5, 7));
    // Every counter changes, so that a write lost from any of the 20 bytes shows.
    const Bytes all = Counted(std::size(kOutcomes)), none = Counted(0);
    for (size_t i = 0; i < all.size(); i += 4)
        ASSERT_FALSE(std::equal(all.begin() + i, all.begin() + i + 4, none.begin() + i))
            << "counter " << i / 4 << " does not change";
    Bytes counted = before_;
    std::copy(all.begin(), all.end(), counted.begin() + kCountersAt);
    // Short writes put the counters down in pieces, each a point of its own.
    for (size_t limit : {SIZE_MAX, kShortWrite}) {
        SCOPED_TRACE(limit == SIZE_MAX ? "whole writes" : "writes of at most 8 bytes");
        wholeWrites_ = limit == SIZE_MAX;
        platform::test::SetWriteFileLimit(limit);
        Arrange();
        const auto points = moc_test::RecordFileCalls([&] { SignInOfEachOutcome(); });
        ASSERT_EQ(FileBytes(), counted);

        const moc_test::CrashScenario scenario{
            [&] { Arrange(); }, [&] { SignInOfEachOutcome(); },
            [&](const std::string& where, CrashKind kind) { Check(where, kind); }};
        const auto counts = moc_test::ReplayCrashPoints(points, scenario, ERROR_GEN_FAILURE);
        EXPECT_EQ(counts.points, points.size());
        std::printf("statistics updates, %s: %zu file calls, %zu failures, %zu ends, %zu power "
                    "cuts\n",
                    limit == SIZE_MAX ? "whole writes" : "short writes", counts.points,
                    counts.failures, counts.ends, counts.powerCuts);
    }
    platform::test::SetWriteFileLimit(SIZE_MAX);
}

} // namespace
} // namespace engine_test
