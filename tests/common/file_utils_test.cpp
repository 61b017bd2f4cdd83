#include "common/file_utils.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>
#include <sys/stat.h>
#include <unistd.h>
#include <gtest/gtest.h>
#include <shlobj.h>
#include <wtsapi32.h>
#include <platform/test.h>
#include "support/temp_root.h"
#include "support/within_time.h"

namespace {

namespace fs = std::filesystem;
using platform::test::ReadWholeFile;
using platform::test::WriteWholeFile;

class FileUtilsTest : public ::testing::Test {
protected:
    void SetUp() override { platform::test::ResetAll(); }
    void TearDown() override { platform::test::ResetAll(); }

    bool Exists(const std::string& path) const { return fs::exists(root.Native(path)); }
    void MakeDir(const std::string& path) const { fs::create_directories(root.Native(path)); }

    moc_test::TempRoot root;
};

// ---- GetFileLength -----------------------------------------------------

TEST_F(FileUtilsTest, GetFileLengthOfMissingEmptyAndSizedFiles) {
    WriteWholeFile("C:\\empty.bin", "");
    WriteWholeFile("C:\\k.bin", std::string(1024, 'k'));
    MakeDir("C:\\folder");
    struct Case {
        const char* path;
        DWORD expected;
    } cases[] = {
        {"C:\\missing.bin", 0xFFFFFFFFu}, {"C:\\empty.bin", 0},   {"C:\\k.bin", 1024},
        {"C:\\folder", 0xFFFFFFFFu},      {nullptr, 0xFFFFFFFFu},
    };
    for (const Case& c : cases)
        EXPECT_EQ(GetFileLength(c.path), c.expected) << (c.path ? c.path : "null");
}

TEST_F(FileUtilsTest, GetFileLengthNeverCutsALengthOf4GiBOrMore) {
    struct Case {
        uint64_t size;
        DWORD expected;
    } cases[] = {
        {0xFFFFFFFEull, 0xFFFFFFFEu},
        {0x100000000ull, 0xFFFFFFFFu},
        {0x100000005ull, 0xFFFFFFFFu}, // its low 32 bits would read as 5
    };
    for (const Case& c : cases) {
        WriteWholeFile("C:\\big.bin", "");
        fs::resize_file(root.Native("C:\\big.bin"), c.size); // sparse: no disk used
        EXPECT_EQ(GetFileLength("C:\\big.bin"), c.expected) << c.size;
    }
}

// A name that is no file is refused through the platform's open: the length,
// the read and the stream write neither wait on a FIFO nor take a device's
// bytes, and the name stays as it was.
TEST_F(FileUtilsTest, NamesThatAreNotFilesNeitherHoldTheCallerNorGiveBytes) {
    ASSERT_EQ(mkfifo(root.Native("C:\\fifo").c_str(), 0600), 0);
    fs::create_symlink("/dev/zero", root.Native("C:\\to-zero"));
    for (const char* path : {"C:\\fifo", "C:\\to-zero"}) {
        SCOPED_TRACE(path);
        const auto seen = moc_test::ReturnedWithin([&] {
            char buffer[4] = {'#', '#', '#', '#'};
            const DWORD length = GetFileLength(path);
            const bool read = ReadFileToBuffer(path, buffer, sizeof(buffer));
            WriteFileStream(path, "abc", 3);
            return std::to_string(length) + " " + std::to_string(read) + " " +
                   std::string(buffer, sizeof(buffer));
        });
        ASSERT_TRUE(seen.has_value()) << "the call waited";
        EXPECT_EQ(*seen, "4294967295 1 ####");
    }
    EXPECT_TRUE(fs::is_fifo(root.Native("C:\\fifo")));
    EXPECT_TRUE(fs::is_symlink(root.Native("C:\\to-zero")));
}

// ---- Existence and access rules ------------------------------------------

TEST_F(FileUtilsTest, ExistenceRuleReadsAttributesAndAccessRuleOnlyExistence) {
    WriteWholeFile("C:\\plain.txt", "x");
    WriteWholeFile("C:\\readonly.txt", "x");
    ASSERT_TRUE(SetFileAttributesA("C:\\readonly.txt", FILE_ATTRIBUTE_READONLY));
    WriteWholeFile("C:\\reparse.lnk", "x");
    platform::test::SetExtraFileAttributes("C:\\reparse.lnk", FILE_ATTRIBUTE_REPARSE_POINT);
    WriteWholeFile("C:\\device", "x");
    platform::test::SetExtraFileAttributes("C:\\device", FILE_ATTRIBUTE_DEVICE);
    WriteWholeFile("C:\\hidden.lnk", "x");
    platform::test::SetExtraFileAttributes("C:\\hidden.lnk",
                                           FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_HIDDEN);
    MakeDir("C:\\dir");
    MakeDir("C:\\junction");
    platform::test::SetExtraFileAttributes("C:\\junction", FILE_ATTRIBUTE_REPARSE_POINT);

    struct Case {
        const char* path;
        bool exists;     // IsPathExist
        BOOL accessible; // IsFileExist and IsPathAccessible
    } cases[] = {
        {"C:\\plain.txt", true, TRUE},
        {"C:\\readonly.txt", true, TRUE},
        {"C:\\dir", true, TRUE},
        {"C:\\junction", true, TRUE},
        {"C:\\hidden.lnk", true, TRUE},
        // Only a reparse-point or device bit: present, yet not an existing path.
        {"C:\\reparse.lnk", false, TRUE},
        {"C:\\device", false, TRUE},
        {"C:\\missing.txt", false, FALSE},
        {"C:\\nofolder\\file.txt", false, FALSE},
        {"C:\\bad\xff.txt", false, FALSE}, // not in the ANSI code page
        {nullptr, false, FALSE},
    };
    for (const Case& c : cases) {
        const char* name = c.path ? c.path : "null";
        EXPECT_EQ(IsPathExist(c.path), c.exists) << name;
        EXPECT_EQ(IsFileExist(c.path), c.accessible) << name;
        EXPECT_EQ(IsPathAccessible(c.path), c.accessible) << name;
    }
}

// ---- ReadFileToBuffer --------------------------------------------------

TEST_F(FileUtilsTest, ReadFileToBufferFillsOnlyWhatTheFileHolds) {
    WriteWholeFile("C:\\ten.bin", "0123456789");
    MakeDir("C:\\dir");
    WriteWholeFile("C:\\reparse.lnk", "0123456789");
    platform::test::SetExtraFileAttributes("C:\\reparse.lnk", FILE_ATTRIBUTE_REPARSE_POINT);
    struct Case {
        const char* path;
        int count;
        bool nullDestination;
        bool result;
        size_t filled;
    } cases[] = {
        {"C:\\ten.bin", 16, false, true, 10},     {"C:\\ten.bin", 4, false, true, 4},
        {"C:\\ten.bin", 0, false, true, 0},       {"C:\\ten.bin", -1, false, true, 0},
        {"C:\\ten.bin", 16, true, true, 0},       {"C:\\dir", 16, false, true, 0},
        {"C:\\missing.bin", 16, false, false, 0}, {"C:\\reparse.lnk", 16, false, false, 0},
    };
    for (const Case& c : cases) {
        std::vector<char> buffer(16, '#');
        EXPECT_EQ(ReadFileToBuffer(c.path, c.nullDestination ? nullptr : buffer.data(), c.count),
                  c.result)
            << c.path << " " << c.count;
        std::string expected = std::string("0123456789").substr(0, c.filled);
        expected += std::string(16 - c.filled, '#');
        EXPECT_EQ(std::string(buffer.begin(), buffer.end()), expected) << c.path << " " << c.count;
    }
}

// ---- The three writers ---------------------------------------------------

TEST_F(FileUtilsTest, WriteFileStreamCreatesOrTruncates) {
    WriteWholeFile("C:\\out.bin", "old contents that are longer");
    WriteFileStream("C:\\out.bin", "new", 3);
    EXPECT_EQ(ReadWholeFile("C:\\out.bin"), "new");
    WriteFileStream("C:\\fresh.bin", "", 0);
    EXPECT_EQ(ReadWholeFile("C:\\fresh.bin"), "");
    WriteFileStream("C:\\nofolder\\x.bin", "abc", 3); // nothing to report, nothing made
    EXPECT_FALSE(Exists("C:\\nofolder"));
}

TEST_F(FileUtilsTest, WritersRefuseBadCountsWithoutTouchingTheFile) {
    struct Case {
        const void* source;
        int count;
    } cases[] = {{"abc", -1}, {"abc", INT32_MIN}, {nullptr, 3}};
    for (const Case& c : cases) {
        WriteWholeFile("C:\\keep.bin", "keep");
        WriteFileStream("C:\\keep.bin", c.source, c.count);
        EXPECT_EQ(ReadWholeFile("C:\\keep.bin"), "keep") << c.count;
        EXPECT_EQ(WriteFileCrt("C:\\keep.bin", c.source, c.count), -1) << c.count;
        EXPECT_EQ(ReadWholeFile("C:\\keep.bin"), "keep") << c.count;
    }
    EXPECT_FALSE(WriteFileWin32(nullptr, 3, "C:\\keep.bin"));
    EXPECT_EQ(ReadWholeFile("C:\\keep.bin"), "keep");
}

TEST_F(FileUtilsTest, WriteFileCrtResults) {
    WriteWholeFile("C:\\out.bin", "old contents");
    EXPECT_EQ(WriteFileCrt("C:\\out.bin", "crt", 3), 0);
    EXPECT_EQ(ReadWholeFile("C:\\out.bin"), "crt");
    EXPECT_EQ(WriteFileCrt("C:\\empty.bin", nullptr, 0), 0);
    EXPECT_EQ(ReadWholeFile("C:\\empty.bin"), "");
    // The open's own error number: neither success nor the close failure.
    EXPECT_EQ(WriteFileCrt("C:\\nofolder\\x.bin", "abc", 3), ENOENT);
    platform::test::FailNextFileCall("fopen_s", ERROR_ACCESS_DENIED);
    EXPECT_EQ(WriteFileCrt("C:\\out.bin", "abc", 3), EACCES);
    EXPECT_EQ(ReadWholeFile("C:\\out.bin"), "crt");
}

TEST_F(FileUtilsTest, WriteFileCrtReportsBytesThatNeverReachTheFile) {
    // A device that takes no byte: the buffered bytes fail at the flush, a
    // write larger than the buffer fails at once.
    if (access("/dev/full", W_OK) != 0)
        GTEST_SKIP() << "no /dev/full";
    std::vector<char> big(1 << 20, 'b');
    EXPECT_EQ(WriteFileCrt("/dev/full", "abc", 3), -1);
    EXPECT_EQ(WriteFileCrt("/dev/full", big.data(), static_cast<int>(big.size())), -1);
}

TEST_F(FileUtilsTest, WriteFileWin32ReplacesTheFile) {
    WriteWholeFile("C:\\out.bin", "old contents");
    EXPECT_TRUE(WriteFileWin32("win32", 5, "C:\\out.bin"));
    EXPECT_EQ(ReadWholeFile("C:\\out.bin"), "win32");
    EXPECT_TRUE(WriteFileWin32("ignored", 0, "C:\\out.bin"));
    EXPECT_EQ(ReadWholeFile("C:\\out.bin"), "");
    EXPECT_FALSE(WriteFileWin32("abc", 3, "C:\\nofolder\\x.bin"));
    EXPECT_EQ(platform::test::OpenHandleCount(), 0u);
}

TEST_F(FileUtilsTest, WriteFileWin32ReportsEveryLostWrite) {
    struct Case {
        const char* name;
        const char* failingCall;
        size_t writeLimit;
    } cases[] = {
        {"create fails", "CreateFileA", SIZE_MAX},
        {"write fails", "WriteFile", SIZE_MAX},
        {"short write", nullptr, 2},
        {"flush fails", "FlushFileBuffers", SIZE_MAX},
    };
    for (const Case& c : cases) {
        platform::test::ResetAll();
        if (c.failingCall)
            platform::test::FailNextFileCall(c.failingCall, ERROR_DISK_FULL);
        platform::test::SetWriteFileLimit(c.writeLimit);
        EXPECT_FALSE(WriteFileWin32("abcdef", 6, "C:\\out.bin")) << c.name;
        EXPECT_EQ(platform::test::OpenHandleCount(), 0u) << c.name;
    }
}

TEST_F(FileUtilsTest, WriteFileWin32OpensWithoutSharing) {
    HANDLE reader = CreateFileA("C:\\shared.bin", GENERIC_READ, FILE_SHARE_READ, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(WriteFileWin32("abc", 3, "C:\\shared.bin"));
    CloseHandle(reader);
    EXPECT_TRUE(WriteFileWin32("abc", 3, "C:\\shared.bin"));
}

// ---- Deletion and folders ------------------------------------------------

TEST_F(FileUtilsTest, DeleteFileIfExist) {
    WriteWholeFile("C:\\plain.txt", "x");
    WriteWholeFile("C:\\readonly.txt", "x");
    ASSERT_TRUE(SetFileAttributesA("C:\\readonly.txt", FILE_ATTRIBUTE_READONLY));
    MakeDir("C:\\dir");
    struct Case {
        const char* path;
        bool result;
        int deleteCalls;
    } cases[] = {
        {"C:\\plain.txt", true, 1},
        {"C:\\readonly.txt", true, 2}, // the mark is cleared between the two
        {"C:\\dir", false, 2},
        {"C:\\missing.txt", false, 0}, // no deletion is tried
    };
    for (const Case& c : cases) {
        platform::test::ResetAll();
        EXPECT_EQ(DeleteFileIfExist(c.path), c.result) << c.path;
        EXPECT_EQ(platform::test::FileCallCount("DeleteFileA"), c.deleteCalls) << c.path;
    }
    EXPECT_FALSE(Exists("C:\\plain.txt"));
    EXPECT_FALSE(Exists("C:\\readonly.txt"));
    EXPECT_TRUE(Exists("C:\\dir"));
}

TEST_F(FileUtilsTest, RemoveDirectoryIfExistAndMakeDirectory) {
    EXPECT_TRUE(MakeDirectory("C:\\made"));
    EXPECT_FALSE(MakeDirectory("C:\\made"));
    EXPECT_FALSE(MakeDirectory("C:\\nofolder\\made"));
    WriteWholeFile("C:\\made\\child.txt", "x");
    EXPECT_FALSE(RemoveDirectoryIfExist("C:\\made"));
    ASSERT_TRUE(DeleteFileIfExist("C:\\made\\child.txt"));
    EXPECT_TRUE(RemoveDirectoryIfExist("C:\\made"));
    EXPECT_FALSE(Exists("C:\\made"));
    EXPECT_FALSE(RemoveDirectoryIfExist("C:\\made"));
}

TEST_F(FileUtilsTest, CreateDirectoryTreeMakesPrefixesEndingAtSeparators) {
    // Relative paths resolve against the working folder, as on the platform.
    char saved[4096];
    ASSERT_NE(getcwd(saved, sizeof(saved)), nullptr);
    ASSERT_EQ(chdir(root.Folder().c_str()), 0);
    int backslashes = CreateDirectoryTree("a\\b\\c");
    bool a = fs::is_directory("a"), ab = fs::is_directory("a/b"), abc = fs::exists("a/b/c");
    int slashes = CreateDirectoryTree("x/y/z/");
    bool xyz = fs::is_directory("x/y/z");
    ASSERT_EQ(chdir(saved), 0);
    EXPECT_EQ(backslashes, 0);
    EXPECT_TRUE(a && ab);
    EXPECT_FALSE(abc);
    EXPECT_EQ(slashes, 0);
    EXPECT_TRUE(xyz);
}

TEST_F(FileUtilsTest, CreateDirectoryTreeLimitsAndFailures) {
    // "C:\" + 200 + "\" + n + "\": 259 characters for n = 54.
    std::string first(200, 'f');
    std::string longest = "C:\\" + first + "\\" + std::string(54, 's') + "\\";
    std::string tooLong = "C:\\" + first + "\\" + std::string(55, 's') + "\\";
    ASSERT_EQ(longest.size(), 259u);
    EXPECT_EQ(CreateDirectoryTree(tooLong.c_str()), -1);
    EXPECT_FALSE(Exists("C:\\" + first));
    EXPECT_EQ(CreateDirectoryTree(longest.c_str()), 0);
    EXPECT_TRUE(Exists(longest));

    EXPECT_EQ(CreateDirectoryTree(nullptr), 0);
    EXPECT_EQ(CreateDirectoryTree(""), 0);

    MakeDir("C:\\existing");
    EXPECT_EQ(CreateDirectoryTree("C:\\existing\\new\\"), 0);
    EXPECT_TRUE(Exists("C:\\existing\\new"));

    // A file in the way stops the walk; the folder made before it stays.
    WriteWholeFile("C:\\file", "x");
    EXPECT_EQ(CreateDirectoryTree("C:\\made\\..\\file\\below\\"), -1);
    EXPECT_TRUE(fs::is_directory(root.Native("C:\\made")));
    EXPECT_EQ(ReadWholeFile("C:\\file"), "x");

    platform::test::FailNextFileCall("_mkdir", ERROR_ACCESS_DENIED);
    EXPECT_EQ(CreateDirectoryTree("C:\\denied\\below\\"), -1);
    EXPECT_FALSE(Exists("C:\\denied"));
}

// ---- Log folder ----------------------------------------------------------

TEST_F(FileUtilsTest, GetLogFolderPathBuildsTheMakersFolder) {
    char output[MAX_PATH];
    std::memset(output, 'x', sizeof(output));
    GetLogFolderPath(output, nullptr);
    EXPECT_STREQ(output, "C:\\ProgramData\\Quorvin");
    EXPECT_TRUE(fs::is_directory(root.Native("C:\\ProgramData")));
    EXPECT_FALSE(Exists("C:\\ProgramData\\Quorvin")); // only built, not made

    GetLogFolderPath(output, "Logs");
    EXPECT_STREQ(output, "C:\\ProgramData\\Quorvin\\Logs");

    platform::test::FailKnownFolder(E_FAIL);
    std::memset(output, 'x', sizeof(output));
    GetLogFolderPath(output, "Logs");
    EXPECT_STREQ(output, "");
}

TEST_F(FileUtilsTest, GetLogFolderPathNeverCutsAPathThatDoesNotFit) {
    // "C:\P" + "\Quorvin" + "\" + subfolder: 259 characters for 246.
    platform::test::SetKnownFolderPath(FOLDERID_ProgramData, u"C:\\P");
    struct Case {
        size_t subfolder;
        bool fits;
    } cases[] = {{246, true}, {247, false}, {400, false}};
    for (const Case& c : cases) {
        std::string subfolder(c.subfolder, 's');
        char output[MAX_PATH];
        std::memset(output, 'x', sizeof(output));
        GetLogFolderPath(output, subfolder.c_str());
        EXPECT_STREQ(output, c.fits ? ("C:\\P\\Quorvin\\" + subfolder).c_str() : "") << c.subfolder;
    }
    platform::test::SetKnownFolderPath(FOLDERID_ProgramData, u"C:\\" + std::u16string(300, u'p'));
    char output[MAX_PATH];
    GetLogFolderPath(output, nullptr);
    EXPECT_STREQ(output, "");
}

// ---- Console lock state ----------------------------------------------------

std::vector<uint8_t> SessionReply(size_t size, DWORD level, LONG flags) {
    std::vector<uint8_t> bytes(size, 0);
    std::memcpy(bytes.data(), &level, std::min(size, sizeof(level)));
    constexpr size_t at = offsetof(WTSINFOEXW, Data.WTSInfoExLevel1.SessionFlags);
    if (size > at)
        std::memcpy(bytes.data() + at, &flags, std::min(size - at, sizeof(flags)));
    return bytes;
}

TEST_F(FileUtilsTest, GetConsoleSessionLockState) {
    struct Case {
        const char* name;
        LONG lockState;
        DWORD session;
        DWORD queryError;
        DWORD level;
        std::vector<uint8_t> reply;
        DWORD expected;
    } cases[] = {
        {"locked", 0, 1, 0, 1, {}, 0},
        {"unlocked", 1, 1, 0, 1, {}, 1},
        {"unknown", -1, 1, 0, 1, {}, WTS_SESSIONSTATE_UNKNOWN},
        {"no console session", 0, 0xFFFFFFFFu, 0, 1, {}, 255},
        {"query fails", 0, 1, ERROR_ACCESS_DENIED, 1, {}, 255},
        {"level 2", 0, 1, 0, 2, {}, 255},
        {"reply of 20 bytes", 0, 1, 0, 1, SessionReply(20, 1, 0), 0},
        {"reply cut in SessionFlags", 0, 1, 0, 1, SessionReply(19, 1, 0), 255},
        {"reply of the level alone", 0, 1, 0, 1, SessionReply(4, 1, 0), 255},
    };
    for (const Case& c : cases) {
        platform::test::ResetAll();
        platform::test::SetConsoleLockState(c.lockState);
        platform::test::SetConsoleSession(c.session);
        platform::test::FailSessionQuery(c.queryError);
        platform::test::SetSessionReplyLevel(c.level);
        platform::test::SetSessionReply(c.reply);
        DWORD state = 12345;
        GetConsoleSessionLockState(&state);
        EXPECT_EQ(state, c.expected) << c.name;
    }
    GetConsoleSessionLockState(nullptr);
}

} // namespace
