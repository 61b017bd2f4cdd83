#include <wtsapi32.h>
#include "engine/match_statistics.h"
#include "engine_fixture.h"

namespace engine_test {
namespace {

constexpr char kPath[] =
    "C:\\Windows\\System32\\WinBioDatabase\\0A0A09AC-31A1-4880-9AC8-B1FF3C9E94EB.DAT";
constexpr Finger kAccountFinger = 5;
constexpr Finger kSecureFinger = 9;
constexpr Finger kUnknownFinger = 6;

// A private database file: magic, version, block count, header size, the
// five counters, the rest of the header and `tail` after it.
Bytes DatabaseFile(uint32_t headerSize, std::vector<uint32_t> counters, const Bytes& tail = {},
                   uint32_t magic = 0x66688070) {
    Bytes file = moc_test::Concat({moc_test::Le32(magic),
                                   {3},
                                   moc_test::Le16(tail.size() / 1024),
                                   moc_test::Le16(headerSize)});
    for (uint32_t counter : counters) {
        file = moc_test::Concat({file, moc_test::Le32(counter)});
    }
    if (headerSize > file.size()) {
        file = moc_test::Concat({file, moc_test::Pattern(headerSize - file.size(), 0x61)});
    }
    return moc_test::Concat({file, tail});
}

Bytes WithCounters(Bytes file, std::vector<uint32_t> counters) {
    for (size_t i = 0; i < counters.size(); ++i) {
        const Bytes value = moc_test::Le32(counters[i]);
        std::copy(value.begin(), value.end(), file.begin() + 9 + 4 * i);
    }
    return file;
}

class MatchStatisticsTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        sensor->Enroll(0, KeyOf(SidIdentity(0x30)), 2, kAccountFinger);
        sensor->Enroll(1, KeyOf(SecureIdentity(0x70)), 3, kSecureFinger);
        Attach();
        platform::test::SetConsoleLockState(WTS_SESSIONSTATE_LOCK);
        CreateDirectoryA("C:\\Windows", nullptr);
        CreateDirectoryA("C:\\Windows\\System32", nullptr);
        CreateDirectoryA("C:\\Windows\\System32\\WinBioDatabase", nullptr);
    }

    void PutFile(const Bytes& bytes) {
        platform::test::WriteWholeFile(kPath, std::string(bytes.begin(), bytes.end()));
    }
    Bytes FileBytes() {
        const std::string bytes = platform::test::ReadWholeFile(kPath);
        return Bytes(bytes.begin(), bytes.end());
    }

    // One identify at the lock screen with the given outcome.
    HRESULT IdentifyOnce(Finger finger, BYTE acceptStatus = 0, bool failIdentify = false) {
        Accept(finger, acceptStatus);
        if (failIdentify) {
            sensor->FailNext(IOCTL_MOC_IDENTIFY, 31);
        }
        return Identify().hr;
    }
};

// Five sign-ins at the lock screen, one of each outcome the counters know;
// the file changes in its counter bytes and nowhere else.
TEST_F(MatchStatisticsTest, FiveOutcomesAreCountedInTheFile) {
    const Bytes block = moc_test::Pattern(1024, 0x11);
    const Bytes before = DatabaseFile(40, {100, 50, 20, 10, 0xFFFFFFFF}, block);
    ASSERT_EQ(before.size(), 1064u);
    PutFile(before);

    struct Step {
        const char* name;
        Finger finger;
        BYTE acceptStatus;
        bool failIdentify;
        HRESULT hr;
        std::vector<uint32_t> counters;
    } steps[] = {
        {"match", kAccountFinger, 0, false, S_OK, {101, 51, 20, 10, 0xFFFFFFFF}},
        {"no template",
         kUnknownFinger,
         0,
         false,
         WINBIO_E_UNKNOWN_ID,
         {102, 51, 20, 11, 0xFFFFFFFF}},
        {"skewed sample",
         kAccountFinger,
         MOC_STATUS_TOO_SKEWED,
         false,
         WINBIO_E_BAD_CAPTURE,
         {103, 51, 21, 11, 0xFFFFFFFF}},
        // Counted as the chip's match, though no account is handed out.
        {"secure identity",
         kSecureFinger,
         0,
         false,
         WINBIO_E_UNKNOWN_ID,
         {104, 52, 21, 11, 0xFFFFFFFF}},
        {"identify request fails",
         kAccountFinger,
         0,
         true,
         static_cast<HRESULT>(0xEE05001Fu),
         {105, 52, 21, 11, 0}},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.name);
        sensor->ClearLog();
        EXPECT_EQ(IdentifyOnce(s.finger, s.acceptStatus, s.failIdentify), s.hr);
        EXPECT_EQ(FileBytes(), WithCounters(before, s.counters));
        EXPECT_EQ(Requests().back().code, IOCTL_MOC_REPORT_MATCH);
    }
    // The authenticated identify counts the same way.
    Accept(kSecureFinger);
    const Bytes nonce(32, 0x11);
    WINBIO_IDENTITY identity;
    WINBIO_BIOMETRIC_SUBTYPE subFactor;
    WINBIO_REJECT_DETAIL reject;
    PUCHAR authorization = nullptr;
    SIZE_T authorizationSize = 0;
    ASSERT_EQ(engine->IdentifyFeatureSetAuthenticated(&pipeline, nonce.data(), 32, &identity,
                                                      &subFactor, &reject, &authorization,
                                                      &authorizationSize),
              S_OK);
    EXPECT_EQ(FileBytes(), WithCounters(before, {106, 53, 21, 11, 0}));
    EXPECT_EQ(platform::test::LiveHeapBlocks(), 1u); // the context alone
}

// Only at the lock screen: an unlocked console or an unknown lock state
// counts nothing and opens no file, and the report still goes out.
TEST_F(MatchStatisticsTest, NothingIsCountedUnlessTheConsoleIsLocked) {
    const Bytes before = DatabaseFile(29, {1, 1, 0, 0, 0});
    PutFile(before);
    struct Case {
        const char* name;
        std::function<void()> state;
    } cases[] = {
        {"unlocked", [] { platform::test::SetConsoleLockState(WTS_SESSIONSTATE_UNLOCK); }},
        {"query fails", [] { platform::test::FailSessionQuery(ERROR_ACCESS_DENIED); }},
        {"unknown",
         [] {
             platform::test::FailSessionQuery(0);
             platform::test::SetConsoleLockState(static_cast<LONG>(WTS_SESSIONSTATE_UNKNOWN));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.state();
        Accept(kAccountFinger);
        const int opens = platform::test::FileCallCount("CreateFileA");
        const int lookups = platform::test::FileCallCount("GetFileAttributesA");
        sensor->ClearLog();
        EXPECT_EQ(Identify().hr, S_OK);
        EXPECT_EQ(platform::test::FileCallCount("CreateFileA"), opens);
        EXPECT_EQ(platform::test::FileCallCount("GetFileAttributesA"), lookups);
        EXPECT_EQ(FileBytes(), before);
        EXPECT_EQ(Codes(Requests()),
                  (std::vector<DWORD>{IOCTL_MOC_IDENTIFY, IOCTL_MOC_SET_MATCH_RESULT,
                                      IOCTL_MOC_REPORT_MATCH}));
    }
}

// At the lock screen without the file there is nothing to count in, and the
// report is skipped with the statistics; the identity is handed out as ever.
TEST_F(MatchStatisticsTest, LockedWithoutTheFileSkipsStatisticsAndReport) {
    Accept(kAccountFinger);
    sensor->ClearLog();
    const IdentifyResult r = Identify();
    ASSERT_EQ(r.hr, S_OK);
    EXPECT_EQ(r.identity.Type, WINBIO_ID_TYPE_SID);
    EXPECT_EQ(r.subFactor, 2);
    EXPECT_EQ(Codes(Requests()),
              (std::vector<DWORD>{IOCTL_MOC_IDENTIFY, IOCTL_MOC_SET_MATCH_RESULT}));
    EXPECT_EQ(GetFileAttributesA(kPath), INVALID_FILE_ATTRIBUTES);
}

// A file whose header cannot be trusted is neither counted in nor written.
TEST_F(MatchStatisticsTest, UntrustedHeadersAreLeftAlone) {
    struct Case {
        const char* name;
        Bytes file;
    } cases[] = {
        {"28 bytes", DatabaseFile(29, {1, 2, 3, 4, 5})},
        {"header size 28", DatabaseFile(28, {1, 2, 3, 4, 5})},
        {"header size past the end", DatabaseFile(30, {1, 2, 3, 4, 5})},
        {"another magic", DatabaseFile(29, {1, 2, 3, 4, 5}, {}, 0x66688071)},
        {"empty", Bytes()},
        {"zeroed header", DatabaseFile(29, {1, 2, 3, 4, 5}, moc_test::Pattern(1024, 0x33))},
    };
    cases[0].file.resize(28);
    cases[2].file.resize(29);
    std::fill_n(cases[5].file.begin(), 29, 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PutFile(c.file);
        EXPECT_EQ(IdentifyOnce(kAccountFinger), S_OK);
        EXPECT_EQ(FileBytes(), c.file);
        // The report still goes out: the file exists.
        EXPECT_EQ(Requests().back().code, IOCTL_MOC_REPORT_MATCH);
    }
}

// The update patches the counters in place: a failure on the way leaves the
// rest of the file as it was (never an emptied file), and counters that
// could not be read are not counted on and written back.
TEST_F(MatchStatisticsTest, FailuresNeverCostTheFileItsRecords) {
    const Bytes before = DatabaseFile(29, {7, 6, 1, 0, 0}, moc_test::Pattern(2048, 0x33));
    enum Counters { kUnchanged, kCounted, kEither };
    struct Case {
        const char* name;
        std::function<void()> fault;
        Counters counters;
    } cases[] = {
        {"write fails", [] { platform::test::FailNextFileCall("WriteFile", ERROR_DISK_FULL); },
         kUnchanged},
        {"flush fails",
         [] { platform::test::FailNextFileCall("FlushFileBuffers", ERROR_DISK_FULL); }, kEither},
        {"short writes", [] { platform::test::SetWriteFileLimit(3); }, kCounted},
        {"load cannot open the file",
         [] { platform::test::FailNextFileCall("CreateFileA", ERROR_SHARING_VIOLATION); },
         kUnchanged},
        {"load cannot read the file",
         [] { platform::test::FailNextFileCall("ReadFile", ERROR_READ_FAULT); }, kUnchanged},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PutFile(before);
        // Earlier counters in the context, which a careless save would write.
        Context()->Statistics = {900, 900, 900, 900, 900};
        c.fault();
        EXPECT_EQ(IdentifyOnce(kAccountFinger), S_OK);
        platform::test::SetWriteFileLimit(SIZE_MAX);
        const Bytes after = FileBytes();
        ASSERT_EQ(after.size(), before.size());
        EXPECT_EQ(Bytes(after.begin(), after.begin() + 9),
                  Bytes(before.begin(), before.begin() + 9));
        EXPECT_EQ(Bytes(after.begin() + 29, after.end()), Bytes(before.begin() + 29, before.end()));
        if (c.counters == kCounted) {
            EXPECT_EQ(after, WithCounters(before, {8, 7, 1, 0, 0}));
        } else if (c.counters == kUnchanged) {
            EXPECT_EQ(after, before);
        }
    }
}

// The save reads the header again: what the storage adapter wrote since the
// load stands, and a header it broke in between is not written to.
TEST_F(MatchStatisticsTest, SaveChecksTheFileAgain) {
    PutFile(DatabaseFile(29, {4, 4, 0, 0, 0}));
    ASSERT_EQ(IdentifyOnce(kAccountFinger), S_OK);
    std::snprintf(Context()->StatisticsPath, sizeof(Context()->StatisticsPath), "%s", kPath);
    ASSERT_TRUE(LoadMatchStatistics(Context()));

    const Bytes grown = DatabaseFile(40, {9, 9, 9, 9, 9}, moc_test::Pattern(1024, 0x44));
    PutFile(grown);
    ASSERT_TRUE(SaveMatchStatistics(Context()));
    EXPECT_EQ(FileBytes(), WithCounters(grown, {5, 5, 0, 0, 0}));

    const Bytes broken = DatabaseFile(29, {5, 5, 0, 0, 0}, {}, 0x12345678);
    PutFile(broken);
    Context()->Statistics = {1, 2, 3, 4, 5};
    EXPECT_FALSE(SaveMatchStatistics(Context()));
    EXPECT_EQ(FileBytes(), broken);
}

} // namespace
} // namespace engine_test
