// What tolvimoc finds when it tries a file of the unit through the platform's file calls:
// each cause by itself, so that the advice it leads to can tell a permission, a full disk
// or a read-only volume from damage.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include "host/file_trouble.h"
#include "host/result_names.h"
#include "platform/test.h"
#include "support/temp_root.h"

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
        std::string words; // in the cause
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
            trouble = host::TryReplacing(c.path, sizeof(kContent));
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
