// Crash consistency of the match statistics update, which patches the 20
// counter bytes of the private database file in place: every file call of
// one clean update fails in turn, a forked child ends just before and just
// after each, and the power goes just after each and after the update. The
// file is then the old one, or the old one with nothing but counter bytes
// changed, never of another length; the counters are the old or the new ones
// whenever the patch was one write or the power went (a flush keeps it whole),
// and the new ones once the update returned. The next open of the storage
// adapter deletes no template that the file holds, and the enrolled finger
// still signs in at the lock screen through the loaded adapter library.
#include <wtsapi32.h>
#include <cstdio>
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
constexpr Finger kAccountFinger = 5;
constexpr size_t kCountersAt = 9, kCountersEnd = 29;

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

    // The file before the update, the chip keeping its state in its file, and
    // a sample accepted for the identify.
    void Arrange() {
        platform::test::WriteWholeFile(kPath, std::string(before_.begin(), before_.end()));
        std::string why;
        ASSERT_TRUE(sensor->KeepStateIn(statePath_, &why)) << why;
        Accept(kAccountFinger);
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

    void Check(const std::string& where, CrashKind kind) {
        ASSERT_TRUE(moc_test::TakeChipFromStateFile(statePath_, &sensor, &pipeline.SensorHandle))
            << where;
        const Bytes now = FileBytes();
        ASSERT_EQ(now.size(), before_.size()) << where;
        for (size_t i = 0; i < now.size(); ++i) {
            if (i < kCountersAt || i >= kCountersEnd) {
                ASSERT_EQ(now[i], before_[i]) << where << ": byte " << i << " changed";
            }
        }
        auto countersOf = [](const Bytes& file) {
            return moc_test::Hex(Bytes(file.begin() + kCountersAt, file.begin() + kCountersEnd));
        };
        const std::string counters = countersOf(now);
        if (kind == CrashKind::EndAtEnd || kind == CrashKind::PowerCutAtEnd) {
            EXPECT_EQ(counters, countersOf(counted_)) << where;
        } else if (wholeWrites_ || kind == CrashKind::PowerCut) {
            EXPECT_TRUE(counters == countersOf(before_) || counters == countersOf(counted_))
                << where << ": counters " << counters;
        }
        EXPECT_TRUE(storage_test::NextOpenKeeps(pipeline, *sensor, kFrameworkFile,
                                                storage_test::TemplatesOfFile(now)))
            << where;
        EXPECT_TRUE(
            moc_test::FingerSignsIn(library_->Tables(), pipeline.SensorHandle, *sensor, person_))
            << where;
    }

    std::vector<Bytes> blocks_;
    Bytes before_, counted_;
    bool wholeWrites_ = true;
    std::unique_ptr<host::AdapterLibrary> library_;
    std::string statePath_;
    moc_test::EnrolledFinger person_;
};

TEST_F(StatisticsCrashTest, EveryFileCallFailsEndsTheProcessAndCutsThePower) {
    before_ = storage_test::DatabaseFile(blocks_, 33, 3, Bytes(4, 0x3C), Bytes(5, 7));
    // Short writes put the counters down in pieces, each a point of its own.
    counted_ = before_;
    counted_[kCountersAt] += 1;     // identifications
    counted_[kCountersAt + 4] += 1; // matches
    for (size_t limit : {SIZE_MAX, size_t{8}}) {
        SCOPED_TRACE(limit == SIZE_MAX ? "whole writes" : "writes of at most 8 bytes");
        wholeWrites_ = limit == SIZE_MAX;
        platform::test::SetWriteFileLimit(limit);
        Arrange();
        HRESULT hr = E_FAIL;
        const auto points = moc_test::RecordFileCalls([&] { hr = IdentifyAtLockScreen(); });
        ASSERT_EQ(hr, S_OK);
        ASSERT_EQ(FileBytes(), counted_);

        const moc_test::CrashScenario scenario{
            [&] { Arrange(); }, [&] { IdentifyAtLockScreen(); },
            [&](const std::string& where, CrashKind kind) { Check(where, kind); }};
        const auto counts = moc_test::ReplayCrashPoints(points, scenario, ERROR_GEN_FAILURE);
        EXPECT_EQ(counts.points, points.size());
        std::printf("statistics update, %s: %zu file calls, %zu failures, %zu ends, %zu power "
                    "cuts\n",
                    limit == SIZE_MAX ? "whole writes" : "short writes", counts.points,
                    counts.failures, counts.ends, counts.powerCuts);
    }
    platform::test::SetWriteFileLimit(SIZE_MAX);
}

} // namespace
} // namespace engine_test
