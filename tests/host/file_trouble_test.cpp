// What tolvimoc finds when it tries a file of the unit through the platform's file calls:
// each cause by itself, so that the advice it leads to can tell a permission, a full disk
// or a read-only volume from damage.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <optional>
#include "host/file_trouble.h"
#include "host/result_names.h"
#include "platform/test.h"
#include "support/plain_permissions.h"
#include "support/temp_root.h"
#include "support/within_time.h"

namespace {

using Kind = host::FileTrouble::Kind;

constexpr char kFile[] = "C:\\unit\\records.dat";
constexpr char kContent[] = "the bytes of a file that reads";

class FileTroubleTest : public ::testing::Test {
protected:
    void SetUp() override { platform::test::ResetAll(); }
    // The file as each case begins with it: there, and sound.
    void Fresh() {
        platform::test::ResetAll();
        const std::filesystem::path folder = std::filesystem::path(Native()).parent_path();
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(folder);
        std::ofstream(Native(), std::ios::binary) << kContent;
    }
    void TearDown() override { platform::test::ResetAll(); }
    std::string Native() const { return root.Native(kFile); }
    // The file's immutable mark, where the file system keeps one; false when it does not.
    bool SetImmutable(bool on) {
        const int fd = ::open(Native().c_str(), O_RDONLY | O_CLOEXEC);
        int flags = 0;
        bool set = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        set = set && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        if (fd >= 0)
            ::close(fd);
        return set;
    }

    moc_test::TempRoot root;
};

TEST_F(FileTroubleTest, EachCauseIsFoundByTryingTheFile) {
    enum class Attempt { Open, Read, Replace };
    const std::string longName = "C:\\unit\\" + std::string(MAX_PATH, 'n');
    const std::string backslashed = root.Folder() + "/a\\b/state";
    struct Case {
        const char* name;
        std::function<void()> arrange;
        Attempt attempt;
        std::string path;
        Kind kind;
        std::string words;                 // in the cause
        std::optional<size_t> needed = {}; // Replace: as many bytes as a failed save wrote
    } cases[] = {
        {"a sound file opens", [] {}, Attempt::Open, kFile, Kind::None, ""},
        {"a sound file reads", [] {}, Attempt::Read, kFile, Kind::None, ""},
        {"a sound file can be replaced", [] {}, Attempt::Replace, kFile, Kind::None, ""},
        {"no file is no trouble", [this] { std::filesystem::remove(Native()); }, Attempt::Open,
         kFile, Kind::None, ""},
        {"a folder",
         [this] {
             std::filesystem::remove(Native());
             std::filesystem::create_directory(Native());
         },
         Attempt::Read, kFile, Kind::NotAFile, "is a folder, not a file"},
        {"an open refused",
         [] { platform::test::FailNextFileCall("CreateFileA", ERROR_ACCESS_DENIED); },
         Attempt::Open, kFile, Kind::AccessDenied,
         "cannot be opened: ERROR_ACCESS_DENIED: access is denied"},
        {"a read refused",
         [] { platform::test::FailNextFileCall("CreateFileA", ERROR_ACCESS_DENIED); },
         Attempt::Read, kFile, Kind::AccessDenied,
         "cannot be read: ERROR_ACCESS_DENIED: access is denied"},
        {"a read that fails part-way",
         [] { platform::test::FailNextFileCall("ReadFile", ERROR_READ_FAULT); }, Attempt::Read,
         kFile, Kind::Failed,
         "cannot be read: ERROR_READ_FAULT: the system cannot read from the specified device"},
        {"a full disk at the write",
         [] { platform::test::FailNextFileCall("WriteFile", ERROR_DISK_FULL); }, Attempt::Replace,
         kFile, Kind::DiskFull,
         "cannot be written: the disk is full (ERROR_DISK_FULL: there is not enough space on the "
         "disk)"},
        // A nearly full disk: a write of the bytes the file holds still passes, one of the
        // bytes a save needs does not. Without them, the try writes one record block more.
        {"the bytes a failed save wrote, on a nearly full disk",
         [] {
             platform::test::SetWriteFileLimit(4096);
             platform::test::FailFileCallAt("WriteFile", 2, ERROR_DISK_FULL);
         },
         Attempt::Replace, kFile, Kind::DiskFull, "cannot be written: the disk is full", 4097},
        {"a save's bytes unknown, on a nearly full disk",
         [] {
             platform::test::SetWriteFileLimit(sizeof(kContent));
             platform::test::FailFileCallAt("WriteFile", 2, ERROR_DISK_FULL);
         },
         Attempt::Replace, kFile, Kind::DiskFull, "cannot be written: the disk is full"},
        {"a full disk at the flush",
         [] { platform::test::FailNextFileCall("FlushFileBuffers", ERROR_DISK_FULL); },
         Attempt::Replace, kFile, Kind::DiskFull, "the disk is full"},
        {"a read-only volume",
         // The writer makes its temporary file through the wide call.
         [] { platform::test::FailNextFileCall("CreateFileW", ERROR_WRITE_PROTECT); },
         Attempt::Replace, kFile, Kind::ReadOnlyVolume,
         "cannot be made: its volume is read-only (ERROR_WRITE_PROTECT: the media is write "
         "protected)"},
        // The writer's own temporary name is the writer's to clear, but not to empty.
        {"an empty folder at the temporary name",
         [this] { std::filesystem::create_directory(Native() + ".new"); }, Attempt::Replace, kFile,
         Kind::None, ""},
        {"a folder with a file in it at the temporary name",
         [this] {
             std::filesystem::create_directory(Native() + ".new");
             std::ofstream(Native() + ".new/x") << "x";
         },
         Attempt::Replace, kFile, Kind::FolderInTheWay,
         "cannot be replaced: a folder with something in it stands at the name of its temporary "
         "file, " +
             Native() + ".new (ERROR_DIR_NOT_EMPTY"},
        {"a file marked read-only",
         [this] {
             std::filesystem::permissions(Native(), std::filesystem::perms::owner_read |
                                                        std::filesystem::perms::group_read);
         },
         Attempt::Replace, kFile, Kind::ReadOnlyFile,
         "is marked read-only, so it cannot be replaced"},
        // Its volume is not mounted: the target is named, and the link left as it is.
        {"a link whose target is not there",
         [this] {
             std::filesystem::remove(Native());
             std::filesystem::create_symlink(root.Folder() + "/volume/records.dat", Native());
         },
         Attempt::Open, kFile, Kind::DanglingLink,
         "is a link to " + root.Folder() + "/volume/records.dat, which is not there"},
        {"a relative link whose target is not there",
         [this] {
             std::filesystem::remove(Native());
             std::filesystem::create_symlink("../moved/records.dat", Native());
         },
         Attempt::Read, kFile, Kind::DanglingLink,
         "is a link to " + root.Native("C:\\moved\\records.dat") + ", which is not there"},
        {"a name too long", [] {}, Attempt::Open, longName, Kind::NameTooLong,
         "cannot be named: its path is too long"},
        {"a root with a backslash", [] {}, Attempt::Read, backslashed, Kind::Unmappable,
         "the root " + root.Folder() + "/a\\b holds a backslash"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh();
        c.arrange();
        host::FileTrouble trouble;
        host::FileRead read;
        bool present = false;
        switch (c.attempt) {
        case Attempt::Open:
            trouble = host::OpenAsFile(c.path, &present);
            break;
        case Attempt::Read:
            read = host::ReadThroughPlatform(c.path);
            trouble = read.trouble;
            break;
        case Attempt::Replace:
            trouble = host::TryReplacing(c.path, c.needed);
            break;
        }
        EXPECT_EQ(trouble.kind, c.kind);
        const host::TroubleWords words = host::DescribeTrouble(trouble, root.Folder() + "/a\\b");
        EXPECT_NE(words.cause.find(c.words), std::string::npos) << words.cause;
        // Every cause but a name that is no file has its remedy here; none costs a template.
        EXPECT_EQ(words.remedy.empty(), c.kind == Kind::None || c.kind == Kind::NotAFile);
        EXPECT_EQ(words.remedy.find("reset"), std::string::npos);
        if (c.attempt == Attempt::Read && c.kind == Kind::None) {
            EXPECT_EQ(std::string(read.bytes.begin(), read.bytes.end()), std::string(kContent));
        }
        // The file is left as it is, and the try leaves nothing beside it.
        std::error_code ec;
        if (std::filesystem::is_regular_file(Native(), ec)) {
            EXPECT_EQ(platform::test::ReadWholeFile(kFile), kContent);
        }
        if (c.kind == Kind::FolderInTheWay) {
            EXPECT_TRUE(std::filesystem::exists(Native() + ".new/x"));
        } else {
            EXPECT_FALSE(std::filesystem::exists(Native() + ".new"));
        }
        EXPECT_FALSE(std::filesystem::exists(Native() + ".try"));
    }
}

// The try follows the writer past its writes: the move and the flush of the folder that
// records it, onto a name of the try's own, and the move over the file itself, which puts
// back the bytes it holds. A refusal of any of them is named, and costs no byte.
TEST_F(FileTroubleTest, TheMovesOfAReplacementAreTriedToo) {
    HANDLE held = INVALID_HANDLE_VALUE;
    const std::string folder = std::filesystem::path(Native()).parent_path().string();
    struct Case {
        const char* name;
        std::function<bool()> arrange; // false: the case cannot be made here
        std::function<void()> undo;
        bool withoutPermissionOverride;
        Kind kind;
        std::string words;
    } cases[] = {
        {"held open by another opener without delete sharing",
         [&] {
             held = CreateFileA(kFile, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
             return held != INVALID_HANDLE_VALUE;
         },
         [&] { CloseHandle(held); }, false, Kind::NotReplaceable,
         "is held open by another program that does not let it be replaced, so it cannot be "
         "replaced (ERROR_SHARING_VIOLATION"},
        {"a move over it refused",
         [] {
             // The writer's move over the file is the try's only wide one.
             platform::test::FailFileCallAt("MoveFileExW", 1, ERROR_ACCESS_DENIED);
             return true;
         },
         [] {}, false, Kind::NotReplaceable,
         "cannot be replaced: the platform refuses to move a file over it"},
        {"marked immutable", [this] { return SetImmutable(true); }, [this] { SetImmutable(false); },
         false, Kind::NotReplaceable, "the platform refuses to move a file over it"},
        // Write and search permission, no read: the rename passes, the flush does not.
        {"a folder that takes the rename but not its flush",
         [&] { return ::chmod(folder.c_str(), 0300) == 0; }, [&] { ::chmod(folder.c_str(), 0755); },
         true, Kind::AccessDenied,
         "cannot be replaced: its folder " + folder +
             " takes the move of its temporary file, but not its flush: ERROR_ACCESS_DENIED"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh();
        if (!c.arrange()) {
            std::cout << "skipped: " << c.name << " cannot be made here\n";
            continue;
        }
        const std::optional<std::string> tried = moc_test::ReturnedWithin([&] {
            if (c.withoutPermissionOverride && !moc_test::DropPermissionOverride())
                return std::string("cannot drop");
            const host::FileTrouble trouble = host::TryReplacing(kFile);
            return std::to_string(static_cast<int>(trouble.kind)) + "\n" +
                   host::DescribeTrouble(trouble, root.Folder()).cause;
        });
        c.undo();
        ASSERT_TRUE(tried.has_value());
        if (*tried == "cannot drop") {
            std::cout << "skipped: " << c.name << ": permissions do not hold here\n";
            continue;
        }
        EXPECT_EQ(tried->substr(0, tried->find('\n')), std::to_string(static_cast<int>(c.kind)));
        EXPECT_NE(tried->find(c.words), std::string::npos) << *tried;
        EXPECT_EQ(platform::test::ReadWholeFile(kFile), kContent);
        for (const char* left : {".new", ".try"})
            EXPECT_FALSE(std::filesystem::exists(Native() + left)) << left;
    }
}

// The try makes its temporary file as the library's writer does: a link planted at that
// name is removed, never written through to the file it points at.
TEST_F(FileTroubleTest, TheTryNeverWritesThroughALinkAtTheTemporaryName) {
    Fresh();
    const std::string outside = root.Folder() + "/outside";
    std::ofstream(outside, std::ios::binary) << "kept";
    std::filesystem::create_symlink(outside, Native() + ".new");
    EXPECT_FALSE(host::TryReplacing(kFile, 4096));
    std::ifstream in(outside, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "kept");
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(Native() + ".new")));
    EXPECT_EQ(platform::test::ReadWholeFile(kFile), kContent);
}

} // namespace
