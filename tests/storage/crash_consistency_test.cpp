// Crash consistency of every write of the private database file. For each
// operation that writes it, every file call of one clean run fails in turn,
// and a forked child ends just before and just after each call. The folder
// then holds its files from before the operation or from after it, byte for
// byte (after an end also the writer's temporary file, which no open reads),
// and the next open deletes no chip template that the files on disk hold.
#include <cstdio>
#include <filesystem>
#include <map>
#include "storage_fixture.h"
#include "support/file_crash_points.h"

namespace storage_test {
namespace {

using moc_test::CrashKind;

constexpr const char* kFolder = "C:\\WinBioDatabase";
constexpr uint8_t kSecure = 1; // the identity kind of a secure identity

const Bytes kA = KeyBytes(0x01), kB = KeyBytes(0x31), kC = KeyBytes(0x61), kD = KeyBytes(0x91),
            kE = KeyBytes(0xC1);

// A legacy record file in the counted layout, its records cut from blocks.
Bytes CountedRecords(const std::vector<Bytes>& blocks) {
    Bytes file = Le16(static_cast<uint32_t>(blocks.size()));
    for (const Bytes& b : blocks)
        file.insert(file.end(), b.begin() + 19, b.begin() + 19 + 157);
    return file;
}

// A private file with further header bytes and trailing bytes, which every
// rewrite must carry over.
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
};

void PrintTo(const Case& c, std::ostream* out) {
    *out << c.name;
}

class CrashConsistencyTest : public StorageTest, public ::testing::WithParamInterface<Case> {
public:
    using StorageTest::AddRecord;
    using StorageTest::Create;
    using StorageTest::DeleteRecord;
    using StorageTest::Open;
    using StorageTest::QueryBySubject;
    using StorageTest::SetSlot;
    using StorageTest::WriteFile;
    simsensor::SimulatedSensor& Sensor() { return *sensor; }
    // This host's A and B, another host's C, and this host's D, which no
    // record describes: the reconciliation deletes it.
    void ChipWithOrphan() {
        SetSlot(0, kSecure, 2, kA);
        SetSlot(1, kSecure, 3, kB);
        SetSlot(2, kSecure, 2, kC, OtherOwner());
        SetSlot(3, kSecure, 4, kD);
    }

protected:
    // The state before the operation, from nothing: a new chip, an empty
    // folder, a fresh attach.
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
    }

    std::map<std::string, Bytes> Files() const {
        return moc_test::FolderFiles(root.Native(kFolder));
    }

    // What the next open may read: the private file and the two older files.
    static std::vector<HeldTemplate> Held(const std::map<std::string, Bytes>& files) {
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

    static std::string Listing(const std::map<std::string, Bytes>& files) {
        std::string out;
        for (const auto& [name, bytes] : files)
            out += " " + name + " (" + std::to_string(bytes.size()) + " bytes)";
        return out.empty() ? " no files" : out;
    }

    void Check(const std::string& where, CrashKind kind) {
        std::map<std::string, Bytes> files = Files();
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
        } else {
            // An end can leave the writer's temporary file: no open reads it,
            // and the next write of that file replaces it.
            for (auto it = files.begin(); it != files.end();) {
                const std::string& name = it->first;
                const bool temporary =
                    name.size() > 4 && name.compare(name.size() - 4, 4, ".new") == 0;
                it = temporary ? files.erase(it) : std::next(it);
            }
        }
        EXPECT_TRUE(files == before_ || files == after_)
            << where << ": the folder holds" << Listing(files) << ", before it held"
            << Listing(before_) << ", after" << Listing(after_);
        // After an end the chip is the one from before the operation (the
        // child's changes to it died with the child), so this open meets the
        // files the child left with the templates they were written for: a
        // slot the child deleted before its end is still there, and only the
        // failure replays show what the operation's own deletions leave.
        EXPECT_TRUE(NextOpenKeeps(pipeline, *sensor, kFilePath, Held(files))) << where;
    }

    std::map<std::string, Bytes> before_, after_;
    std::vector<simsensor::SimSlot> kept_; // the chip after the operation
};

TEST_P(CrashConsistencyTest, EveryFileCallFailsAndEndsTheProcess) {
    const Case& c = GetParam();
    // Short writes split the file into several writes, each a point of its own.
    for (size_t limit : {SIZE_MAX, size_t{1000}}) {
        SCOPED_TRACE(limit == SIZE_MAX ? "whole writes" : "writes of at most 1000 bytes");
        platform::test::SetWriteFileLimit(limit);
        Arrange();
        before_ = Files();
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
        std::printf("%s, %s: %zu file calls, %zu failures, %zu ends\n", c.name,
                    limit == SIZE_MAX ? "whole writes" : "short writes", counts.points,
                    counts.failures, counts.ends);
    }
    platform::test::SetWriteFileLimit(SIZE_MAX);
}

using T = CrashConsistencyTest;

const Case kCases[] = {
    {"reset", false,
     [](T& t) {
         t.SetSlot(0, kSecure, 2, kA);
         t.SetSlot(1, kSecure, 3, kB);
         ASSERT_EQ(t.Open(), WINBIO_E_DATABASE_CANT_FIND);
     },
     [](T& t) { return t.Create(); }, S_OK},
    {"create_framework_file", false, [](T&) {}, [](T& t) { return t.Create(); }, S_OK},
    {"create_from_older_files", true,
     [](T& t) {
         t.ChipWithOrphan();
         t.WriteFile(kLegacyRecordFile, CountedRecords({OwnedBlock(kSecure, 2, kA, Bytes()),
                                                        OwnedBlock(kSecure, 5, kE, Bytes())}));
         t.WriteFile(kLegacyBlockFile, FileWithExtras({OwnedBlock(kSecure, 3, kB)}));
         ASSERT_EQ(t.Open(), WINBIO_E_DATABASE_CANT_FIND);
     },
     [](T& t) { return t.Create(); }, S_OK},
    {"open_with_reconciliation", true,
     [](T& t) {
         t.ChipWithOrphan();
         t.WriteFile(kPrivateFile,
                     FileWithExtras({OwnedBlock(kSecure, 2, kA), OwnedBlock(kSecure, 3, kB),
                                     OwnedBlock(kSecure, 5, kE), // describes no slot: dropped
                                     OwnedBlock(kSecure, 2, kC, SimHostOwner(), Bytes(32, 0x55))}));
     },
     [](T& t) { return t.Open(); }, S_OK},
    {"open_with_migration", true,
     [](T& t) {
         t.Sensor().SetDatabaseVersion(2);
         t.SetSlot(0, kSecure, 2, kA);
         t.SetSlot(1, kSecure, 3, kB);
         t.SetSlot(2, kSecure, 4, kD); // described by no record: deleted
         t.SetSlot(3, kSecure, 6, kC);
         t.WriteFile(kPrivateFile, FileWithExtras({OwnedBlock(kSecure, 2, kA)}));
         t.WriteFile(kLegacyRecordFile, CountedRecords({OwnedBlock(kSecure, 3, kB, Bytes())}));
         t.WriteFile(kLegacyBlockFile, DatabaseFile({OwnedBlock(kSecure, 6, kC)}));
     },
     [](T& t) { return t.Open(); }, S_OK},
    {"add", true,
     [](T& t) {
         t.SetSlot(0, kSecure, 2, kA);
         t.SetSlot(1, kSecure, 3, kB);
         t.WriteFile(kPrivateFile,
                     FileWithExtras({OwnedBlock(kSecure, 2, kA), OwnedBlock(kSecure, 3, kB)}));
         ASSERT_EQ(t.Open(), S_OK);
     },
     // The engine commits the template on the chip only after the record is added.
     [](T& t) { return t.AddRecord(SecureIdentity(kC), 4); }, S_OK},
    {"delete", false,
     [](T& t) {
         t.SetSlot(0, kSecure, 2, kA);
         t.SetSlot(1, kSecure, 3, kB);
         t.WriteFile(kPrivateFile, FileWithExtras({PlainBlock(kSecure, 2, kA, 1),
                                                   PlainBlock(kSecure, 3, kB, 2)}));
         ASSERT_EQ(t.Open(), S_OK);
     },
     [](T& t) { return t.DeleteRecord(SecureIdentity(kA), 2); }, S_OK},
    {"purge_flag_removal", false,
     [](T& t) {
         t.Sensor().SetPurgeFlag(1);
         t.SetSlot(0, kSecure, 1, kA);
         t.SetSlot(1, kSecure, 1, kB);
         t.WriteFile(kPrivateFile,
                     FileWithExtras({WithAccount(PlainBlock(kSecure, 1, kA, 1), AccountSid(3)),
                                     WithAccount(PlainBlock(kSecure, 1, kB, 2), AccountSid(4))}));
         ASSERT_EQ(t.Open(), S_OK);
     },
     [](T& t) { return t.QueryBySubject(SidIdentity(AccountSid(3)), 1); },
     WINBIO_E_DATABASE_NO_RESULTS},
};

INSTANTIATE_TEST_SUITE_P(Writes, CrashConsistencyTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
} // namespace storage_test
