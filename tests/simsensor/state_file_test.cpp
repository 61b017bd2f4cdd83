// The simulated chip's state file: what one sensor saves another loads whole, a request
// that changes the chip is saved before it is answered, and a damaged file is refused
// without touching the chip.
#include <gtest/gtest.h>
#include <windows.h>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <sys/stat.h>
#include "platform/test.h"
#include "simsensor/simulated_sensor.h"
#include "support/bytes.h"
#include "support/chip_state.h"
#include "support/file_crash_points.h"
#include "support/temp_root.h"
#include "support/within_time.h"

namespace {

using simsensor::SimSlot;
using simsensor::SimulatedSensor;
using StateLoad = SimulatedSensor::StateLoad;

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

using moc_test::ResealedChipState;

std::string BodyOf(const std::string& text) {
    return text.substr(0, text.rfind("sha256 "));
}

IdentityKey KeyOf(uint8_t seed) {
    IdentityKey key{};
    auto bytes = moc_test::Pattern(sizeof(key.Bytes), seed);
    std::memcpy(key.Bytes, bytes.data(), sizeof(key.Bytes));
    return key;
}

DWORD Send(HANDLE device, DWORD code, std::vector<uint8_t> in) {
    DWORD bytes = 0;
    if (DeviceIoControl(device, code, in.data(), static_cast<DWORD>(in.size()), nullptr, 0, &bytes,
                        nullptr))
        return ERROR_SUCCESS;
    return GetLastError();
}

void ExpectSameSlot(const SimSlot& a, const SimSlot& b, size_t index) {
    SCOPED_TRACE("slot " + std::to_string(index));
    EXPECT_EQ(a.state, b.state);
    EXPECT_EQ(a.identityKind, b.identityKind);
    EXPECT_EQ(a.subFactor, b.subFactor);
    EXPECT_EQ(moc_test::BytesOf(a.key), moc_test::BytesOf(b.key));
    EXPECT_EQ(a.reserved, b.reserved);
    EXPECT_EQ(moc_test::BytesOf(a.owner), moc_test::BytesOf(b.owner));
    EXPECT_EQ(moc_test::BytesOf(a.rawKey), moc_test::BytesOf(b.rawKey));
    EXPECT_EQ(a.finger, b.finger);
}

class StateFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::test::ResetAll();
        path = root.Folder() + "/chip.state";
    }
    void TearDown() override { platform::test::ResetAll(); }

    // A chip whose every kept field differs from the defaults, saved to `path`.
    std::shared_ptr<SimulatedSensor> SavedChip() {
        auto chip = std::make_shared<SimulatedSensor>();
        chip->SetCapabilities({7, 12, 1, 1, {9, 8, 7, 6}});
        chip->SetPolicy({{1, 0x80, 1, 4, 5, 6, 7, 8}});
        HostOwnerId owner{};
        std::memset(owner.Bytes, 0x5A, sizeof(owner.Bytes));
        chip->SetHostOwnerId(owner);
        MocSensorId id{};
        std::memset(id.Bytes, 0xA5, sizeof(id.Bytes));
        chip->SetSensorId(id);
        chip->SetDatabaseVersion(2);
        chip->SetPurgeFlag(1);
        chip->Enroll(3, KeyOf(0x31), WINBIO_ANSI_381_POS_LH_THUMB, 77);
        SimSlot odd;
        odd.state = 2;
        odd.identityKind = 1;
        odd.subFactor = 9;
        odd.key = KeyOf(0x90);
        odd.reserved = 0xEE;
        odd.rawKey = KeyOf(0x17);
        odd.finger = 0xFFFFFFFFu;
        chip->SetSlot(11, odd);
        HANDLE device = platform::test::OpenDevice(chip);
        EXPECT_EQ(Send(device, IOCTL_MOC_BEGIN_ENROLLMENT, {5}), ERROR_SUCCESS);
        CloseHandle(device);
        std::string why;
        EXPECT_TRUE(chip->KeepStateIn(path, &why)) << why;
        return chip;
    }

    moc_test::TempRoot root;
    std::string path;
};

TEST_F(StateFileTest, ASecondChipLoadsTheWholeState) {
    auto saved = SavedChip();
    EXPECT_FALSE(std::filesystem::exists(path + ".new"));

    SimulatedSensor loaded;
    std::string why;
    ASSERT_EQ(loaded.LoadState(path, &why), StateLoad::Loaded) << why;
    EXPECT_EQ(moc_test::BytesOf(loaded.Capabilities()), moc_test::BytesOf(saved->Capabilities()));
    EXPECT_EQ(moc_test::BytesOf(loaded.Policy()), moc_test::BytesOf(saved->Policy()));
    EXPECT_EQ(moc_test::BytesOf(loaded.HostOwner()), moc_test::BytesOf(saved->HostOwner()));
    EXPECT_EQ(moc_test::BytesOf(loaded.SensorId()), moc_test::BytesOf(saved->SensorId()));
    EXPECT_EQ(loaded.DatabaseVersion(), 2u);
    EXPECT_EQ(loaded.PurgeFlag(), 1);
    const simsensor::Enrollment e = loaded.CurrentEnrollment();
    EXPECT_TRUE(e.active);
    EXPECT_EQ(e.slot, 5);
    const std::vector<SimSlot> a = saved->Table(), b = loaded.Table();
    ASSERT_EQ(b.size(), 12u);
    for (size_t i = 0; i < a.size(); ++i)
        ExpectSameSlot(a[i], b[i], i);
}

TEST_F(StateFileTest, NoFileLeavesTheChipAsItIs) {
    SimulatedSensor chip;
    chip.Enroll(0, KeyOf(1), 2, 2);
    std::string why;
    EXPECT_EQ(chip.LoadState(path, &why), StateLoad::Missing);
    EXPECT_EQ(chip.Slot(0).state, MOC_SLOT_STATE_USED);
}

TEST_F(StateFileTest, ADamagedFileIsRefusedAndTheChipKeepsItsState) {
    SavedChip();
    const std::string good = ReadText(path);
    const std::string body = BodyOf(good);
    struct Case {
        const char* name;
        std::function<std::string()> text;
    };
    const Case cases[] = {
        {"one byte of a slot changed",
         [&] {
             std::string t = good;
             t[t.find("slot 01") + 10] ^= 1;
             return t;
         }},
        {"cut in the middle", [&] { return good.substr(0, good.size() / 2); }},
        {"empty", [] { return std::string(); }},
        {"no checksum line", [&] { return body; }},
        {"checksum line without its newline", [&] { return good.substr(0, good.size() - 1); }},
        {"another version",
         [&] {
             return ResealedChipState("tolvimoc-simulated-chip 2" + body.substr(body.find('\n')));
         }},
        {"a slot line missing",
         [&] { return ResealedChipState(body.substr(0, body.rfind("slot ", body.size() - 2))); }},
        {"a slot line too many",
         [&] { return ResealedChipState(body + body.substr(body.rfind("slot "))); }},
        {"slot count beside the capabilities",
         [&] {
             std::string b = body;
             b.replace(b.find("slots 12"), 8, "slots 11");
             return ResealedChipState(b.substr(0, b.rfind("slot ", b.size() - 2)));
         }},
        {"a key that is not hex",
         [&] {
             std::string b = body;
             b[b.find("slot 01") + 20] = 'g';
             return ResealedChipState(b);
         }},
        {"a finger past 32 bits",
         [&] {
             std::string b = body;
             b.replace(b.rfind("4294967295"), 10, "4294967296");
             return ResealedChipState(b);
         }},
        {"text after the checksum line", [&] { return good + "slot 00\n"; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteText(path, c.text());
        SimulatedSensor chip;
        chip.Enroll(0, KeyOf(1), 2, 2);
        std::string why;
        EXPECT_EQ(chip.LoadState(path, &why), StateLoad::Refused);
        EXPECT_FALSE(why.empty());
        EXPECT_EQ(chip.Table().size(), 10u);
        EXPECT_EQ(chip.Slot(0).state, MOC_SLOT_STATE_USED);
        EXPECT_EQ(chip.Slot(3).state, MOC_SLOT_STATE_FREE);
    }
}

// A name that is no file, or one that goes on past its length, is refused at
// once and named: the chip waits on no FIFO and reads no device.
TEST_F(StateFileTest, AFileThatCannotBeReadIsRefused) {
    namespace fs = std::filesystem;
    struct Case {
        const char* name;
        std::function<void()> plant;
    } cases[] = {
        {"a folder", [&] { fs::create_directories(path); }},
        {"a FIFO without a writer", [&] { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); }},
        {"a link to /dev/zero", [&] { fs::create_symlink("/dev/zero", path); }},
        {"a link to a status file", [&] { fs::create_symlink("/proc/self/status", path); }},
        // Its volume is not mounted: a fresh chip in its place would lose every template.
        {"a link whose target is not there",
         [&] { fs::create_symlink(path + ".volume/state", path); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(path);
        c.plant();
        const auto seen = moc_test::ReturnedWithin([&] {
            SimulatedSensor chip;
            std::string why;
            const StateLoad load = chip.LoadState(path, &why);
            return std::to_string(load == StateLoad::Refused) + " " + why;
        });
        ASSERT_TRUE(seen.has_value()) << "the load waited";
        EXPECT_EQ(seen->substr(0, 2), "1 ");
        EXPECT_NE(seen->find(path), std::string::npos) << *seen;
    }
}

TEST_F(StateFileTest, AChangeIsSavedBeforeTheRequestIsAnswered) {
    auto chip = SavedChip();
    HANDLE device = platform::test::OpenDevice(chip);
    ASSERT_EQ(Send(device, IOCTL_MOC_DELETE_TEMPLATE, {3}), ERROR_SUCCESS);
    CloseHandle(device);
    SimulatedSensor next;
    std::string why;
    ASSERT_EQ(next.LoadState(path, &why), StateLoad::Loaded) << why;
    EXPECT_EQ(next.Slot(3).state, MOC_SLOT_STATE_FREE);
    EXPECT_TRUE(chip->StateSaveFailure().empty());
}

// The saves go through the stand-in's file calls and the one atomic writer:
// every call of a save may fail, end the process or lose the power, and the
// file then keeps the chip from before the request or from after it.
TEST_F(StateFileTest, EveryFileCallOfASaveFailsEndsTheProcessAndCutsThePower) {
    std::shared_ptr<SimulatedSensor> chip;
    HANDLE device = INVALID_HANDLE_VALUE;
    DWORD answer = ERROR_SUCCESS;
    auto arrange = [&] {
        CloseHandle(device);
        chip = SavedChip();
        device = platform::test::OpenDevice(chip);
    };
    auto operate = [&] { answer = Send(device, IOCTL_MOC_DELETE_TEMPLATE, {3}); };
    auto check = [&](const std::string& where, moc_test::CrashKind kind) {
        SimulatedSensor saved;
        std::string why;
        ASSERT_EQ(saved.LoadState(path, &why), StateLoad::Loaded) << where << ": " << why;
        const BYTE state = saved.Slot(3).state;
        const bool atEnd =
            kind == moc_test::CrashKind::EndAtEnd || kind == moc_test::CrashKind::PowerCutAtEnd;
        EXPECT_TRUE(state == MOC_SLOT_STATE_FREE || (!atEnd && state == MOC_SLOT_STATE_USED))
            << where;
        if (kind == moc_test::CrashKind::Failure) {
            // What the flash did not keep did not happen.
            EXPECT_EQ(answer, static_cast<DWORD>(ERROR_WRITE_FAULT)) << where;
            EXPECT_EQ(chip->Slot(3).state, MOC_SLOT_STATE_USED) << where;
            EXPECT_EQ(state, MOC_SLOT_STATE_USED) << where;
        }
    };
    arrange();
    const auto points = moc_test::RecordFileCalls(operate);
    ASSERT_EQ(answer, static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_FALSE(points.empty()) << "the save made no call of the stand-in";
    const auto counts =
        moc_test::ReplayCrashPoints(points, {arrange, operate, check}, ERROR_DISK_FULL);
    EXPECT_EQ(counts.points, points.size());
    CloseHandle(device);
}

TEST_F(StateFileTest, AChangeThatCannotBeSavedFailsAndIsUndone) {
    const std::string folder = root.Folder() + "/flash";
    std::filesystem::create_directories(folder);
    path = folder + "/chip.state";
    auto chip = SavedChip();
    std::filesystem::remove_all(folder);

    HANDLE device = platform::test::OpenDevice(chip);
    EXPECT_EQ(Send(device, IOCTL_MOC_DELETE_TEMPLATE, {3}), static_cast<DWORD>(ERROR_WRITE_FAULT));
    CloseHandle(device);
    EXPECT_EQ(chip->Slot(3).state, MOC_SLOT_STATE_USED);
    EXPECT_FALSE(chip->StateSaveFailure().empty());
}

} // namespace
