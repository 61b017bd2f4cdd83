// Loading the private database file into the block lists and saving it back
// whole, with its header, counters and trailing bytes carried through.
#include <cstring>
#include <filesystem>
#include <functional>
#include <sys/stat.h>
#include "storage/database_file.h"
#include "storage/record_block.h"
#include "common/whole_file.h"
#include "storage_fixture.h"
#include "support/within_time.h"

namespace storage_test {
namespace {

class DatabaseFileTest : public StorageTest {
protected:
    void SetUp() override {
        StorageTest::SetUp();
        Attach();
        std::strcpy(Context().PrivateFilePath, kPrivateFile);
    }
    HRESULT Load(const char* path = kPrivateFile) {
        EmptyBlockLists(&Context());
        return LoadDatabaseFile(&Context(), path);
    }
    std::vector<uint8_t> Types() {
        std::vector<uint8_t> types;
        for (const BlockList* list :
             {&Context().PlainBlocks, &Context().OwnedBlocks, &Context().OtherBlocks})
            for (const Bytes& b : BlocksOf(*list))
                types.push_back(b[0]);
        return types;
    }
};

Bytes TypedBlock(uint8_t type, uint8_t mark) {
    BlockFields f;
    f.type = type;
    f.mark = mark;
    f.key = KeyBytes(mark);
    return Block(f);
}

// What a save must write for a loaded file: the header area (at least 29
// bytes) with this save's fields, the kept header bytes after them, the
// blocks regrouped plain, owned, other, and the trailing bytes.
TEST_F(DatabaseFileTest, LoadThenSaveKeepsHeaderCountersAndTrailingBytes) {
    const Bytes o1 = TypedBlock(0x11, 1), p = TypedBlock(0x10, 2), o2 = TypedBlock(0x11, 3),
                x = TypedBlock(0x12, 4);
    const Bytes extra = moc_test::Pattern(11, 0x31), trailing = moc_test::Pattern(37, 0x51);
    struct Case {
        const char* name;
        Bytes file;
        std::vector<uint8_t> types; // as loaded into plain, owned, other
        Bytes saved;
    } cases[] = {
        {"fresh", DatabaseFile({}), {}, DatabaseFile({})},
        {"regrouped by type",
         DatabaseFile({o1, p, o2, x}),
         {0x10, 0x11, 0x11, 0x12},
         DatabaseFile({p, o1, o2, x})},
        {"header of 40 and trailing bytes",
         DatabaseFile({o1, p}, 40, 3, extra, trailing),
         {0x10, 0x11},
         DatabaseFile({p, o1}, 40, 3, extra, trailing)},
        {"version ignored", DatabaseFile({p}, 29, 7), {0x10}, DatabaseFile({p})},
    };
    for (const Case& c : cases) {
        WriteFile(kPrivateFile, c.file);
        ASSERT_EQ(Load(), S_OK) << c.name;
        EXPECT_EQ(Types(), c.types) << c.name;
        ASSERT_EQ(SaveDatabaseFile(&Context()), S_OK) << c.name;
        EXPECT_EQ(moc_test::Hex(ReadFile(kPrivateFile)), moc_test::Hex(c.saved)) << c.name;
        EXPECT_TRUE(Context().KeptHeader.empty() && Context().KeptTrailing.empty()) << c.name;
    }
}

TEST_F(DatabaseFileTest, ShortHeaderLoadsFromItsOffsetAndSavesAFullHeader) {
    const Bytes p = TypedBlock(0x10, 9);
    Bytes file = Concat({{0x70, 0x80, 0x68, 0x66, 3}, Le16(1), Le16(10), {0xAB}, p});
    WriteFile(kPrivateFile, file);
    ASSERT_EQ(Load(), S_OK);
    EXPECT_EQ(BlocksOf(Context().PlainBlocks), std::vector<Bytes>{p});
    ASSERT_EQ(SaveDatabaseFile(&Context()), S_OK);
    Bytes header = Concat({{0x70, 0x80, 0x68, 0x66, 3}, Le16(1), Le16(29), {0xAB}});
    header.resize(29, 0);
    EXPECT_EQ(moc_test::Hex(ReadFile(kPrivateFile)), moc_test::Hex(Concat({header, p})));
}

// Files that yield no blocks are refused whole, and none of them adds to or
// changes the lists. A file that lacks its header has lost its records: taken
// for an empty database, it would cost every template they describe.
TEST_F(DatabaseFileTest, FilesThatLoadNothing) {
    const Bytes p = TypedBlock(0x10, 5);
    Bytes magic = {0x70, 0x80, 0x68, 0x66};
    Bytes cutBlock = DatabaseFile({p, p});
    cutBlock.resize(cutBlock.size() - 1);
    Bytes otherMagic = DatabaseFile({p});
    otherMagic[0] = 0x71;
    Bytes zeroedHeader = DatabaseFile({p});
    std::fill_n(zeroedHeader.begin(), 29, 0);
    struct Case {
        const char* name;
        Bytes file;
        HRESULT result;
        DWORD keptHeaderSize; // after the load; 0: as before
        bool present = true;
    } cases[] = {
        {"8 bytes", Concat({magic, {3, 1, 0, 29}}), WINBIO_E_DATABASE_CORRUPTED, 0},
        {"other magic", otherMagic, WINBIO_E_DATABASE_CORRUPTED, 0},
        {"zeroed header", zeroedHeader, WINBIO_E_DATABASE_CORRUPTED, 0},
        {"emptied", {}, WINBIO_E_DATABASE_CORRUPTED, 0},
        {"header past the end", Concat({magic, {3}, Le16(0), Le16(200), Bytes(20, 0)}),
         WINBIO_E_DATABASE_CORRUPTED, 29},
        {"blocks past the end", cutBlock, WINBIO_E_DATABASE_CORRUPTED, 29},
        {"count past the blocks", DatabaseFile({p}, 29, 3, {}, {}, 0x0100),
         WINBIO_E_DATABASE_CORRUPTED, 29},
        {"no file", {}, WINBIO_E_DATABASE_CORRUPTED, 0, false},
    };
    const Bytes sentinel = TypedBlock(0x10, 0xEE);
    for (const Case& c : cases) {
        DeleteFileA(kPrivateFile);
        if (c.present)
            WriteFile(kPrivateFile, c.file);
        Context().KeptHeaderSize = 1234;
        Context().PlainBlocks = sentinel;
        EXPECT_EQ(LoadDatabaseFile(&Context(), kPrivateFile), c.result) << c.name;
        EXPECT_EQ(BlocksOf(Context().PlainBlocks), std::vector<Bytes>{sentinel}) << c.name;
        EXPECT_TRUE(Context().OwnedBlocks.empty() && Context().OtherBlocks.empty()) << c.name;
        EXPECT_EQ(Context().KeptHeaderSize, c.keptHeaderSize ? c.keptHeaderSize : 1234u) << c.name;
        if (c.present) {
            EXPECT_EQ(ReadFile(kPrivateFile), c.file) << c.name;
        }
    }
}

// A read that comes back short is a corrupted file, never a shorter one.
TEST_F(DatabaseFileTest, FailedReadsRefuseTheFile) {
    WriteFile(kPrivateFile, DatabaseFile({TypedBlock(0x10, 1)}));
    for (const char* call : {"ReadFile", "GetFileSizeEx", "CreateFileA"}) {
        platform::test::FailNextFileCall(call, ERROR_READ_FAULT);
        EXPECT_EQ(Load(), WINBIO_E_DATABASE_CORRUPTED) << call;
        EXPECT_TRUE(Context().PlainBlocks.empty()) << call;
    }
    EXPECT_EQ(Load(), S_OK);
    EXPECT_EQ(BlockCount(Context().PlainBlocks), 1u);
    // A file far beyond what the header can describe is not read at all (sparse here).
    std::filesystem::resize_file(root.Native(kPrivateFile), kMaxWholeFileBytes + 1);
    const int reads = platform::test::FileCallCount("ReadFile");
    EXPECT_EQ(Load(), WINBIO_E_DATABASE_CORRUPTED);
    EXPECT_EQ(platform::test::FileCallCount("ReadFile"), reads);
}

// A save with no header kept (none loaded, or the load refused the file)
// writes a fresh one.
TEST_F(DatabaseFileTest, SaveWithNothingKeptWritesAFreshHeader) {
    WriteFile(kPrivateFile, Bytes(8, 0x70));
    Context().KeptHeaderSize = 0;
    ASSERT_EQ(Load(), WINBIO_E_DATABASE_CORRUPTED);
    ASSERT_EQ(SaveDatabaseFile(&Context()), S_OK);
    EXPECT_EQ(ReadFile(kPrivateFile), FreshHeader());
}

// The save goes through a temporary file: whichever step fails, the old file
// is untouched, no temporary file stays and the failure is reported.
TEST_F(DatabaseFileTest, FailedSaveLeavesTheOldFile) {
    const Bytes old = DatabaseFile({TypedBlock(0x10, 1), TypedBlock(0x11, 2)});
    struct Case {
        const char* call;
        int n;
    } cases[] = {
        {"CreateFileW", 1}, {"WriteFile", 1},   {"FlushFileBuffers", 1},
        {"CloseHandle", 1}, {"MoveFileExW", 1},
    };
    for (const Case& c : cases) {
        WriteFile(kPrivateFile, old);
        ASSERT_EQ(Load(), S_OK);
        Context().PlainBlocks.clear();
        platform::test::FailFileCallAt(c.call, c.n, ERROR_DISK_FULL);
        EXPECT_EQ(SaveDatabaseFile(&Context()), WINBIO_E_DATABASE_CORRUPTED) << c.call;
        EXPECT_EQ(ReadFile(kPrivateFile), old) << c.call;
        EXPECT_FALSE(Exists((std::string(kPrivateFile) + ".new").c_str())) << c.call;
        EXPECT_TRUE(Context().KeptHeader.empty()) << c.call;
        platform::test::FailFileCallAt(c.call, c.n, 0);
    }
    // A read-only file cannot be replaced either.
    ASSERT_TRUE(SetFileAttributesA(kPrivateFile, FILE_ATTRIBUTE_READONLY));
    ASSERT_EQ(Load(), S_OK);
    EXPECT_EQ(SaveDatabaseFile(&Context()), WINBIO_E_DATABASE_CORRUPTED);
    EXPECT_EQ(ReadFile(kPrivateFile), old);
}

// The save writes only a file that it made itself: whatever stands at the
// temporary name goes first, and a name it cannot remove fails the save with
// the old file intact. A link planted there, or at the file's own name, never
// steers the bytes into its target (the chip's state file, say), and the file
// is a file of its own afterwards.
TEST_F(DatabaseFileTest, SaveWritesNoFileButOneItMade) {
    namespace fs = std::filesystem;
    const Bytes old = DatabaseFile({TypedBlock(0x10, 1), TypedBlock(0x11, 2)});
    const Bytes saved = DatabaseFile({TypedBlock(0x11, 2)});
    const std::string file = root.Native(kPrivateFile), temporary = file + ".new";
    const std::string outside = root.Folder() + "/simulated-chip.state";
    const std::string elsewhere = root.Folder() + "/elsewhere.DAT";
    const std::string gone = root.Folder() + "/gone";
    struct Case {
        const char* name;
        std::function<void()> plant;
        bool saves;
    } cases[] = {
        {"a link to a file outside at the temporary name",
         [&] { fs::create_symlink(outside, temporary); }, true},
        {"a link to nothing at the temporary name", [&] { fs::create_symlink(gone, temporary); },
         true},
        {"a FIFO at the temporary name", [&] { ASSERT_EQ(mkfifo(temporary.c_str(), 0600), 0); },
         true},
        {"a file left at the temporary name",
         [&] { WriteFile((std::string(kPrivateFile) + ".new").c_str(), Bytes(3, 0x55)); }, true},
        // What stands at the writer's own temporary name is the writer's to clear.
        {"a read-only file left at the temporary name",
         [&] {
             WriteFile((std::string(kPrivateFile) + ".new").c_str(), Bytes(3, 0x55));
             fs::permissions(temporary, fs::perms::owner_read);
         },
         true},
        {"an empty folder at the temporary name", [&] { fs::create_directory(temporary); }, true},
        {"a link at the temporary name to a read-only file",
         [&] {
             fs::create_symlink(outside, temporary);
             fs::permissions(outside, fs::perms::owner_read);
         },
         true},
        // Not the writer's to empty: the save fails, and the folder keeps what it holds.
        {"a folder with a file in it at the temporary name",
         [&] {
             fs::create_directory(temporary);
             platform::test::WriteWholeFile((std::string(kPrivateFile) + ".new\\x").c_str(), "x");
         },
         false},
        {"the file itself a link to a file outside",
         [&] {
             platform::test::WriteWholeFile(elsewhere.c_str(), Str(old));
             fs::remove(file);
             fs::create_symlink(elsewhere, file);
         },
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(temporary);
        fs::remove(file);
        fs::remove(elsewhere);
        fs::remove(gone);
        fs::remove(outside);
        WriteFile(kPrivateFile, old);
        platform::test::WriteWholeFile(outside.c_str(), "chip state");
        c.plant();
        const fs::perms outsideMode = fs::status(outside).permissions();
        ASSERT_EQ(Load(), S_OK);
        Context().PlainBlocks.clear();
        const auto result =
            moc_test::ReturnedWithin([&] { return std::to_string(SaveDatabaseFile(&Context())); });
        ASSERT_TRUE(result.has_value()) << "the save waited";
        EXPECT_EQ(*result, std::to_string(c.saves ? S_OK : WINBIO_E_DATABASE_CORRUPTED));
        EXPECT_EQ(platform::test::ReadWholeFile(outside.c_str()), "chip state");
        EXPECT_EQ(fs::status(outside).permissions(), outsideMode);
        EXPECT_FALSE(fs::exists(fs::symlink_status(gone)));
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(file)));
        EXPECT_EQ(ReadFile(kPrivateFile), c.saves ? saved : old);
        if (c.saves) {
            EXPECT_FALSE(fs::exists(fs::symlink_status(temporary)));
        } else {
            EXPECT_EQ(
                platform::test::ReadWholeFile((std::string(kPrivateFile) + ".new\\x").c_str()),
                "x");
        }
        if (fs::exists(elsewhere)) {
            EXPECT_EQ(platform::test::ReadWholeFile(elsewhere.c_str()), Str(old));
        }
    }
}

// A whole read takes a file that ends where it was measured, or nothing: a
// name that is no file is refused at once, and so is a file that goes on past
// the length measured (one written meanwhile, or one with no end by its
// length, as a process's status file has).
TEST_F(DatabaseFileTest, WholeReadsTakeOnlyAFileThatEndsWhereItWasMeasured) {
    namespace fs = std::filesystem;
    const std::string file = root.Native(kPrivateFile);
    const std::string elsewhere = root.Folder() + "/elsewhere.DAT";
    platform::test::WriteWholeFile(elsewhere.c_str(), "abc");
    struct Case {
        const char* name;
        std::function<void()> plant;
        HRESULT result;
        bool unreadable;
    } cases[] = {
        {"a file", [&] { WriteFile(kPrivateFile, FromStr("abc")); }, S_OK, false},
        {"a link to a file", [&] { fs::create_symlink(elsewhere, file); }, S_OK, false},
        {"a link to a status file", [&] { fs::create_symlink("/proc/self/status", file); },
         WINBIO_E_DATABASE_CORRUPTED, true},
        {"a link to /dev/zero", [&] { fs::create_symlink("/dev/zero", file); },
         WINBIO_E_DATABASE_CORRUPTED, true},
        {"a FIFO without a writer", [&] { ASSERT_EQ(mkfifo(file.c_str(), 0600), 0); },
         WINBIO_E_DATABASE_CORRUPTED, true},
        {"a folder", [&] { fs::create_directory(file); }, WINBIO_E_DATABASE_CORRUPTED, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(file);
        c.plant();
        const auto seen = moc_test::ReturnedWithin([&] {
            std::vector<BYTE> bytes;
            bool unreadable = false;
            const HRESULT hr = LoadWholeFile(kPrivateFile, &bytes, &unreadable);
            return std::to_string(hr) + " " + std::to_string(unreadable) + " " +
                   std::string(bytes.begin(), bytes.end());
        });
        ASSERT_TRUE(seen.has_value()) << "the read waited";
        EXPECT_EQ(*seen, std::to_string(c.result) + " " + std::to_string(c.unreadable) + " " +
                             (c.result == S_OK ? "abc" : ""));
    }
}

TEST_F(DatabaseFileTest, ShortWritesAreCarriedOn) {
    WriteFile(kPrivateFile, DatabaseFile({TypedBlock(0x10, 1), TypedBlock(0x11, 2)}));
    ASSERT_EQ(Load(), S_OK);
    platform::test::SetWriteFileLimit(100);
    EXPECT_EQ(SaveDatabaseFile(&Context()), S_OK);
    EXPECT_EQ(ReadFile(kPrivateFile), DatabaseFile({TypedBlock(0x10, 1), TypedBlock(0x11, 2)}));
}

} // namespace
} // namespace storage_test
