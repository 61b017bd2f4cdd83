// Crash consistency of every write of the private database file and of the
// framework's database file, and of erase's deletions. For each operation,
// every file call of one clean run fails in turn, a forked child ends just
// before and just after each call, and the power goes just after each call and
// after the whole operation. The folder then holds its files from before the
// operation or from after it, byte for byte (after an end or a cut also the
// writer's temporary file, which no open reads), and after a power cut at the
// end exactly what the operation wrote. The chip keeps its state in its state
// file as the framework stand-in's does, so that after an end or a cut it is
// the chip the crash left beside the files. The next open deletes no chip
// template that the files on disk hold, and a finger enrolled before still
// signs in through the loaded adapter library.
#include <cstdio>
#include <filesystem>
#include <map>
#include "storage_fixture.h"
#include "support/file_crash_points.h"
#include "support/restart.h"

namespace storage_test {
namespace {

using moc_test::CrashKind;
using moc_test::FileSet;
using moc_test::Listing;

// The framework stand-in's paths (ASCII), narrow.
std::string Narrow(const WCHAR* path) {
    return std::string(path, path + std::char_traits<char16_t>::length(path));
}

// The framework stand-in's database folder, where the loaded library's unit
// opens the same files as the operations below.
const std::string kFolder = host::kDatabaseFolder;
const std::string kFramework = Narrow(host::kDatabaseFilePath);
const std::string kPrivate = kFolder + "\\0A0A09AC-31A1-4880-9AC8-B1FF3C9E94EB.DAT";
const std::string kRecordFile = kFolder + "\\90508806-8172-4C04-B03F-DCB28DBEA104.DAT";
const std::string kBlockFile = kFolder + "\\6854BC36-3957-4783-880B-563B476816E4.DAT";
constexpr uint8_t kSecure = 1; // the identity kind of a secure identity
constexpr int kNobody = -1;

const Bytes kA = KeyBytes(0x01), kB = KeyBytes(0x31), kC = KeyBytes(0x61), kD = KeyBytes(0x91),
            kE = KeyBytes(0xC1);

// A legacy record file in the counted layout, its records cut from blocks.
Bytes CountedRecords(const std::vector<Bytes>& blocks) {
    Bytes file = Le16(static_cast<uint32_t>(blocks.size()));
    for (const Bytes& b : blocks)
        file.insert(file.end(), b.begin() + 19, b.begin() + 19 + 157);
    return file;
}

// A private file with further header bytes, which every rewrite must carry
// over.
Bytes FileWithHeaderBytes(const std::vector<Bytes>& blocks) {
    return DatabaseFile(blocks, 33, 3, Bytes(4, 0x3C));
}

// The same with trailing bytes, which every rewrite carries over too; no open
// reconciles a file that holds them.
Bytes FileWithExtras(const std::vector<Bytes>& blocks) {
    return DatabaseFile(blocks, 33, 3, Bytes(4, 0x3C), Bytes(5, 7));
}

class CrashConsistencyTest;

struct Case {
    const char* name;
    bool ownerIdMode;
    // Files, chip and the calls before the operation, after the attach.
    std::function<void(CrashConsistencyTest&)> arrange;
    std::function<HRESULT(CrashConsistencyTest&)> act;
    HRESULT result;
    // The slot of a finger enrolled before that must sign in after every
    // crash point, or kNobody.
    int person = kNobody;
    // The operation changes several files one after the other, each whole:
    // after a crash each file is its old or its new self.
    bool oneByOne = false;
};

void PrintTo(const Case& c, std::ostream* out) {
    *out << c.name;
}

class CrashConsistencyTest : public StorageTest, public ::testing::WithParamInterface<Case> {
public:
    using StorageTest::AddRecord;
    using StorageTest::DeleteRecord;
    using StorageTest::QueryBySubject;
    simsensor::SimulatedSensor& Sensor() { return *sensor; }
    void WriteFile(const std::string& path, const Bytes& bytes) {
        StorageTest::WriteFile(path.c_str(), bytes);
    }
    HRESULT Open() {
        GUID id{};
        return StorageAdapterOpenDatabase(&pipeline, &id, host::kDatabaseFilePath, u"");
    }
    HRESULT Create() {
        GUID id{};
        GUID format = host::kDatabaseFormat;
        return StorageAdapterCreateDatabase(&pipeline, &id, WINBIO_TYPE_FINGERPRINT, &format,
                                            host::kDatabaseFilePath, u"", 0, 0);
    }
    HRESULT Erase() {
        GUID id{};
        return StorageAdapterEraseDatabase(&pipeline, &id, host::kDatabaseFilePath, u"");
    }
    // A template of `owner` in `slot`, enrolled by the finger numbered slot + 1.
    void Enroll(size_t slot, uint8_t subFactor, const Bytes& key,
                const Bytes& owner = SimHostOwner()) {
        simsensor::SimSlot s;
        s.state = MOC_SLOT_STATE_USED;
        s.identityKind = kSecure;
        s.subFactor = subFactor;
        std::memcpy(s.key.Bytes, key.data(), 32);
        s.rawKey = s.key;
        std::memcpy(s.owner.Bytes, owner.data(), 16);
        s.finger = static_cast<simsensor::Finger>(slot + 1);
        sensor->SetSlot(slot, s);
    }
    // This host's A and B, another host's C, and this host's D, which no
    // record describes: the reconciliation deletes it.
    void ChipWithOrphan() {
        Enroll(0, 2, kA);
        Enroll(1, 3, kB);
        Enroll(2, 2, kC, OtherOwner());
        Enroll(3, 4, kD);
    }

protected:
    void SetUp() override {
        StorageTest::SetUp();
        std::string why;
        library_ = host::AdapterLibrary::Load(MOC_ADAPTER_LIBRARY, &why);
        ASSERT_NE(library_, nullptr) << why;
        statePath_ = root.Folder() + "/simulated-chip.state";
    }
    void TearDown() override {
        if (pipeline.StorageContext != nullptr)
            StorageAdapterDetach(&pipeline);
        library_.reset();
        StorageTest::TearDown();
    }

    // The state before the operation, from nothing: a new chip that keeps its
    // state in its file, an empty folder, a fresh attach.
    void Arrange() {
        if (pipeline.StorageContext != nullptr)
            StorageAdapterDetach(&pipeline);
        CloseHandle(pipeline.SensorHandle);
        std::filesystem::remove_all(root.Native(kFolder));
        std::filesystem::create_directories(root.Native(kFolder));
        sensor = std::make_shared<simsensor::SimulatedSensor>();
        pipeline.SensorHandle = platform::test::OpenDevice(sensor);
        Attach(GetParam().ownerIdMode);
        GetParam().arrange(*this);
        std::string why;
        ASSERT_TRUE(sensor->KeepStateIn(statePath_, &why)) << why;
    }

    FileSet Files() const { return moc_test::FolderFiles(root.Native(kFolder)); }

    static bool SameSlot(const simsensor::SimSlot& a, const simsensor::SimSlot& b) {
        return a.state == b.state && a.identityKind == b.identityKind &&
               a.subFactor == b.subFactor && a.reserved == b.reserved && a.finger == b.finger &&
               std::memcmp(a.key.Bytes, b.key.Bytes, 32) == 0 &&
               std::memcmp(a.rawKey.Bytes, b.rawKey.Bytes, 32) == 0 &&
               std::memcmp(a.owner.Bytes, b.owner.Bytes, 16) == 0;
    }

    // What the next open may read: the private file and the two older files.
    static std::vector<HeldTemplate> Held(const FileSet& files) {
        std::vector<HeldTemplate> held;
        auto add = [&](const char* name, auto parse) {
            auto it = files.find(name);
            if (it == files.end())
                return;
            for (const HeldTemplate& t : parse(it->second))
                held.push_back(t);
        };
        add("0A0A09AC-31A1-4880-9AC8-B1FF3C9E94EB.DAT", TemplatesOfFile);
        add("6854BC36-3957-4783-880B-563B476816E4.DAT", TemplatesOfFile);
        add("90508806-8172-4C04-B03F-DCB28DBEA104.DAT", TemplatesOfCountedRecords);
        return held;
    }

    void Check(const std::string& where, CrashKind kind) {
        ASSERT_TRUE(moc_test::TakeChipFromStateFile(statePath_, &sensor, &pipeline.SensorHandle))
            << where;
        FileSet files = Files();
        const bool atEnd = kind == CrashKind::EndAtEnd || kind == CrashKind::PowerCutAtEnd;
        if (kind == CrashKind::Failure) {
            // The failure happened in this process, on this chip: it may stop
            // the operation short, but must not cost a template that the
            // operation keeps when nothing fails.
            const std::vector<simsensor::SimSlot> table = sensor->Table();
            for (size_t i = 0; i < kept_.size(); ++i)
                EXPECT_TRUE(kept_[i].state != 1 ||
                            (table[i].state == 1 &&
                             std::memcmp(table[i].key.Bytes, kept_[i].key.Bytes, 32) == 0))
                    << where << ": slot " << i << " was deleted";
        } else if (!atEnd) {
            // An end or a cut can leave the writer's temporary file: no open
            // reads it, and the next write of that file replaces it.
            for (auto it = files.begin(); it != files.end();) {
                const std::string& name = it->first;
                const bool temporary =
                    name.size() > 4 && name.compare(name.size() - 4, 4, ".new") == 0;
                it = temporary ? files.erase(it) : std::next(it);
            }
        }
        const bool kept = kind == CrashKind::PowerCutAtEnd
                              ? moc_test::WrittenFilesKept(files, before_, after_)
                          : kind == CrashKind::EndAtEnd ? files == after_
                          : GetParam().oneByOne ? moc_test::EachFileOldOrNew(files, before_, after_)
                                                : files == before_ || files == after_;
        EXPECT_TRUE(kept) << where << ": the folder holds" << Listing(files) << ", before it held"
                          << Listing(before_) << ", after" << Listing(after_);
        // The chip changes a slot a request at a time, and keeps each change
        // in its state file before it answers: each slot is as it was or as
        // the operation leaves it, and once the operation returned, the latter.
        const std::vector<simsensor::SimSlot> table = sensor->Table();
        ASSERT_EQ(table.size(), kept_.size()) << where;
        for (size_t i = 0; i < table.size(); ++i)
            EXPECT_TRUE(SameSlot(table[i], kept_[i]) ||
                        (!atEnd && SameSlot(table[i], chipBefore_[i])))
                << where << ": slot " << i << " is neither as before nor as after";
        // The chip is the one the crash left, the child's or the cut's, so this
        // open meets the files with the templates left beside them.
        EXPECT_TRUE(NextOpenKeeps(pipeline, *sensor, host::kDatabaseFilePath, Held(files)))
            << where;
        if (GetParam().person != kNobody) {
            EXPECT_TRUE(moc_test::FingerSignsIn(library_->Tables(), pipeline.SensorHandle, *sensor,
                                                person_))
                << where;
        }
    }

    std::unique_ptr<host::AdapterLibrary> library_;
    std::string statePath_;
    FileSet before_, after_;
    std::vector<simsensor::SimSlot> chipBefore_;
    std::vector<simsensor::SimSlot> kept_; // the chip after the operation
    moc_test::EnrolledFinger person_;
};

TEST_P(CrashConsistencyTest, EveryFileCallFailsEndsTheProcessAndCutsThePower) {
    const Case& c = GetParam();
    // Short writes split the file into several writes, each a point of its own.
    for (size_t limit : {SIZE_MAX, size_t{1000}}) {
        SCOPED_TRACE(limit == SIZE_MAX ? "whole writes" : "writes of at most 1000 bytes");
        platform::test::SetWriteFileLimit(limit);
        Arrange();
        before_ = Files();
        chipBefore_ = sensor->Table();
        if (c.person != kNobody) {
            const simsensor::SimSlot slot = sensor->Slot(static_cast<size_t>(c.person));
            person_ = {slot.finger, slot.subFactor,
                       SecureIdentity(Bytes(slot.rawKey.Bytes, slot.rawKey.Bytes + 32))};
        }
        HRESULT hr = E_FAIL;
        const auto points = moc_test::RecordFileCalls([&] { hr = c.act(*this); });
        ASSERT_EQ(hr, c.result);
        after_ = Files();
        kept_ = sensor->Table();
        ASSERT_NE(after_, before_) << "the operation wrote nothing";

        const moc_test::CrashScenario scenario{
            [&] { Arrange(); }, [&] { c.act(*this); },
            [&](const std::string& where, CrashKind kind) { Check(where, kind); }};
        const auto counts = moc_test::ReplayCrashPoints(points, scenario, ERROR_GEN_FAILURE);
        EXPECT_EQ(counts.points, points.size());
        std::printf("%s, %s: %zu file calls, %zu failures, %zu ends, %zu power cuts\n", c.name,
                    limit == SIZE_MAX ? "whole writes" : "short writes", counts.points,
                    counts.failures, counts.ends, counts.powerCuts);
    }
    platform::test::SetWriteFileLimit(SIZE_MAX);
}

using T = CrashConsistencyTest;

const Case kCases[] = {
    // No record describes the two slots, so no finger of them is kept.
    {"reset", false,
     [](T& t) {
         t.Enroll(0, 2, kA);
         t.Enroll(1, 3, kB);
         ASSERT_EQ(t.Open(), WINBIO_E_DATABASE_CANT_FIND);
     },
     [](T& t) { return t.Create(); }, S_OK},
    {"create_framework_file", false, [](T&) {}, [](T& t) { return t.Create(); }, S_OK},
    {"create_from_older_files", true,
     [](T& t) {
         t.ChipWithOrphan();
         t.WriteFile(kRecordFile, CountedRecords({OwnedBlock(kSecure, 2, kA, Bytes()),
                                                  OwnedBlock(kSecure, 5, kE, Bytes())}));
         t.WriteFile(kBlockFile, FileWithHeaderBytes({OwnedBlock(kSecure, 3, kB)}));
         ASSERT_EQ(t.Open(), WINBIO_E_DATABASE_CANT_FIND);
     },
     [](T& t) { return t.Create(); }, S_OK, 0},
    {"open_with_reconciliation", true,
     [](T& t) {
         t.ChipWithOrphan();
         t.WriteFile(kPrivate, FileWithHeaderBytes(
                                   {OwnedBlock(kSecure, 2, kA), OwnedBlock(kSecure, 3, kB),
                                    OwnedBlock(kSecure, 5, kE), // describes no slot: dropped
                                    OwnedBlock(kSecure, 2, kC, SimHostOwner(), Bytes(32, 0x55))}));
     },
     [](T& t) { return t.Open(); }, S_OK, 0},
    {"open_with_migration", true,
     [](T& t) {
         t.Sensor().SetDatabaseVersion(2);
         t.Enroll(0, 2, kA);
         t.Enroll(1, 3, kB);
         t.Enroll(2, 4, kD); // described by no record: deleted
         t.Enroll(3, 6, kC);
         t.WriteFile(kPrivate, FileWithHeaderBytes({OwnedBlock(kSecure, 2, kA)}));
         t.WriteFile(kRecordFile, CountedRecords({OwnedBlock(kSecure, 3, kB, Bytes())}));
         t.WriteFile(kBlockFile, DatabaseFile({OwnedBlock(kSecure, 6, kC)}));
     },
     [](T& t) { return t.Open(); }, S_OK, 0},
    {"add", true,
     [](T& t) {
         t.Enroll(0, 2, kA);
         t.Enroll(1, 3, kB);
         t.WriteFile(kPrivate,
                     FileWithExtras({OwnedBlock(kSecure, 2, kA), OwnedBlock(kSecure, 3, kB)}));
         ASSERT_EQ(t.Open(), S_OK);
     },
     // The engine commits the template on the chip only after the record is added.
     [](T& t) { return t.AddRecord(SecureIdentity(kC), 4); }, S_OK, 0},
    {"delete", false,
     [](T& t) {
         t.Enroll(0, 2, kA);
         t.Enroll(1, 3, kB);
         t.WriteFile(kPrivate, FileWithExtras(
                                   {PlainBlock(kSecure, 2, kA, 1), PlainBlock(kSecure, 3, kB, 2)}));
         ASSERT_EQ(t.Open(), S_OK);
     },
     [](T& t) { return t.DeleteRecord(SecureIdentity(kA), 2); }, S_OK, 1},
    {"purge_flag_removal", false,
     [](T& t) {
         t.Sensor().SetPurgeFlag(1);
         t.Enroll(0, 1, kA);
         t.Enroll(1, 1, kB);
         t.WriteFile(kPrivate,
                     FileWithExtras({WithAccount(PlainBlock(kSecure, 1, kA, 1), AccountSid(3)),
                                     WithAccount(PlainBlock(kSecure, 1, kB, 2), AccountSid(4))}));
         ASSERT_EQ(t.Open(), S_OK);
     },
     [](T& t) { return t.QueryBySubject(SidIdentity(AccountSid(3)), 1); },
     WINBIO_E_DATABASE_NO_RESULTS, 1},
    // This host's templates and both files go; another host's finger stays.
    {"erase", true,
     [](T& t) {
         t.ChipWithOrphan();
         t.WriteFile(kFramework, FreshHeader());
         t.WriteFile(kPrivate,
                     FileWithExtras({OwnedBlock(kSecure, 2, kA), OwnedBlock(kSecure, 3, kB)}));
         ASSERT_EQ(t.Open(), S_OK);
     },
     [](T& t) { return t.Erase(); }, S_OK, 2, true},
};

INSTANTIATE_TEST_SUITE_P(Writes, CrashConsistencyTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
} // namespace storage_test
