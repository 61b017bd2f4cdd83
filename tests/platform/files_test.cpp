// The stand-in's file semantics that the system relies on and that the
// utilities' own tests do not show.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <gtest/gtest.h>
#include <platform/native_path.h>
#include <platform/test.h>
#include <io.h>
#include <windows.h>
#include "support/temp_root.h"
#include "support/within_time.h"

namespace {

using platform::test::ReadWholeFile;
using platform::test::WriteWholeFile;

class StandInFilesTest : public ::testing::Test {
protected:
    void SetUp() override { platform::test::ResetAll(); }
    void TearDown() override { platform::test::ResetAll(); }

    moc_test::TempRoot root;
};

TEST_F(StandInFilesTest, PathMapping) {
    const std::string r = root.Folder();
    struct Case {
        const char* path;
        std::string expected;
    } cases[] = {
        {"C:\\a\\b.txt", r + "/C/a/b.txt"},
        {"c:/a/b", r + "/C/a/b"},
        {"C:", r + "/C"},
        {"D:rel", r + "/D/rel"},
        {"rel\\x", "rel/x"},
        {"/dev/null", "/dev/null"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(platform::NativePath(c.path), c.expected) << c.path;
    EXPECT_EQ(platform::NativePath(u"C:\\w\u00e9"), r + "/C/w\xc3\xa9");
}

TEST_F(StandInFilesTest, DispositionsOnAnExistingFile) {
    WriteWholeFile("C:\\f.bin", "old");
    struct Case {
        DWORD disposition;
        bool opens;
        DWORD error;
        std::string after;
    } cases[] = {
        {CREATE_NEW, false, ERROR_FILE_EXISTS, "old"},
        {OPEN_EXISTING, true, ERROR_SUCCESS, "old"},
        {OPEN_ALWAYS, true, ERROR_ALREADY_EXISTS, "old"},
        {CREATE_ALWAYS, true, ERROR_ALREADY_EXISTS, ""},
    };
    for (const Case& c : cases) {
        WriteWholeFile("C:\\f.bin", "old");
        SetLastError(12345);
        HANDLE h = CreateFileA("C:\\f.bin", GENERIC_WRITE, 0, nullptr, c.disposition,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_EQ(h != INVALID_HANDLE_VALUE, c.opens) << c.disposition;
        EXPECT_EQ(GetLastError(), c.error) << c.disposition;
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
        EXPECT_EQ(ReadWholeFile("C:\\f.bin"), c.after) << c.disposition;
    }
}

TEST_F(StandInFilesTest, ReadOnlyFileStaysUntilItsMarkIsCleared) {
    WriteWholeFile("C:\\ro.txt", "keep");
    ASSERT_TRUE(SetFileAttributesA("C:\\ro.txt", FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(GetFileAttributesA("C:\\ro.txt"), FILE_ATTRIBUTE_READONLY);
    EXPECT_FALSE(DeleteFileA("C:\\ro.txt"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(CreateFileA("C:\\ro.txt", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    ASSERT_TRUE(SetFileAttributesA("C:\\ro.txt", FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(GetFileAttributesA("C:\\ro.txt"), FILE_ATTRIBUTE_NORMAL);
    EXPECT_TRUE(DeleteFileA("C:\\ro.txt"));
}

TEST_F(StandInFilesTest, ShareModesOfOpenHandles) {
    WriteWholeFile("C:\\s.bin", "x");
    const DWORD rw = GENERIC_READ | GENERIC_WRITE;
    const DWORD both = FILE_SHARE_READ | FILE_SHARE_WRITE;
    struct Case {
        DWORD access1, share1, access2, share2;
        bool secondOpens;
    } cases[] = {
        {GENERIC_WRITE, 0, GENERIC_READ, both, false},
        {GENERIC_READ, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ, true},
        {GENERIC_READ, FILE_SHARE_READ, GENERIC_WRITE, both, false},
        {rw, both, rw, both, true},
        {rw, both, GENERIC_READ, FILE_SHARE_READ, false}, // the second denies the first's write
    };
    for (const Case& c : cases) {
        HANDLE first =
            CreateFileA("C:\\s.bin", c.access1, c.share1, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(first, INVALID_HANDLE_VALUE);
        HANDLE second =
            CreateFileA("C:\\s.bin", c.access2, c.share2, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_EQ(second != INVALID_HANDLE_VALUE, c.secondOpens) << c.access1 << "/" << c.share1;
        if (second == INVALID_HANDLE_VALUE)
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
        else
            CloseHandle(second);
        // An open file without delete sharing can be neither deleted nor replaced.
        EXPECT_FALSE(DeleteFileA("C:\\s.bin"));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
        CloseHandle(first);
    }
    HANDLE again = CreateFileA("C:\\s.bin", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    CloseHandle(again);
}

// fopen_s shares nothing: it is refused while any handle with access holds
// the file, leaves that file as it is, and keeps everyone out until fclose.
TEST_F(StandInFilesTest, FopenSOpensExclusively) {
    WriteWholeFile("C:\\x.bin", "kept");
    const DWORD both = FILE_SHARE_READ | FILE_SHARE_WRITE;
    struct Case {
        DWORD access, share;
    } holders[] = {{GENERIC_WRITE, 0}, {GENERIC_READ, both}, {GENERIC_READ | GENERIC_WRITE, both}};
    for (const Case& c : holders) {
        HANDLE holder =
            CreateFileA("C:\\x.bin", c.access, c.share, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(holder, INVALID_HANDLE_VALUE);
        for (const char* mode : {"rb", "wb", "ab", "r+b"}) {
            FILE* stream = reinterpret_cast<FILE*>(1);
            EXPECT_EQ(fopen_s(&stream, "C:\\x.bin", mode), EACCES) << mode << " " << c.access;
            EXPECT_EQ(stream, nullptr);
        }
        CloseHandle(holder);
        EXPECT_EQ(ReadWholeFile("C:\\x.bin"), "kept");
    }

    FILE* stream = nullptr;
    ASSERT_EQ(fopen_s(&stream, "C:\\x.bin", "wb"), 0);
    HANDLE reader =
        CreateFileA("C:\\x.bin", GENERIC_READ, both, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(reader, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    FILE* second = nullptr;
    EXPECT_EQ(fopen_s(&second, "C:\\x.bin", "rb"), EACCES);
    ASSERT_EQ(std::fwrite("new", 1, 3, stream), 3u);
    ASSERT_EQ(std::fclose(stream), 0);

    EXPECT_EQ(ReadWholeFile("C:\\x.bin"), "new");
    reader = CreateFileA("C:\\x.bin", GENERIC_READ, both, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(reader, INVALID_HANDLE_VALUE);
    CloseHandle(reader);
    // Appending and reading back through the same stream.
    ASSERT_EQ(fopen_s(&stream, "C:\\x.bin", "a+b"), 0);
    ASSERT_EQ(std::fputs("er", stream), 1);
    ASSERT_EQ(std::fseek(stream, 0, SEEK_SET), 0);
    char text[8] = {};
    EXPECT_EQ(std::fread(text, 1, sizeof(text) - 1, stream), 5u);
    EXPECT_STREQ(text, "newer");
    std::fclose(stream);
    EXPECT_EQ(fopen_s(&stream, "C:\\x.bin", "rw"), EINVAL);
}

TEST_F(StandInFilesTest, ErrorCodesOfFailedCalls) {
    WriteWholeFile("C:\\file.txt", "x");
    WriteWholeFile("C:\\other.txt", "y");
    std::filesystem::create_directories(root.Native("C:\\dir\\sub"));
    auto error = [](BOOL ok) { return ok ? ERROR_SUCCESS : static_cast<long>(GetLastError()); };
    struct Case {
        const char* name;
        long actual;
        long expected;
    } cases[] = {
        {"missing file", error(GetFileAttributesA("C:\\none.txt") != INVALID_FILE_ATTRIBUTES),
         ERROR_FILE_NOT_FOUND},
        {"missing folder", error(DeleteFileA("C:\\nodir\\none.txt")), ERROR_PATH_NOT_FOUND},
        {"file as folder", error(DeleteFileA("C:\\file.txt\\x")), ERROR_PATH_NOT_FOUND},
        {"folder exists", error(CreateDirectoryA("C:\\dir", nullptr)), ERROR_ALREADY_EXISTS},
        {"parent missing", error(CreateDirectoryA("C:\\no\\dir", nullptr)), ERROR_PATH_NOT_FOUND},
        {"folder not empty", error(RemoveDirectoryA("C:\\dir")), ERROR_DIR_NOT_EMPTY},
        {"not a folder", error(RemoveDirectoryA("C:\\file.txt")), ERROR_DIRECTORY},
        {"delete a folder", error(DeleteFileA("C:\\dir")), ERROR_ACCESS_DENIED},
        {"target exists", error(MoveFileExA("C:\\file.txt", "C:\\other.txt", 0)),
         ERROR_ALREADY_EXISTS},
        {"replace", error(MoveFileExA("C:\\file.txt", "C:\\other.txt", MOVEFILE_REPLACE_EXISTING)),
         ERROR_SUCCESS},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.actual, c.expected) << c.name;
    EXPECT_EQ(ReadWholeFile("C:\\other.txt"), "x");
}

// On the platform's volumes a name holds a file or a folder. A folder opens
// only with backup semantics; a FIFO, a socket or a device there, or a link to
// one, opens as nothing; a create-new fails on any name, a link whose target
// is gone included. Each is refused at once: no call waits for a writer or a
// reader that never comes, and none reads a device that has no end.
TEST_F(StandInFilesTest, NamesThatAreNotFilesAreRefusedAtOnce) {
    namespace fs = std::filesystem;
    WriteWholeFile("C:\\file", "x");
    fs::create_directories(root.Native("C:\\dir"));
    ASSERT_EQ(mkfifo(root.Native("C:\\fifo").c_str(), 0600), 0);
    const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(sock, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string sockPath = root.Native("C:\\sock");
    ASSERT_LT(sockPath.size(), sizeof(address.sun_path));
    std::memcpy(address.sun_path, sockPath.c_str(), sockPath.size() + 1);
    ASSERT_EQ(bind(sock, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
    close(sock);
    for (auto [target, link] : {std::pair{root.Native("C:\\file"), "C:\\to-file"},
                                {root.Native("C:\\dir"), "C:\\to-dir"},
                                {root.Native("C:\\fifo"), "C:\\to-fifo"},
                                {std::string("/dev/null"), "C:\\to-null"},
                                {std::string("/dev/zero"), "C:\\to-zero"},
                                {root.Native("C:\\gone"), "C:\\dangling"}})
        fs::create_symlink(target, root.Native(link));

    constexpr DWORD R = GENERIC_READ, W = GENERIC_WRITE, kBackup = FILE_FLAG_BACKUP_SEMANTICS;
    struct Open {
        const char* path;
        DWORD access, disposition, flags;
        DWORD error; // ERROR_SUCCESS: it opens
    } opens[] = {
        {"C:\\to-file", R, OPEN_EXISTING, 0, ERROR_SUCCESS},
        {"C:\\dir", R, OPEN_EXISTING, 0, ERROR_ACCESS_DENIED},
        {"C:\\dir", R, OPEN_EXISTING, kBackup, ERROR_SUCCESS},
        {"C:\\dir", W, CREATE_ALWAYS, kBackup, ERROR_ACCESS_DENIED},
        {"C:\\to-dir", R, OPEN_EXISTING, 0, ERROR_ACCESS_DENIED},
        {"C:\\fifo", R, OPEN_EXISTING, 0, ERROR_CANT_ACCESS_FILE}, // no writer
        {"C:\\fifo", W, OPEN_ALWAYS, 0, ERROR_CANT_ACCESS_FILE},   // no reader
        {"C:\\to-fifo", R, OPEN_EXISTING, 0, ERROR_CANT_ACCESS_FILE},
        {"C:\\sock", R | W, OPEN_EXISTING, 0, ERROR_CANT_ACCESS_FILE},
        {"C:\\to-null", W, CREATE_ALWAYS, 0, ERROR_CANT_ACCESS_FILE},
        {"C:\\to-zero", R, OPEN_EXISTING, 0, ERROR_CANT_ACCESS_FILE},
        {"C:\\dangling", W, CREATE_NEW, 0, ERROR_FILE_EXISTS},
        {"C:\\dangling", R, OPEN_EXISTING, 0, ERROR_FILE_NOT_FOUND},
        {"C:\\fifo", W, CREATE_NEW, 0, ERROR_FILE_EXISTS},
        {"C:\\dir", W, CREATE_NEW, kBackup, ERROR_FILE_EXISTS},
        // A device named by its own path outside the drives: the stand-in's way
        // to reach one, as the platform's device names do.
        {"/dev/null", W, OPEN_EXISTING, 0, ERROR_SUCCESS},
    };
    for (const Open& c : opens) {
        SCOPED_TRACE(::testing::Message()
                     << c.path << ", access " << std::hex << c.access << ", disposition "
                     << c.disposition << ", flags " << c.flags);
        const auto error = moc_test::ReturnedWithin([&] {
            HANDLE h = CreateFileA(c.path, c.access, 0, nullptr, c.disposition, c.flags, nullptr);
            const DWORD e = h == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
            CloseHandle(h);
            return std::to_string(e);
        });
        ASSERT_TRUE(error.has_value()) << "the open waited";
        EXPECT_EQ(*error, std::to_string(c.error));
    }
    EXPECT_FALSE(fs::exists(root.Native("C:\\gone")));

    // The attributes show what the platform would find there; the runtime's
    // open meets the same refusals.
    constexpr DWORD kNode = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_ARCHIVE;
    struct Name {
        const char* path;
        DWORD attributes;
        int fopenError;
    } names[] = {
        {"C:\\to-file", FILE_ATTRIBUTE_NORMAL, 0},
        {"C:\\dir", FILE_ATTRIBUTE_DIRECTORY, EACCES},
        {"C:\\fifo", kNode, EINVAL},
        {"C:\\sock", kNode, EINVAL},
        {"C:\\to-fifo", kNode, EINVAL},
        {"C:\\to-zero", kNode, EINVAL},
        {"C:\\dangling", kNode, ENOENT},
    };
    for (const Name& c : names) {
        SCOPED_TRACE(c.path);
        const auto seen = moc_test::ReturnedWithin([&] {
            FILE* stream = nullptr;
            const errno_t e = fopen_s(&stream, c.path, "rb");
            if (stream != nullptr)
                std::fclose(stream);
            return std::to_string(GetFileAttributesA(c.path)) + " " + std::to_string(e);
        });
        ASSERT_TRUE(seen.has_value()) << "the open waited";
        EXPECT_EQ(*seen, std::to_string(c.attributes) + " " + std::to_string(c.fopenError));
    }
}

// The existence and attribute calls describe a link that leads nowhere (its target gone, or a
// loop) as the platform describes every link: a reparse point of its own times and no
// length, a name that is there; only its open fails. A link that leads to a file still shows
// that file. A read-only mark given to such a link keeps it from being deleted or replaced.
TEST_F(StandInFilesTest, ALinkThatLeadsNowhereIsANameThatIsThere) {
    namespace fs = std::filesystem;
    WriteWholeFile("C:\\file", "four");
    fs::create_symlink(root.Native("C:\\file"), root.Native("C:\\to-file"));
    fs::create_symlink(root.Native("C:\\gone\\file"), root.Native("C:\\dangling"));
    fs::create_symlink(root.Native("C:\\loop"), root.Native("C:\\loop"));
    auto fileTime = [](const struct timespec& t) {
        return 116444736000000000ull + static_cast<uint64_t>(t.tv_sec) * 10000000ull +
               static_cast<uint64_t>(t.tv_nsec) / 100;
    };
    constexpr DWORD kLink = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_ARCHIVE;
    constexpr DWORD kSomeError = ~0u;
    struct Case {
        std::string path;
        DWORD attributes;
        DWORD size;
        bool ownTimes; // the link's own, not its target's
        DWORD openError;
    } cases[] = {
        {"C:\\to-file", FILE_ATTRIBUTE_NORMAL, 4, false, ERROR_SUCCESS},
        {"C:\\dangling", kLink, 0, true, ERROR_FILE_NOT_FOUND},
        {"C:\\loop", kLink, 0, true, kSomeError},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const std::u16string wide(c.path.begin(), c.path.end());
        const std::string native = root.Native(c.path);
        struct stat st {};
        ASSERT_EQ(c.ownTimes ? lstat(native.c_str(), &st) : stat(native.c_str(), &st), 0);
        EXPECT_EQ(GetFileAttributesA(c.path.c_str()), c.attributes);
        EXPECT_EQ(GetFileAttributesW(wide.c_str()), c.attributes);
        WIN32_FILE_ATTRIBUTE_DATA data{}, wideData{};
        ASSERT_TRUE(GetFileAttributesExA(c.path.c_str(), GetFileExInfoStandard, &data));
        ASSERT_TRUE(GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &wideData));
        EXPECT_EQ(std::memcmp(&data, &wideData, sizeof(data)), 0);
        EXPECT_EQ(data.dwFileAttributes, c.attributes);
        EXPECT_EQ(data.nFileSizeHigh, 0u);
        EXPECT_EQ(data.nFileSizeLow, c.size);
        const FILETIME& written = data.ftLastWriteTime;
        EXPECT_EQ(uint64_t{written.dwHighDateTime} << 32 | written.dwLowDateTime,
                  fileTime(st.st_mtim));
        EXPECT_EQ(_access(c.path.c_str(), 0), 0);
        EXPECT_EQ(_access(c.path.c_str(), 2), 0);
        HANDLE h = CreateFileA(c.path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        const DWORD error = h == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
        CloseHandle(h);
        if (c.openError == kSomeError)
            EXPECT_NE(error, static_cast<DWORD>(ERROR_SUCCESS));
        else
            EXPECT_EQ(error, c.openError);
    }

    ASSERT_TRUE(SetFileAttributesA("C:\\dangling", FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(GetFileAttributesA("C:\\dangling"), kLink | FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(_access("C:\\dangling", 2), -1);
    EXPECT_FALSE(DeleteFileA("C:\\dangling"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(MoveFileExA("C:\\file", "C:\\dangling", MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    ASSERT_TRUE(SetFileAttributesA("C:\\dangling", FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(GetFileAttributesA("C:\\dangling"), kLink);
    EXPECT_TRUE(DeleteFileA("C:\\dangling"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(root.Native("C:\\dangling"))));
    EXPECT_FALSE(fs::exists(root.Native("C:\\gone")));
    EXPECT_EQ(ReadWholeFile("C:\\file"), "four");
}

// A writer that checks every step must be able to meet a failure at each one.
TEST_F(StandInFilesTest, ArmedFailuresHitTheChosenCall) {
    struct Case {
        const char* function;
        int n;
    } cases[] = {{"WriteFile", 1}, {"WriteFile", 3}, {"FlushFileBuffers", 1}, {"CloseHandle", 1}};
    for (const Case& c : cases) {
        platform::test::FailFileCallAt(c.function, c.n, ERROR_DISK_FULL);
        HANDLE h = CreateFileW(u"C:\\armed.bin", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        int failedAt = 0;
        for (int i = 1; i <= 3 && failedAt == 0; ++i) {
            DWORD written = 0;
            if (!WriteFile(h, "abcd", 4, &written, nullptr))
                failedAt = i;
        }
        bool flushed = FlushFileBuffers(h) != FALSE;
        DWORD flushError = GetLastError();
        bool closed = CloseHandle(h) != FALSE;
        DWORD closeError = GetLastError();
        std::string what = std::string(c.function) + "#" + std::to_string(c.n);
        EXPECT_EQ(failedAt, std::string(c.function) == "WriteFile" ? c.n : 0) << what;
        EXPECT_EQ(flushed, std::string(c.function) != "FlushFileBuffers") << what;
        if (!flushed) {
            EXPECT_EQ(flushError, static_cast<DWORD>(ERROR_DISK_FULL)) << what;
        }
        EXPECT_EQ(closed, std::string(c.function) != "CloseHandle") << what;
        if (!closed) {
            EXPECT_EQ(closeError, static_cast<DWORD>(ERROR_DISK_FULL)) << what;
        }
        // A failed close still gives the handle back.
        EXPECT_EQ(platform::test::OpenHandleCount(), 0u) << what;
    }
}

TEST_F(StandInFilesTest, WriteThroughMoveReplacesTheTarget) {
    WriteWholeFile("C:\\new.bin", "new");
    WriteWholeFile("C:\\old.bin", "old");
    EXPECT_TRUE(MoveFileExW(u"C:\\new.bin", u"C:\\old.bin",
                            MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
    EXPECT_EQ(ReadWholeFile("C:\\old.bin"), "new");
    EXPECT_EQ(GetFileAttributesA("C:\\new.bin"), INVALID_FILE_ATTRIBUTES);
    platform::test::FailNextFileCall("MoveFileExW", ERROR_ACCESS_DENIED);
    WriteWholeFile("C:\\new.bin", "newer");
    EXPECT_FALSE(MoveFileExW(u"C:\\new.bin", u"C:\\old.bin", MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(ReadWholeFile("C:\\old.bin"), "new");
}

// A writer's calls as the journal names them, and a process that ends just
// before or just after one of them: the files then show the calls before it,
// and for an end after it, that call's own work too.
TEST_F(StandInFilesTest, JournalAndProcessEndAtAFileCall) {
    auto writer = [] {
        HANDLE h = CreateFileW(u"C:\\t.new", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD written = 0;
        WriteFile(h, "abcd", 4, &written, nullptr);
        WriteFile(h, "efgh", 4, &written, nullptr);
        FlushFileBuffers(h);
        CloseHandle(h);
        MoveFileExW(u"C:\\t.new", u"C:\\t", MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    };
    WriteWholeFile("C:\\t", "old");
    platform::test::StartFileCallJournal();
    writer();
    EXPECT_EQ(platform::test::StopFileCallJournal(),
              (std::vector<std::string>{"CreateFileW", "WriteFile", "WriteFile", "FlushFileBuffers",
                                        "CloseHandle", "MoveFileExW"}));
    writer();
    EXPECT_TRUE(platform::test::StopFileCallJournal().empty());

    using platform::test::FileCallEnd;
    constexpr int kEnded = 42, kRanThrough = 43;
    const char* kNone = nullptr;
    struct Case {
        const char* function;
        int n;
        FileCallEnd when;
        int status;
        const char* temporary; // nullptr: absent
        const char* target;
    } cases[] = {
        {"CreateFileW", 1, FileCallEnd::Before, kEnded, kNone, "old"},
        {"CreateFileW", 1, FileCallEnd::After, kEnded, "", "old"},
        {"WriteFile", 2, FileCallEnd::Before, kEnded, "abcd", "old"},
        {"WriteFile", 2, FileCallEnd::After, kEnded, "abcdefgh", "old"},
        {"MoveFileExW", 1, FileCallEnd::Before, kEnded, "abcdefgh", "old"},
        {"MoveFileExW", 1, FileCallEnd::After, kEnded, kNone, "abcdefgh"},
        {"WriteFile", 3, FileCallEnd::After, kRanThrough, kNone, "abcdefgh"},
    };
    for (const Case& c : cases) {
        const std::string what = std::string(c.function) + "#" + std::to_string(c.n) +
                                 (c.when == FileCallEnd::Before ? " before" : " after");
        DeleteFileA("C:\\t.new");
        WriteWholeFile("C:\\t", "old");
        std::fflush(nullptr);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            platform::test::EndProcessAtFileCall(c.function, c.n, c.when, kEnded);
            writer();
            _exit(kRanThrough);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child) << what;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == c.status) << what;
        const bool present = std::filesystem::exists(root.Native("C:\\t.new"));
        EXPECT_EQ(present, c.temporary != nullptr) << what;
        if (present && c.temporary != nullptr) {
            EXPECT_EQ(ReadWholeFile("C:\\t.new"), c.temporary) << what;
        }
        EXPECT_EQ(ReadWholeFile("C:\\t"), c.target) << what;
    }
}

// A power cut keeps what the disk holds for sure: a file's bytes once flushed,
// a name once its folder is synced. Writers that skip a step lose by it.
TEST_F(StandInFilesTest, APowerCutKeepsWhatWasFlushedAndSynced) {
    enum Writer {
        kWhole,
        kNoFlush,
        kNoWriteThrough,
        kPatch,
        kPatchNoFlush,
        kDelete,
        kDeleteSynced
    };
    auto run = [](Writer w) {
        const bool patch = w == kPatch || w == kPatchNoFlush;
        if (w == kDelete || w == kDeleteSynced) {
            DeleteFileW(u"C:\\t");
            if (w == kDeleteSynced)
                MoveFileExW(u"C:\\side", u"C:\\side.moved", MOVEFILE_WRITE_THROUGH);
            return;
        }
        HANDLE h =
            CreateFileW(patch ? u"C:\\t" : u"C:\\t.new", GENERIC_WRITE, 0, nullptr,
                        patch ? OPEN_EXISTING : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD written = 0;
        WriteFile(h, "new", 3, &written, nullptr);
        if (w != kNoFlush && w != kPatchNoFlush)
            FlushFileBuffers(h);
        CloseHandle(h);
        if (!patch)
            MoveFileExW(u"C:\\t.new", u"C:\\t",
                        MOVEFILE_REPLACE_EXISTING |
                            (w == kNoWriteThrough ? 0 : MOVEFILE_WRITE_THROUGH));
    };
    const char* kAbsent = nullptr;
    struct Case {
        Writer writer;
        const char* function; // the cut comes after its first call; nullptr: after the writer
        const char* temporary;
        const char* target;
    } cases[] = {
        // The new name is not on the disk before the move syncs its folder.
        {kWhole, "CreateFileW", kAbsent, "old"},
        {kWhole, "FlushFileBuffers", kAbsent, "old"},
        {kWhole, "MoveFileExW", kAbsent, "new"},
        {kWhole, nullptr, kAbsent, "new"},
        // The move reached the disk, the bytes behind it never did.
        {kNoFlush, nullptr, kAbsent, ""},
        {kNoWriteThrough, nullptr, kAbsent, "old"},
        {kPatch, "WriteFile", kAbsent, "old"},
        {kPatch, nullptr, kAbsent, "new"},
        {kPatchNoFlush, nullptr, kAbsent, "old"},
        {kDelete, nullptr, kAbsent, "old"},
        {kDeleteSynced, nullptr, kAbsent, kAbsent},
    };
    for (const Case& c : cases) {
        const std::string what = std::to_string(c.writer) + " " + (c.function ? c.function : "end");
        DeleteFileA("C:\\t.new");
        DeleteFileA("C:\\side.moved");
        WriteWholeFile("C:\\t", "old");
        WriteWholeFile("C:\\side", "u");
        if (c.function != nullptr)
            platform::test::CutPowerAfterFileCall(c.function, 1);
        else
            platform::test::StartDiskCache();
        run(c.writer);
        if (c.function == nullptr)
            platform::test::CutPowerNow();
        // Without power nothing answers, and nothing changes.
        EXPECT_EQ(GetFileAttributesA("C:\\side"), INVALID_FILE_ATTRIBUTES) << what;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_READY)) << what;
        EXPECT_FALSE(DeleteFileA("C:\\side")) << what;
        EXPECT_TRUE(platform::test::RestorePower()) << what;
        EXPECT_FALSE(platform::test::RestorePower()) << what;
        for (auto [path, expected] : {std::pair{"C:\\t.new", c.temporary}, {"C:\\t", c.target}}) {
            const bool present = std::filesystem::exists(root.Native(path));
            EXPECT_EQ(present, expected != nullptr) << what << ": " << path;
            if (present && expected != nullptr) {
                EXPECT_EQ(ReadWholeFile(path), expected) << what << ": " << path;
            }
        }
        EXPECT_EQ(platform::test::OpenHandleCount(), 0u) << what;
    }
}

// A disk that was writing back its cache when the power went keeps some of the
// changes not yet durable, each only with those made before it. The cache
// follows each file by its names: a file deleted and a new one made after it
// (which a disk may give the deleted one's inode number) each keep their own
// bytes.
TEST_F(StandInFilesTest, APowerCutKeepsTheFirstChangesNotYetDurable) {
    // Writes `pieces` one call each into `name` opened with `disposition`, and
    // flushes them when asked.
    auto write = [](const WCHAR* name, DWORD disposition, std::vector<const char*> pieces,
                    bool flush) {
        HANDLE h = CreateFileW(name, GENERIC_WRITE, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                               nullptr);
        for (const char* piece : pieces) {
            DWORD written = 0;
            WriteFile(h, piece, static_cast<DWORD>(std::strlen(piece)), &written, nullptr);
        }
        if (flush)
            FlushFileBuffers(h);
        CloseHandle(h);
    };
    const DWORD kReplace = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
    struct Case {
        const char* name;
        const char* stale; // what stands at t.new before, or nullptr
        std::function<void()> run;
        const char* function; // the cut comes after its first call; nullptr: after the run
        // The folder after a cut that keeps none, one, ... of the changes.
        std::vector<std::string> kept;
    } cases[] = {
        {"a writer that first deletes its temporary name, which is not there",
         nullptr,
         [&] {
             DeleteFileW(u"C:\\t.new");
             write(u"C:\\t.new", CREATE_NEW, {"new"}, true);
             MoveFileExW(u"C:\\t.new", u"C:\\t", kReplace);
         },
         "WriteFile",
         {"t=old", "t=old t.new=", "t=old t.new=new"}},
        {"the same writer after it",
         nullptr,
         [&] {
             DeleteFileW(u"C:\\t.new");
             write(u"C:\\t.new", CREATE_NEW, {"new"}, true);
             MoveFileExW(u"C:\\t.new", u"C:\\t", kReplace);
         },
         nullptr,
         {"t=new"}},
        // The stale file goes and a new one takes its name.
        {"a writer that deletes a temporary file left behind",
         "stale",
         [&] {
             DeleteFileW(u"C:\\t.new");
             write(u"C:\\t.new", CREATE_NEW, {"new"}, true);
             MoveFileExW(u"C:\\t.new", u"C:\\t", kReplace);
         },
         "FlushFileBuffers",
         {"t=old t.new=stale", "t=old", "t=old t.new=new"}},
        {"a writer that deletes its target before the move",
         nullptr,
         [&] {
             write(u"C:\\t.new", CREATE_ALWAYS, {"new"}, true);
             DeleteFileW(u"C:\\t");
             MoveFileExW(u"C:\\t.new", u"C:\\t", kReplace);
         },
         "DeleteFileW",
         {"t=old", "t=old t.new=new", "t.new=new"}},
        {"a move not written through",
         nullptr,
         [&] {
             write(u"C:\\t.new", CREATE_ALWAYS, {"new"}, true);
             MoveFileExW(u"C:\\t.new", u"C:\\t", MOVEFILE_REPLACE_EXISTING);
         },
         nullptr,
         {"t=old", "t=old t.new=new", "t=new"}},
        {"a new file deleted",
         nullptr,
         [&] {
             write(u"C:\\a", CREATE_NEW, {"new"}, true);
             DeleteFileW(u"C:\\a");
         },
         nullptr,
         {"t=old", "a=new t=old", "t=old"}},
        {"a file deleted and a new one made",
         nullptr,
         [&] {
             DeleteFileW(u"C:\\t");
             write(u"C:\\u", CREATE_NEW, {"new"}, true);
         },
         nullptr,
         {"t=old", "", "u=new"}},
        {"writes in place never flushed",
         nullptr,
         [&] {
             write(u"C:\\t", OPEN_EXISTING, {"ne", "w"}, false);
         },
         nullptr,
         {"t=old", "t=ned", "t=new"}},
    };
    auto folder = [&] {
        std::string listing;
        for (const auto& [name, path] :
             {std::pair{"a", "C:\\a"}, {"t", "C:\\t"}, {"t.new", "C:\\t.new"}, {"u", "C:\\u"}}) {
            if (std::filesystem::exists(root.Native(path)))
                listing +=
                    std::string(listing.empty() ? "" : " ") + name + "=" + ReadWholeFile(path);
        }
        return listing;
    };
    for (const Case& c : cases) {
        for (size_t kept = 0; kept < c.kept.size(); ++kept) {
            const std::string what = std::string(c.name) + ", keeping " + std::to_string(kept);
            for (const char* path : {"C:\\a", "C:\\t.new", "C:\\u"})
                DeleteFileA(path);
            WriteWholeFile("C:\\t", "old");
            if (c.stale != nullptr)
                WriteWholeFile("C:\\t.new", c.stale);
            if (c.function != nullptr)
                platform::test::CutPowerAfterFileCall(c.function, 1, kept);
            else
                platform::test::StartDiskCache();
            c.run();
            if (c.function == nullptr)
                platform::test::CutPowerNow(kept);
            size_t undurable = 0;
            EXPECT_TRUE(platform::test::RestorePower(&undurable)) << what;
            EXPECT_EQ(undurable, c.kept.size() - 1) << what;
            EXPECT_EQ(folder(), c.kept[kept]) << what;
        }
    }
}

TEST_F(StandInFilesTest, AnsiConversionReportsCharactersWithoutAForm) {
    platform::test::SetAnsiCodePage(1252);
    const WCHAR text[] = u"C:\\d\u00e9j\u00e0\u4e2d";
    struct Case {
        uint32_t highest;
        const char* expected;
        BOOL usedDefault;
    } cases[] = {
        {0x10FFFF, "C:\\d\xc3\xa9j\xc3\xa0\xe4\xb8\xad", FALSE},
        {0xFF, "C:\\d\xc3\xa9j\xc3\xa0?", TRUE},
        {0x7F, "C:\\d?j??", TRUE},
    };
    for (const Case& c : cases) {
        platform::test::SetAnsiCodePageHighest(c.highest);
        char narrow[32] = {};
        BOOL used = 2;
        int n = WideCharToMultiByte(CP_ACP, 0, text, -1, narrow, sizeof(narrow), nullptr, &used);
        EXPECT_EQ(n, static_cast<int>(std::strlen(c.expected)) + 1) << c.highest;
        EXPECT_STREQ(narrow, c.expected) << c.highest;
        EXPECT_EQ(used, c.usedDefault) << c.highest;
    }
    // UTF-8 has a form for everything, and the platform refuses a default for it.
    char narrow[32] = {};
    BOOL used = FALSE;
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow, sizeof(narrow), nullptr, &used), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

// Where the ANSI code page is UTF-8, CP_ACP converts under the UTF-8 rules: a
// best-fit flag or a default-character argument fails the call, as it does
// for CP_UTF8, and an unpaired surrogate becomes U+FFFD unless the one flag
// for UTF-8 alone asks for a failure; another code page has no form for it.
TEST_F(StandInFilesTest, Utf8AnsiCodePageKeepsTheUtf8Rules) {
    const WCHAR* text = u"d\u00e9j\u00e0";
    const char* converted = "d\xc3\xa9j\xc3\xa0";
    const WCHAR* unpaired = u"d\xD800j";
    const char fallback = '?';
    BOOL used = FALSE;
    struct Case {
        UINT ansiCodePage;
        UINT codePage;
        DWORD flags;
        const WCHAR* wide;
        const char* defaultChar;
        BOOL* usedDefault;
        const char* expected; // null: the call fails with `error`
        DWORD error;
        BOOL usedAfter;
    } cases[] = {
        {CP_UTF8, CP_ACP, 0, text, nullptr, nullptr, converted, 0, FALSE},
        {CP_UTF8, CP_ACP, WC_ERR_INVALID_CHARS, text, nullptr, nullptr, converted, 0, FALSE},
        {CP_UTF8, CP_ACP, WC_NO_BEST_FIT_CHARS, text, nullptr, nullptr, nullptr,
         ERROR_INVALID_FLAGS, FALSE},
        {CP_UTF8, CP_UTF8, WC_NO_BEST_FIT_CHARS, text, nullptr, nullptr, nullptr,
         ERROR_INVALID_FLAGS, FALSE},
        {CP_UTF8, CP_ACP, 0, text, nullptr, &used, nullptr, ERROR_INVALID_PARAMETER, FALSE},
        {CP_UTF8, CP_ACP, 0, text, &fallback, nullptr, nullptr, ERROR_INVALID_PARAMETER, FALSE},
        {CP_UTF8, CP_ACP, 0, unpaired, nullptr, nullptr, "d\xef\xbf\xbdj", 0, FALSE},
        {CP_UTF8, CP_ACP, WC_ERR_INVALID_CHARS, unpaired, nullptr, nullptr, nullptr,
         ERROR_NO_UNICODE_TRANSLATION, FALSE},
        {1252, CP_ACP, WC_NO_BEST_FIT_CHARS, text, &fallback, &used, converted, 0, FALSE},
        {1252, CP_ACP, WC_NO_BEST_FIT_CHARS, unpaired, nullptr, &used, "d?j", 0, TRUE},
        {1252, CP_ACP, WC_ERR_INVALID_CHARS, text, nullptr, nullptr, nullptr, ERROR_INVALID_FLAGS,
         FALSE},
        {1252, CP_UTF8, WC_NO_BEST_FIT_CHARS, text, nullptr, nullptr, nullptr, ERROR_INVALID_FLAGS,
         FALSE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "ACP " << c.ansiCodePage << ", code page "
                                          << c.codePage << ", flags " << c.flags);
        platform::test::SetAnsiCodePage(c.ansiCodePage);
        EXPECT_EQ(GetACP(), c.ansiCodePage);
        char narrow[32] = {};
        used = FALSE;
        SetLastError(0);
        int n = WideCharToMultiByte(c.codePage, c.flags, c.wide, -1, narrow, sizeof(narrow),
                                    c.defaultChar, c.usedDefault);
        if (c.expected != nullptr) {
            EXPECT_STREQ(narrow, c.expected);
            EXPECT_EQ(n, static_cast<int>(std::strlen(c.expected)) + 1);
        } else {
            EXPECT_EQ(n, 0);
            EXPECT_EQ(GetLastError(), c.error);
        }
        EXPECT_EQ(used, c.usedAfter);
    }
    // The way back takes no flag but the one that refuses ill-formed input either.
    WCHAR wide[16] = {};
    platform::test::SetAnsiCodePage(CP_UTF8);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, converted, -1, wide, 16), 5);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0x1 /* MB_PRECOMPOSED */, converted, -1, wide, 16), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
    platform::test::SetAnsiCodePage(1252);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0x1 /* MB_PRECOMPOSED */, converted, -1, wide, 16), 5);
}

// The platform measures a path in characters of its wide form and refuses one
// of MAX_PATH or more, which names no file; only a wide path with the "\\?\"
// prefix goes beyond.
TEST_F(StandInFilesTest, PathsOfMaxPathCharactersOrMoreAreRefused) {
    const std::string folder = "C:\\" + std::string(200, 'a');
    std::filesystem::create_directories(root.Native(folder));
    auto inFolder = [&](size_t length, char c) {
        return folder + "\\" + std::string(length - folder.size() - 1, c);
    };
    const std::string fits = inFolder(MAX_PATH - 1, 'f'), over = inFolder(MAX_PATH, 'o');
    const std::string longName = inFolder(300, 'l');
    auto wide = [](const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); };
    auto result = [](bool ok) { return ok ? ERROR_SUCCESS : GetLastError(); };
    auto createA = [&](const std::string& path) {
        HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        return result(h != INVALID_HANDLE_VALUE && CloseHandle(h));
    };
    auto createW = [&](const std::u16string& path) {
        HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        return result(h != INVALID_HANDLE_VALUE && CloseHandle(h));
    };
    auto attributesA = [&](const std::string& path) {
        return result(GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES);
    };
    auto attributesW = [&](const std::u16string& path) {
        WIN32_FILE_ATTRIBUTE_DATA data;
        return result(GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data));
    };
    // Characters, not bytes: each of these has two bytes in UTF-8, and the
    // emoji two UTF-16 units.
    auto twoByteCharacters = [](size_t characters) {
        std::string path = "C:\\";
        for (size_t i = 3; i < characters; ++i)
            path += i % 100 == 0 ? std::string("\\") : std::string("\xc3\xa9");
        return path;
    };
    std::u16string emoji = u"C:\\";
    for (int i = 0; i < 128; ++i)
        emoji += i % 50 == 49 ? std::u16string(u"\\x") : std::u16string(u"\U0001F600");
    emoji += u"x";
    struct Case {
        const char* name;
        DWORD actual;
        DWORD expected;
    } cases[] = {
        {"CreateFileA, 259", createA(fits), ERROR_SUCCESS},
        {"CreateFileA, 260", createA(over), ERROR_FILENAME_EXCED_RANGE},
        {"CreateFileW, 260", createW(wide(over)), ERROR_FILENAME_EXCED_RANGE},
        {"CreateFileW, 300 with the prefix", createW(u"\\\\?\\" + wide(longName)), ERROR_SUCCESS},
        {"CreateFileA, 300 with the prefix", createA("\\\\?\\" + longName),
         ERROR_FILENAME_EXCED_RANGE},
        {"GetFileAttributesA, 259", attributesA(fits), ERROR_SUCCESS},
        {"GetFileAttributesA, 260", attributesA(over), ERROR_FILENAME_EXCED_RANGE},
        {"GetFileAttributesExW, 260", attributesW(wide(over)), ERROR_FILENAME_EXCED_RANGE},
        {"SetFileAttributesW, 260",
         result(SetFileAttributesW(wide(over).c_str(), FILE_ATTRIBUTE_NORMAL)),
         ERROR_FILENAME_EXCED_RANGE},
        {"MoveFileExA, to 260", result(MoveFileExA(fits.c_str(), over.c_str(), 0)),
         ERROR_FILENAME_EXCED_RANGE},
        {"MoveFileExW, from 260", result(MoveFileExW(wide(over).c_str(), wide(fits).c_str(), 0)),
         ERROR_FILENAME_EXCED_RANGE},
        {"DeleteFileW, 260", result(DeleteFileW(wide(over).c_str())), ERROR_FILENAME_EXCED_RANGE},
        {"CreateDirectoryA, 260", result(CreateDirectoryA(over.c_str(), nullptr)),
         ERROR_FILENAME_EXCED_RANGE},
        {"RemoveDirectoryW, 260", result(RemoveDirectoryW(wide(over).c_str())),
         ERROR_FILENAME_EXCED_RANGE},
        {"259 two-byte characters", attributesA(twoByteCharacters(MAX_PATH - 1)),
         ERROR_PATH_NOT_FOUND},
        {"260 two-byte characters", attributesA(twoByteCharacters(MAX_PATH)),
         ERROR_FILENAME_EXCED_RANGE},
        {"128 emoji, 260 units", attributesW(emoji), ERROR_FILENAME_EXCED_RANGE},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.actual, c.expected) << c.name;
    // The C runtime and the streams go through the same mapping.
    EXPECT_EQ(_access(fits.c_str(), 0), 0);
    EXPECT_EQ(_access(over.c_str(), 0), -1);
    EXPECT_EQ(errno, ENOENT);
    FILE* stream = nullptr;
    EXPECT_EQ(fopen_s(&stream, over.c_str(), "wb"), ENOENT);
    EXPECT_EQ(platform::NativePath(over.c_str()), "");
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(root.Native(folder)))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{fits.substr(folder.size() + 1),
                                               longName.substr(folder.size() + 1)}));
}

} // namespace
