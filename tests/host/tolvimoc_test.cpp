// tolvimoc as people run it: one process per command on one root, so that what a run
// leaves on disk (the chip's state, the database files) is all the next one has.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <regex>
#include <sstream>
#include <vector>
#include "host/commands.h"
#include "device/driver_interface.h"
#include "host/identities.h"
#include "host/result_names.h"
#include "platform/test.h"
#include "simsensor/root_lock.h"
#include "simsensor/simulated_sensor.h"
#include "support/plain_permissions.h"
#include "support/temp_root.h"

extern char** environ;

namespace {

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> LinesWith(const std::string& text, const std::string& part) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.find(part) != std::string::npos)
            lines.push_back(line);
    return lines;
}

// What a run said of what its start removed.
std::vector<std::string> RemovalLines(const std::string& text) {
    std::vector<std::string> lines;
    for (const std::string& line : LinesWith(text, "open: "))
        if (line.rfind("open: ", 0) == 0)
            lines.push_back(line);
    return lines;
}

// The output of a run that goes on beside the test, read through a pipe.
std::string Drain(int fd) {
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof(buffer))) > 0;)
        text.append(buffer, static_cast<size_t>(n));
    ::close(fd);
    return text;
}

int ExitStatus(pid_t pid) {
    int raw = 0;
    return ::waitpid(pid, &raw, 0) == pid && WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

// Starts a run beside the test with its stdout and stderr on `out` and, when `tmpdir` is
// given, TMPDIR set to it. Without the sanitizers' shadow memory to allow for, the run's
// address space is bounded, so that a read without end fails at once instead of filling
// the machine.
pid_t Launch(const std::vector<std::string>& args, int out, const std::string& tmpdir = "") {
    std::vector<std::string> words = {MOC_TOLVIMOC};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<std::string> environment;
    for (char** e = environ; *e != nullptr; ++e)
        if (tmpdir.empty() || std::strncmp(*e, "TMPDIR=", 7) != 0)
            environment.push_back(*e);
    if (!tmpdir.empty())
        environment.push_back("TMPDIR=" + tmpdir);
    std::vector<char*> argv, envp;
    for (std::string& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    for (std::string& e : environment)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
        const rlimit limit{1ull << 30, 1ull << 30};
        ::setrlimit(RLIMIT_AS, &limit);
#endif
        ::dup2(out, STDOUT_FILENO);
        ::dup2(out, STDERR_FILENO);
        ::execve(MOC_TOLVIMOC, argv.data(), envp.data());
        ::_exit(127);
    }
    return pid;
}

// The exit status of a run, or -1 with `*hung` when it has not ended by `deadline` (it is
// then killed).
int AwaitExit(pid_t pid, std::chrono::steady_clock::time_point deadline, bool* hung) {
    *hung = false;
    for (;;) {
        int raw = 0;
        const pid_t done = ::waitpid(pid, &raw, WNOHANG);
        if (done == pid)
            return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        if (done < 0)
            return -1;
        if (std::chrono::steady_clock::now() >= deadline) {
            *hung = true;
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &raw, 0);
            return -1;
        }
        ::usleep(20000);
    }
}

// Links a case makes to a device go before the test's folder does: its removal would make
// the devices themselves writable for their owner.
struct RemovedFirst {
    std::vector<std::string> paths;
    ~RemovedFirst() {
        for (const std::string& p : paths)
            ::unlink(p.c_str());
    }
};

// Words a person must never be given for a cause that costs no template.
void ExpectNoAdviceThatCostsTemplates(const std::string& text) {
    EXPECT_EQ(text.find("reset'"), std::string::npos) << text;
    EXPECT_EQ(text.find("away starts a fresh chip"), std::string::npos) << text;
    // Win32 errors are named, never numbered.
    EXPECT_FALSE(std::regex_search(text, std::regex("error [0-9]"))) << text;
}

class TolvimocTest : public ::testing::Test {
protected:
    // Starts a run beside the test with its stdout and stderr into a pipe of `pipeSize`
    // bytes, whose read end is handed out.
    pid_t Start(const std::vector<std::string>& args, int pipeSize, int* out) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0 || ::fcntl(fds[1], F_SETPIPE_SZ, pipeSize) != pipeSize)
            return -1;
        std::vector<std::string> words = {MOC_TOLVIMOC};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& w : words)
            argv.push_back(w.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
        pid_t pid = -1;
        if (posix_spawn(&pid, MOC_TOLVIMOC, &actions, nullptr, argv.data(), environ) != 0)
            pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        *out = fds[0];
        return pid;
    }
    RunResult Tolvimoc(const std::vector<std::string>& args) {
        std::string command = "'" MOC_TOLVIMOC "'";
        for (const std::string& a : args)
            command += " '" + a + "'";
        const std::string out = folder.Folder() + "/out.txt", err = folder.Folder() + "/err.txt";
        command += " >'" + out + "' 2>'" + err + "'";
        RunResult run;
        const int raw = std::system(command.c_str());
        run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        run.out = ReadText(out);
        run.err = ReadText(err);
        return run;
    }
    RunResult On(std::vector<std::string> args) {
        args.insert(args.begin(), {"--root", root});
        return Tolvimoc(args);
    }
    std::string RecordFile() const { return root + kDatabaseFolder + kRecordFileName; }
    // A run on the root in a child that `prepare` readies before it becomes tolvimoc, its
    // stdout and stderr together in both texts; nothing when `prepare` cannot (the case
    // cannot be made here).
    std::optional<RunResult> OnPrepared(std::vector<std::string> args,
                                        const std::function<bool()>& prepare) {
        args.insert(args.begin(), {MOC_TOLVIMOC, "--root", root});
        const std::string log = folder.Folder() + "/prepared.log";
        const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (out < 0)
            return std::nullopt;
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        constexpr int kNotPrepared = 126;
        const pid_t pid = ::fork();
        if (pid == 0) {
            if (!prepare())
                ::_exit(kNotPrepared);
            ::dup2(out, STDOUT_FILENO);
            ::dup2(out, STDERR_FILENO);
            ::execv(MOC_TOLVIMOC, argv.data());
            ::_exit(127);
        }
        ::close(out);
        RunResult run;
        run.status = ExitStatus(pid);
        if (run.status == kNotPrepared)
            return std::nullopt;
        run.out = run.err = ReadText(log);
        return run;
    }

    static constexpr char kDatabaseFolder[] = "/C/Windows/System32/WinBioDatabase/";
    static constexpr char kRecordFileName[] = "0A0A09AC-31A1-4880-9AC8-B1FF3C9E94EB.DAT";

    moc_test::TempRoot folder;
    std::string root = folder.Folder() + "/winroot";
};

TEST_F(TolvimocTest, UsageErrorsExitWithTwo) {
    const std::vector<std::vector<std::string>> cases = {
        {"bogus"},
        {"--bogus", "list"},
        {"--root", root, "enroll", "--finger", "0"},
        {"--root", root, "enroll", "--finger", "11"},
        {"--root", root, "identify", "--finger", "two"},
        {"--root", root, "enroll", "--finger"},
        {"--root", root, "list", "--finger", "2"},
        {"--root", root, "enroll", "--all"},
        {"--root", root, "delete", "--all", "--finger", "3"},
        {"--root", root, "list", "extra"},
        {"--root"},
        {"--root", root, "demo"},
        // Deleting takes no default finger.
        {"--root", root, "delete"},
        // Which of two values was meant cannot be told.
        {"--root", root, "enroll", "--finger", "3", "--finger", "4"},
        {"--root", root, "--root", root + "2", "list"},
        {"--root", root, "--trace", "--trace", "list"},
        {"--root", root, "delete", "--all", "--all"},
        {"--root", root, "identify", "--finger", " 3"},
        {"--root", root, "identify", "--finger", "3 "},
        {"--root", root, "identify", "--finger", "+3"},
        {"--root", root, "reset", "--finger", "2"},
        {"--root", root, "reset", "--all"},
        {"--root", root, "reset", "list"},
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(::testing::PrintToString(args));
        RunResult run = Tolvimoc(args);
        EXPECT_EQ(run.status, host::kExitUsage);
        EXPECT_EQ(LinesWith(run.err, "tolvimoc: ").size(), 1u) << run.err;
    }
    EXPECT_FALSE(std::filesystem::exists(root));
}

// A command line that is right on a root that cannot be used is a failed run.
TEST_F(TolvimocTest, ARootThatCannotBeUsedIsAFailure) {
    std::ofstream(folder.Folder() + "/a-file") << "x";
    const std::vector<std::string> roots = {
        "/dev/null/winroot",
        folder.Folder() + "/a-file",
        folder.Folder() + "/" + std::string(300, 'n'),
    };
    for (const std::string& unusable : roots) {
        SCOPED_TRACE(unusable.substr(0, 80));
        RunResult run = Tolvimoc({"--root", unusable, "list"});
        EXPECT_EQ(run.status, host::kExitFailure);
        EXPECT_EQ(LinesWith(run.err, "tolvimoc: cannot write to the root ").size(), 1u) << run.err;
    }
}

// help, --help and -h print the same text, which lists help among the commands, and exit
// with 0, as the text says.
TEST_F(TolvimocTest, HelpListsTheCommands) {
    RunResult run = Tolvimoc({"--help"});
    EXPECT_EQ(run.status, host::kExitSuccess);
    std::istringstream help(run.out);
    std::vector<std::string> described;
    for (std::string line; std::getline(help, line);)
        if (line.rfind("  ", 0) == 0 && line.size() > 2 && line[2] != ' ' && line[2] != '-')
            described.push_back(line.substr(2, line.find(' ', 2) - 2));
    EXPECT_EQ(described, (std::vector<std::string>{"demo", "enroll", "identify", "verify", "list",
                                                   "delete", "stats", "reset", "help"}));
    EXPECT_NE(run.out.find("S_OK (help among them)"), std::string::npos) << run.out;
    for (const char* word : {"help", "-h"}) {
        SCOPED_TRACE(word);
        RunResult other = Tolvimoc({word});
        EXPECT_EQ(other.status, host::kExitSuccess);
        EXPECT_EQ(other.out, run.out);
    }
}

TEST_F(TolvimocTest, AnEnrollmentIsMatchedByTheNextRun) {
    RunResult enrolled = On({"enroll", "--finger", "3"});
    ASSERT_EQ(enrolled.status, host::kExitSuccess) << enrolled.out << enrolled.err;
    EXPECT_EQ(LinesWith(enrolled.out, " accepted").size(), 4u);

    const std::string user = host::IdentityText(host::SignedInUser());
    RunResult listed = On({"list"});
    ASSERT_EQ(listed.status, host::kExitSuccess) << listed.err;
    EXPECT_EQ(LinesWith(listed.out, "chip: state loaded").size(), 1u);
    const std::vector<std::string> record = LinesWith(listed.out, user + ", finger 3");
    ASSERT_EQ(record.size(), 1u) << listed.out;
    EXPECT_NE(record[0].find("chip slot 0"), std::string::npos);

    RunResult identified = On({"identify", "--finger", "3"});
    EXPECT_EQ(identified.status, host::kExitSuccess) << identified.out;
    EXPECT_EQ(LinesWith(identified.out, "identified " + user + ", finger 3").size(), 1u);
    RunResult other = On({"identify", "--finger", "4"});
    EXPECT_EQ(other.status, host::kExitFailure);
    EXPECT_EQ(LinesWith(other.out, "WINBIO_E_UNKNOWN_ID (0x80098003)").size(), 1u);
    RunResult verified = On({"verify", "--finger", "3"});
    EXPECT_EQ(verified.status, host::kExitSuccess) << verified.out;

    RunResult again = On({"list"});
    EXPECT_EQ(LinesWith(again.out, user + ", finger 3"), record);
    RunResult stats = On({"stats"});
    EXPECT_EQ(LinesWith(stats.out, "identifications     2").size(), 1u) << stats.out;

    RunResult deleted = On({"delete", "--finger", "3"});
    EXPECT_EQ(deleted.status, host::kExitSuccess) << deleted.out;
    EXPECT_EQ(On({"identify", "--finger", "3"}).status, host::kExitFailure);
    EXPECT_EQ(On({"delete", "--finger", "3"}).status, host::kExitFailure);
}

TEST_F(TolvimocTest, AChipStateThatCannotBeTrustedIsRefusedAndLeftAsItIs) {
    ASSERT_EQ(On({"enroll"}).status, host::kExitSuccess);
    const std::string state = host::ChipStatePath(root);
    std::string text = ReadText(state);
    ASSERT_FALSE(text.empty());
    text[text.find("slot 01") + 12] ^= 1;
    std::ofstream(state, std::ios::binary | std::ios::trunc) << text;

    RunResult run = On({"identify"});
    EXPECT_EQ(run.status, host::kExitFailure);
    EXPECT_EQ(LinesWith(run.err, "tolvimoc: the chip's state cannot be used").size(), 1u)
        << run.err;
    EXPECT_EQ(LinesWith(run.err, "away starts a fresh chip").size(), 1u) << run.err;
    EXPECT_EQ(ReadText(state), text);
}

// A record file damaged after it was written has lost records, not held none: a header
// that is gone is refused; a record whose fixed fields are impossible or a block behind the
// blocks the header counts, in the file or in an older one, and a damaged older file keep the
// open from reconciling, and the run says so and where. Either way every template stays on
// the chip, and matches again once the file is mended. Bytes behind the blocks that cannot be
// a block hold nothing back.
TEST_F(TolvimocTest, ADamagedRecordFileLeavesTheChipsTemplates) {
    const std::string file = RecordFile();
    const std::string older = root + kDatabaseFolder + "90508806-8172-4C04-B03F-DCB28DBEA104.DAT";
    const std::string olderBlocks =
        root + kDatabaseFolder + "6854BC36-3957-4783-880B-563B476816E4.DAT";
    const char* kept = ": the open reconciled nothing, and nothing was deleted for ";
    const auto editChip = [&](const std::function<void(simsensor::SimulatedSensor&)>& edit) {
        simsensor::SimulatedSensor chip;
        std::string why;
        ASSERT_EQ(chip.LoadState(host::ChipStatePath(root), &why),
                  simsensor::SimulatedSensor::StateLoad::Loaded)
            << why;
        edit(chip);
        ASSERT_TRUE(chip.KeepStateIn(host::ChipStatePath(root), &why)) << why;
    };
    // An older file is looked for on a chip whose database is older than the library's.
    const auto olderChip = [&] {
        editChip([](auto& chip) { chip.SetDatabaseVersion(MOC_CHIP_DATABASE_VERSION - 1); });
    };
    // The record file's bytes, changed, as an older file of the unit.
    const auto writeOlder = [&](const std::string& path,
                                const std::function<std::string(std::string)>& change) {
        std::ofstream(path, std::ios::binary) << change(ReadText(file));
        olderChip();
    };
    struct Case {
        const char* name;
        std::function<void(std::string&)> damage; // of the record file's bytes
        std::function<void()> beside;             // whatever else the case changes
        int listStatus;
        size_t listed;
        std::vector<std::string> notices; // the "open: " lines
    } cases[] = {
        {"zeroed header",
         [](std::string& f) { std::fill(f.begin(), f.begin() + 29, '\0'); },
         [] {},
         host::kExitFailure,
         0,
         {}},
        {"flipped valid byte",
         [](std::string& f) { f[29 + 19] = static_cast<char>(~f[29 + 19]); },
         [] {},
         host::kExitSuccess,
         1,
         {"open: 1 damaged record of this host in " + file + " (block 1 at byte 29)" + kept +
          "it; a good copy of the file put back mends it"}},
        // A block behind those counted, as a count lowered by hand leaves it.
        {"a block behind the blocks",
         [](std::string& f) { f += f.substr(29, 1024); },
         [] {},
         host::kExitSuccess,
         2,
         {"open: " + file + " holds 1024 bytes behind the blocks its header counts" + kept +
          "them; a good copy of the file put back mends it"}},
        // Bytes that cannot be a block are the file's own: the open reconciles and keeps them.
        {"bytes behind the blocks that are no block",
         [](std::string& f) { f += "tail!"; },
         [&] {
             editChip([](auto& chip) {
                 IdentityKey key{};
                 key.Bytes[0] = 0x42;
                 chip.Enroll(5, key, 7, 7);
             });
         },
         host::kExitSuccess,
         2,
         {"open: deleted 1 chip template that no record described: slot 5 with finger 7 (left "
          "index finger)"}},
        {"damaged older record file",
         [](std::string&) {},
         [&] {
             // The counted layout, with a count of more records than the file holds.
             std::ofstream(older, std::ios::binary)
                 << std::string("\x05\x00", 2) << std::string(157, '\0');
             olderChip();
         },
         host::kExitSuccess,
         2,
         {"open: the older file " + older + " is damaged or cannot be read" + kept +
          "it; a good copy of it put back mends it"}},
        // The plain layout: the first block's record, its identity kind one the layout lacks.
        {"a damaged record of this host in the older record file",
         [](std::string&) {},
         [&] {
             writeOlder(older, [](std::string f) {
                 f.replace(29 + 20, 1, "\x09");
                 return f.substr(29 + 19, 124);
             });
         },
         host::kExitSuccess,
         2,
         {"open: 1 damaged record of this host in the older file " + older + kept +
          "it; a good copy of the file put back mends it"}},
        {"a damaged record of this host in the older block file",
         [](std::string&) {},
         [&] {
             writeOlder(olderBlocks, [](std::string f) {
                 f.replace(29 + 1024 + 19, 1, "\x02");
                 return f;
             });
         },
         host::kExitSuccess,
         2,
         {"open: 1 damaged record of this host in the older file " + olderBlocks +
          " (block 2 at byte 1053)" + kept + "it; a good copy of the file put back mends it"}},
        {"a block behind the blocks of the older block file",
         [](std::string&) {},
         [&] { writeOlder(olderBlocks, [](std::string f) { return f + f.substr(29, 1024); }); },
         host::kExitSuccess,
         2,
         {"open: the older file " + olderBlocks +
          " holds 1024 bytes behind the blocks its header counts" + kept +
          "them; a good copy of the file put back mends it"}},
    };
    const std::string user = host::IdentityText(host::SignedInUser());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(root);
        ASSERT_EQ(On({"enroll", "--finger", "3"}).status, host::kExitSuccess);
        ASSERT_EQ(On({"enroll", "--finger", "4"}).status, host::kExitSuccess);
        const std::string good = ReadText(file);
        std::string damaged = good;
        c.damage(damaged);
        std::ofstream(file, std::ios::binary | std::ios::trunc) << damaged;
        c.beside();

        RunResult listed = On({"list"});
        EXPECT_EQ(listed.status, c.listStatus) << listed.out << listed.err;
        EXPECT_EQ(LinesWith(listed.out, user + ", finger ").size(), c.listed) << listed.out;
        EXPECT_EQ(RemovalLines(listed.out), c.notices) << listed.out;
        if (c.listStatus == host::kExitFailure) {
            EXPECT_EQ(LinesWith(listed.err, "WINBIO_E_DATABASE_CORRUPTED").size(), 1u);
            EXPECT_EQ(LinesWith(listed.err, "tolvimoc: the record file is damaged: ").size(), 1u)
                << listed.err;
            EXPECT_EQ(LinesWith(listed.err, "reset' to start the database").size(), 1u);
        }
        EXPECT_EQ(ReadText(file), damaged);

        std::ofstream(file, std::ios::binary | std::ios::trunc) << good;
        for (const char* finger : {"3", "4"})
            EXPECT_EQ(On({"identify", "--finger", finger}).status, host::kExitSuccess) << finger;
        EXPECT_EQ(LinesWith(On({"list"}).out, user + ", finger ").size(), 2u);
    }
}

// An older file that is damaged holds the start back while the chip holds templates of this
// host that it may describe: the run names it, what is wrong with it and both ways on. A
// reset, which erases those templates, then completes past it, and says the database was
// built without it.
TEST_F(TolvimocTest, ADamagedOlderFileHoldsTheStartBackUntilAReset) {
    ASSERT_EQ(On({"enroll", "--finger", "3"}).status, host::kExitSuccess);
    const std::string older = root + kDatabaseFolder + "90508806-8172-4C04-B03F-DCB28DBEA104.DAT";
    // The counted layout, with a count of more records than the file holds.
    const std::string damaged = std::string("\x05\x00", 2) + std::string(157, '\0');
    std::ofstream(older, std::ios::binary) << damaged;
    std::filesystem::remove(RecordFile());
    const std::string chip = ReadText(host::ChipStatePath(root));

    RunResult listed = On({"list"});
    EXPECT_EQ(listed.status, host::kExitFailure);
    EXPECT_EQ(LinesWith(listed.err, "tolvimoc: the older record file " + older +
                                        " is damaged: it is cut short, or counts records it "
                                        "does not hold.")
                  .size(),
              1u)
        << listed.err;
    EXPECT_EQ(LinesWith(listed.err, "Put back a good").size(), 1u) << listed.err;
    EXPECT_EQ(LinesWith(listed.err, "run 'tolvimoc --root " + root + " reset'").size(), 1u)
        << listed.err;
    EXPECT_EQ(ReadText(host::ChipStatePath(root)), chip);
    EXPECT_FALSE(std::filesystem::exists(RecordFile()));

    RunResult reset = On({"reset"});
    EXPECT_EQ(reset.status, host::kExitSuccess) << reset.out << reset.err;
    EXPECT_EQ(LinesWith(reset.out, "database: built without the older record file " + older +
                                       ", which is damaged")
                  .size(),
              1u)
        << reset.out;
    EXPECT_EQ(ReadText(older), damaged);
    EXPECT_EQ(On({"enroll", "--finger", "3"}).status, host::kExitSuccess);
    EXPECT_EQ(On({"identify", "--finger", "3"}).status, host::kExitSuccess);
}

// A name that is no file where a file of the unit belongs is refused at once, named, and
// left as it is: never read without end, waited on, or taken for damage.
TEST_F(TolvimocTest, ANameThatIsNoFileWhereAFileBelongsIsRefused) {
    ASSERT_EQ(On({"enroll"}).status, host::kExitSuccess);
    const std::string database = kDatabaseFolder;
    const std::pair<const char*, std::string> files[] = {
        {"the record file", database + kRecordFileName},
        {"the older record file", database + "90508806-8172-4C04-B03F-DCB28DBEA104.DAT"},
        {"the older block file", database + "6854BC36-3957-4783-880B-563B476816E4.DAT"},
        {"the framework's file", database + "{8C6E1F3A-5B27-4D90-A1E4-37C2F05B9D61}.DAT"},
        {"the chip's state", "/simulated-chip.state"},
    };
    const struct {
        const char* name;
        int (*make)(const char* path);
        mode_t type;
    } kinds[] = {
        {"a folder", [](const char* p) { return ::mkdir(p, 0755); }, S_IFDIR},
        {"a pipe", [](const char* p) { return ::mkfifo(p, 0644); }, S_IFIFO},
        {"a link to /dev/zero", [](const char* p) { return ::symlink("/dev/zero", p); }, S_IFLNK},
        {"a link whose target is not there",
         [](const char* p) { return ::symlink("unmounted/file", p); }, S_IFLNK},
    };
    struct Run {
        std::string name, path, log;
        mode_t type;
        pid_t pid;
    };
    RemovedFirst links;
    std::vector<Run> runs;
    for (const auto& [what, where] : files) {
        for (const auto& kind : kinds) {
            const std::string caseRoot = folder.Folder() + "/case" + std::to_string(runs.size());
            std::filesystem::copy(root, caseRoot, std::filesystem::copy_options::recursive);
            const std::string path = caseRoot + where;
            std::filesystem::remove(path);
            ASSERT_EQ(kind.make(path.c_str()), 0) << path << ": " << std::strerror(errno);
            if (kind.type == S_IFLNK)
                links.paths.push_back(path);
            const std::string log = caseRoot + ".log";
            const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            ASSERT_GE(out, 0);
            runs.push_back({std::string(kind.name) + " as " + what, path, log, kind.type,
                            Launch({"--root", caseRoot, "list"}, out)});
            ::close(out);
            ASSERT_GT(runs.back().pid, 0);
        }
    }
    // Side by side, so that runs that wait cost the suite one wait.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (const Run& run : runs) {
        SCOPED_TRACE(run.name);
        bool hung = false;
        const int status = AwaitExit(run.pid, deadline, &hung);
        const std::string text = ReadText(run.log);
        EXPECT_FALSE(hung) << "no answer within 30 s";
        EXPECT_EQ(status, host::kExitFailure) << text;
        std::vector<std::string> named;
        for (const std::string& line : LinesWith(text, run.path))
            if (line.rfind("tolvimoc: ", 0) == 0)
                named.push_back(line);
        EXPECT_EQ(named.size(), 1u) << text;
        ExpectNoAdviceThatCostsTemplates(text);
        struct stat st {};
        ASSERT_EQ(::lstat(run.path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & S_IFMT, run.type);
    }
}

// A file of the unit kept on another volume behind a link at its name: while that volume is
// not mounted, the run names the link and where it leads, leaves it as it is, and neither
// deletes a template nor starts a fresh chip for it. With the file back, every finger signs in.
TEST_F(TolvimocTest, AFileOnAVolumeThatIsNotMountedCostsNoTemplate) {
    const std::string volume = folder.Folder() + "/volume";
    const std::string unmounted = volume + "-unmounted";
    const std::string records = RecordFile(), chip = host::ChipStatePath(root);
    for (const std::string& file : {records, chip}) {
        SCOPED_TRACE(file);
        std::filesystem::remove_all(root);
        std::filesystem::remove_all(unmounted);
        ASSERT_EQ(On({"enroll", "--finger", "3"}).status, host::kExitSuccess);
        ASSERT_EQ(On({"enroll", "--finger", "4"}).status, host::kExitSuccess);
        const std::pair<std::string, std::string> enrolled = {ReadText(records), ReadText(chip)};
        const std::string target = volume + "/" + std::filesystem::path(file).filename().string();
        std::filesystem::create_directories(volume);
        std::filesystem::rename(file, target);
        std::filesystem::create_symlink(target, file);
        std::filesystem::rename(volume, unmounted);

        RunResult listed = On({"list"});
        EXPECT_EQ(listed.status, host::kExitFailure) << listed.out << listed.err;
        EXPECT_EQ(
            LinesWith(listed.err, file + " is a link to " + target + ", which is not there").size(),
            1u)
            << listed.err;
        EXPECT_EQ(LinesWith(listed.err, "put the file back at " + target).size(), 1u) << listed.err;
        ExpectNoAdviceThatCostsTemplates(listed.out + listed.err);
        EXPECT_EQ(listed.out.find("starting a fresh chip"), std::string::npos) << listed.out;
        EXPECT_EQ(std::filesystem::read_symlink(file), target);

        std::filesystem::remove(file);
        std::filesystem::rename(unmounted + "/" + std::filesystem::path(file).filename().string(),
                                file);
        EXPECT_EQ(std::make_pair(ReadText(records), ReadText(chip)), enrolled);
        for (const char* finger : {"3", "4"})
            EXPECT_EQ(On({"identify", "--finger", finger}).status, host::kExitSuccess) << finger;
    }
}

// A cause that costs no template (a permission, a name the platform cannot take) is named,
// with what to do about it; neither a reset nor moving the chip's state away is offered,
// and the files are left as they are.
TEST_F(TolvimocTest, ACauseThatCostsNoTemplateIsNamedAndNoResetIsOffered) {
    ASSERT_EQ(On({"enroll", "--finger", "3"}).status, host::kExitSuccess);
    const std::string chip = host::ChipStatePath(root);
    const std::string replacement = RecordFile() + ".new";
    const std::string longRoot =
        folder.Folder() + "/" + std::string(120, 'l') + "/" + std::string(130, 'm');
    auto files = [](const std::string& at) {
        return std::make_pair(ReadText(at + kDatabaseFolder + kRecordFileName),
                              ReadText(host::ChipStatePath(at)));
    };
    const auto enrolled = files(root);
    // A permission does not hold for root, which reads and writes whatever the mode says.
    const bool permissionsHold = ::geteuid() != 0;
    struct Case {
        const char* name;
        bool byPermission;
        std::function<std::string()> arrange; // the root to run on
        std::function<void()> undo;
        std::string words;
        bool holdsTheEnrollment;
    } cases[] = {
        {"a record file marked read-only", false,
         [&] {
             ::chmod(RecordFile().c_str(), 0444);
             return root;
         },
         [&] { ::chmod(RecordFile().c_str(), 0644); },
         "is marked read-only, so it cannot be replaced", true},
        {"a folder with a file in it where the record file's replacement is written", false,
         [&] {
             std::filesystem::create_directory(replacement);
             std::ofstream(replacement + "/kept") << "kept";
             return root;
         },
         [&] { std::filesystem::remove_all(replacement); },
         "cannot be replaced: a folder with something in it stands at the name of its temporary "
         "file, " +
             replacement,
         true},
        {"a record file this account may not read", true,
         [&] {
             ::chmod(RecordFile().c_str(), 0);
             return root;
         },
         [&] { ::chmod(RecordFile().c_str(), 0644); },
         "cannot be opened: ERROR_ACCESS_DENIED: access is denied", true},
        {"a chip's state this account may not read", true,
         [&] {
             ::chmod(chip.c_str(), 0);
             return root;
         },
         [&] { ::chmod(chip.c_str(), 0644); }, "ERROR_ACCESS_DENIED: access is denied", true},
        {"a root too long for the chip's state", false,
         [&] {
             std::filesystem::create_directories(longRoot);
             std::filesystem::copy(root, longRoot, std::filesystem::copy_options::recursive);
             return longRoot;
         },
         [] {}, "cannot be named: its path is too long", true},
        {"a root with a backslash", false, [&] { return folder.Folder() + "/back\\slash"; }, [] {},
         "holds a backslash, which the platform's file calls take for a folder separator", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.byPermission && !permissionsHold)
            continue;
        const std::string at = c.arrange();
        RunResult run = Tolvimoc({"--root", at, "list"});
        c.undo();
        EXPECT_EQ(run.status, host::kExitFailure) << run.out << run.err;
        EXPECT_EQ(LinesWith(run.err, c.words).size(), 1u) << run.err;
        ExpectNoAdviceThatCostsTemplates(run.out + run.err);
        EXPECT_EQ(files(at), c.holdsTheEnrollment ? enrolled : decltype(enrolled){}) << at;
    }
    EXPECT_EQ(On({"identify", "--finger", "3"}).status, host::kExitSuccess);
}

// reset erases the database and this host's templates and creates the database afresh,
// saying what it removed: the way back from a record file that is refused.
TEST_F(TolvimocTest, ResetBringsARefusedRecordFileBack) {
    ASSERT_EQ(On({"enroll", "--finger", "3"}).status, host::kExitSuccess);
    const std::string file = RecordFile();
    std::ofstream(file, std::ios::binary | std::ios::trunc) << "";
    ASSERT_EQ(On({"list"}).status, host::kExitFailure);

    RunResult reset = On({"reset"});
    EXPECT_EQ(reset.status, host::kExitSuccess) << reset.out << reset.err;
    EXPECT_EQ(LinesWith(reset.out, "removed the damaged record file and 1 chip template").size(),
              1u)
        << reset.out;
    RunResult listed = On({"list"});
    EXPECT_EQ(listed.status, host::kExitSuccess) << listed.err;
    EXPECT_EQ(LinesWith(listed.out, "enrollments: 0").size(), 1u) << listed.out;
    EXPECT_EQ(On({"identify", "--finger", "3"}).status, host::kExitFailure);
    ASSERT_EQ(On({"enroll", "--finger", "3"}).status, host::kExitSuccess);
    EXPECT_EQ(On({"identify", "--finger", "3"}).status, host::kExitSuccess);

    reset = On({"reset"});
    EXPECT_EQ(reset.status, host::kExitSuccess);
    EXPECT_EQ(LinesWith(reset.out, "removed 1 record and 1 chip template").size(), 1u) << reset.out;
    reset = On({"reset"});
    EXPECT_EQ(LinesWith(reset.out, "there was nothing to remove").size(), 1u) << reset.out;
}

// A run that cannot write names what is to blame and why, never its result alone, and a
// reset, which erases before it creates, first tries everything the two will write: when a
// try fails, it erases nothing.
TEST_F(TolvimocTest, ARunThatCannotWriteNamesTheCauseAndAResetErasesNothing) {
    ASSERT_EQ(On({"enroll", "--finger", "3"}).status, host::kExitSuccess);
    const std::string database = root + kDatabaseFolder;
    const std::string replacement = RecordFile() + ".new";
    const std::string notMade =
        "its temporary file " + replacement + " cannot be made: " + "ERROR_ACCESS_DENIED";
    struct Case {
        const char* name;
        const char* command;
        bool byPermission;
        std::function<void()> arrange, undo;
        std::string words;
    } cases[] = {
        {"a folder with a file in it at the record file's temporary name", "reset", false,
         [&] {
             std::filesystem::create_directory(replacement);
             std::ofstream(replacement + "/kept") << "kept";
         },
         [&] { std::filesystem::remove_all(replacement); },
         "a folder with something in it stands at the name of its temporary file, " + replacement},
        {"a database folder this account may not write", "reset", true,
         [&] { ::chmod(database.c_str(), 0555); }, [&] { ::chmod(database.c_str(), 0755); },
         notMade},
        {"a record file missing in a database folder this account may not write", "list", true,
         [&] {
             std::filesystem::rename(RecordFile(), folder.Folder() + "/records");
             ::chmod(database.c_str(), 0555);
         },
         [&] {
             ::chmod(database.c_str(), 0755);
             std::filesystem::rename(folder.Folder() + "/records", RecordFile());
         },
         "tolvimoc: the record file " + RecordFile() + " cannot be replaced: " + notMade},
        // Write and search permission, no read: the rename passes, the flush does not.
        {"a database folder that takes a rename but not its flush", "list", true,
         [&] { ::chmod(database.c_str(), 0300); }, [&] { ::chmod(database.c_str(), 0755); },
         "cannot be replaced: its folder " + database.substr(0, database.size() - 1) +
             " takes the move of its temporary file, but not its flush: ERROR_ACCESS_DENIED"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string record = ReadText(RecordFile());
        const std::string chip = ReadText(host::ChipStatePath(root));
        c.arrange();
        const std::optional<RunResult> run = OnPrepared(
            {c.command}, [&] { return !c.byPermission || moc_test::DropPermissionOverride(); });
        c.undo();
        if (!run) {
            std::cout << "skipped: " << c.name << ": permissions do not hold here\n";
            continue;
        }
        EXPECT_EQ(run->status, host::kExitFailure) << run->err;
        EXPECT_EQ(LinesWith(run->err, c.words).size(), 1u) << run->err;
        EXPECT_EQ(LinesWith(run->err, std::string(c.command) == "reset"
                                          ? "tolvimoc: reset: nothing was erased"
                                          : "tolvimoc: the unit did not start: ")
                      .size(),
                  1u)
            << run->err;
        ExpectNoAdviceThatCostsTemplates(run->err);
        EXPECT_EQ(ReadText(RecordFile()), record);
        EXPECT_EQ(ReadText(host::ChipStatePath(root)), chip);
        EXPECT_EQ(On({"identify", "--finger", "3"}).status, host::kExitSuccess);
    }
}

// An enrollment on a nearly full disk is told so: tolvimoc tries as many bytes as the
// library's save was writing, not the record file's size, which the disk still takes. A
// limit on the size of every file the run writes plays the disk.
TEST_F(TolvimocTest, AnEnrollmentOnANearlyFullDiskIsToldSo) {
    for (const char* finger : {"1", "2", "3"})
        ASSERT_EQ(On({"enroll", "--finger", finger}).status, host::kExitSuccess);
    const size_t held = std::filesystem::file_size(RecordFile());
    const size_t limit = held + 512;
    ASSERT_LT(std::filesystem::file_size(host::ChipStatePath(root)), limit);
    const std::optional<RunResult> run = OnPrepared({"enroll", "--finger", "6"}, [&] {
        const rlimit size{limit, limit};
        return std::signal(SIGXFSZ, SIG_IGN) != SIG_ERR && ::setrlimit(RLIMIT_FSIZE, &size) == 0;
    });
    ASSERT_TRUE(run.has_value());
    EXPECT_EQ(run->status, host::kExitFailure) << run->err;
    EXPECT_EQ(LinesWith(run->err, "tolvimoc: the record file " + RecordFile() +
                                      " cannot be replaced: its temporary file " + RecordFile() +
                                      ".new cannot be written")
                  .size(),
              1u)
        << run->err;
    EXPECT_EQ(run->err.find("takes a write"), std::string::npos) << run->err;
    EXPECT_EQ(std::filesystem::file_size(RecordFile()), held);
    for (const char* finger : {"1", "2", "3"})
        EXPECT_EQ(On({"identify", "--finger", finger}).status, host::kExitSuccess) << finger;
}

// A start that deletes chip templates or drops records says how many, seen on the chip
// and in the file before and after it.
TEST_F(TolvimocTest, AStartThatRemovesSaysHowMany) {
    struct Case {
        const char* name;
        std::function<void()> change;   // after two enrollments
        std::vector<std::string> lines; // the "open: " lines
    } cases[] = {
        {"nothing changed", [] {}, {}},
        {"record file deleted by hand",
         [this] { std::filesystem::remove(RecordFile()); },
         {"open: deleted 2 chip templates that no record described: slot 0 with finger 3 (right "
          "middle finger) and slot 1 with finger 4 (right ring finger)"}},
        {"chip state deleted by hand",
         [this] { std::filesystem::remove(host::ChipStatePath(root)); },
         {"open: dropped 2 records whose template the chip no longer holds"}},
        {"another host's template purged as the policy asks",
         [this] {
             // A chip that keeps owners and purges other hosts' templates at the open.
             std::filesystem::remove_all(root);
             std::filesystem::create_directories(root);
             simsensor::SimulatedSensor chip;
             chip.SetCapabilities({5, 10, 1, 0, {}});
             chip.SetPolicy(MocPolicy{{0, 0x40, 0, 0, 0, 0, 0, 0}});
             IdentityKey key{};
             key.Bytes[0] = 0x42;
             chip.Enroll(0, key, 2, 7);
             simsensor::SimSlot slot = chip.Slot(0);
             slot.owner.Bytes[0] ^= 0xFF;
             chip.SetSlot(0, slot);
             std::string why;
             ASSERT_TRUE(chip.KeepStateIn(host::ChipStatePath(root), &why)) << why;
         },
         {"open: deleted 1 template of other hosts, as the chip's policy asks: slot 0 with finger "
          "2 (right index finger)"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(root);
        ASSERT_EQ(On({"enroll", "--finger", "3"}).status, host::kExitSuccess);
        ASSERT_EQ(On({"enroll", "--finger", "4"}).status, host::kExitSuccess);
        c.change();
        RunResult listed = On({"list"});
        EXPECT_EQ(listed.status, host::kExitSuccess) << listed.err;
        EXPECT_EQ(RemovalLines(listed.out), c.lines) << listed.out;
        EXPECT_EQ(RemovalLines(On({"list"}).out).size(), 0u);
    }
}

TEST_F(TolvimocTest, AFreshRootStartsAFreshChipAndSaysSo) {
    RunResult run = On({"identify"});
    EXPECT_EQ(run.status, host::kExitFailure);
    EXPECT_EQ(LinesWith(run.out, "starting a fresh chip").size(), 1u);
    EXPECT_TRUE(std::filesystem::exists(host::ChipStatePath(root)));
    EXPECT_EQ(On({"identify"}).out.find("starting a fresh chip"), std::string::npos);
}

// One run at a time holds the sensor of a root. The first run here is held up by its own
// output (a one-page pipe that its trace fills) while it holds the root, so the second
// meets it there for certain.
TEST_F(TolvimocTest, ASecondRunSaysTheSensorIsInUseAndTheFirstLosesNothing) {
    int firstOut = -1;
    const pid_t first =
        Start({"--root", root, "--trace", "enroll", "--finger", "3"}, 4096, &firstOut);
    ASSERT_GT(first, 0);
    // Nothing is printed before the root is held.
    char byte = 0;
    ASSERT_EQ(::read(firstOut, &byte, 1), 1);

    const auto start = std::chrono::steady_clock::now();
    RunResult second = On({"enroll", "--finger", "4"});
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(second.status, host::kExitFailure);
    EXPECT_EQ(LinesWith(second.err, "tolvimoc: the sensor is in use by another process").size(), 1u)
        << second.err;
    EXPECT_EQ(second.out, "");
    EXPECT_GE(waited, simsensor::kRootLockWait);
    EXPECT_LT(waited, simsensor::kRootLockWait + std::chrono::seconds(30));

    const std::string firstText = byte + Drain(firstOut);
    EXPECT_EQ(ExitStatus(first), host::kExitSuccess) << firstText;
    EXPECT_EQ(LinesWith(firstText, "  commit: S_OK").size(), 1u);
    const std::string user = host::IdentityText(host::SignedInUser());
    EXPECT_EQ(On({"identify", "--finger", "3"}).status, host::kExitSuccess);
    RunResult listed = On({"list"});
    EXPECT_EQ(LinesWith(listed.out, user + ", finger ").size(), 1u) << listed.out;
}

// Runs side by side: each either does its work, kept for the next run, or says the sensor
// is in use; none loses what another committed.
TEST_F(TolvimocTest, RunsSideBySideLoseNoEnrollment) {
    std::vector<std::pair<pid_t, int>> runs;
    for (int finger = 1; finger <= 5; ++finger) {
        int out = -1;
        const pid_t pid =
            Start({"--root", root, "enroll", "--finger", std::to_string(finger)}, 65536, &out);
        ASSERT_GT(pid, 0);
        runs.emplace_back(pid, out);
    }
    std::vector<int> enrolled;
    for (size_t i = 0; i < runs.size(); ++i) {
        const std::string text = Drain(runs[i].second);
        const int status = ExitStatus(runs[i].first);
        SCOPED_TRACE(text);
        if (status == host::kExitSuccess) {
            EXPECT_EQ(LinesWith(text, "  commit: S_OK").size(), 1u);
            enrolled.push_back(static_cast<int>(i) + 1);
        } else {
            EXPECT_EQ(status, host::kExitFailure);
            EXPECT_EQ(text, "tolvimoc: the sensor is in use by another process\n");
        }
    }
    EXPECT_FALSE(enrolled.empty());
    const std::string user = host::IdentityText(host::SignedInUser());
    RunResult listed = On({"list"});
    EXPECT_EQ(LinesWith(listed.out, user + ", finger ").size(), enrolled.size()) << listed.out;
    for (int finger : enrolled) {
        SCOPED_TRACE(finger);
        RunResult identified = On({"identify", "--finger", std::to_string(finger)});
        EXPECT_EQ(identified.status, host::kExitSuccess) << identified.out;
    }
}

TEST_F(TolvimocTest, TheDemoRunsEveryStepAndExitsWithZero) {
    RunResult run = Tolvimoc({});
    EXPECT_EQ(run.status, host::kExitSuccess) << run.out << run.err;
    EXPECT_EQ(LinesWith(run.out, "demo: every step gave what it should").size(), 1u) << run.out;
}

// In this process, so that the stand-in's file controls reach the library's calls: the
// volume fails the open's rewrite of the record file and still fails tolvimoc's own try of
// it. The library calls that WINBIO_E_DATABASE_CORRUPTED; tolvimoc names the cause, or, when
// its try passes, the error the library's writer met.
TEST_F(TolvimocTest, AFullOrReadOnlyVolumeIsNamedAsSuch) {
    ASSERT_EQ(On({"enroll", "--finger", "3"}).status, host::kExitSuccess);
    const struct {
        DWORD error;
        bool tryMeetsIt; // the volume still fails tolvimoc's try
        const char* words;
    } cases[] = {
        {ERROR_DISK_FULL, true,
         "the disk is full (ERROR_DISK_FULL: there is not enough space on the disk)"},
        {ERROR_WRITE_PROTECT, true,
         "its volume is read-only (ERROR_WRITE_PROTECT: the media is write "
         "protected)"},
        // A cause that has passed is named as the library met it.
        {ERROR_DISK_FULL, false,
         "could not be replaced: the library's writer met ERROR_DISK_FULL: there is not enough "
         "space on the disk, writing 1053 bytes. It reads and takes a write of as many bytes "
         "now:"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.words);
        platform::test::ResetAll();
        // A run's first replacement saves the chip's state as it takes the sensor, its second
        // rewrites the record file at the open; the third write is tolvimoc's try.
        platform::test::FailFileCallAt("FlushFileBuffers", 2, c.error);
        if (c.tryMeetsIt)
            platform::test::FailFileCallAt("WriteFile", 3, c.error);
        std::ostringstream out, err;
        const int status =
            host::RunTolvimoc({"--root", root, "list"}, MOC_ADAPTER_LIBRARY, out, err);
        platform::test::ResetAll();
        EXPECT_EQ(status, host::kExitFailure) << out.str() << err.str();
        EXPECT_EQ(LinesWith(err.str(), "did not start: WINBIO_E_DATABASE_CORRUPTED").size(), 1u)
            << err.str();
        EXPECT_EQ(LinesWith(err.str(), "tolvimoc: the record file " + RecordFile() +
                                           " cannot be replaced: its temporary file ")
                      .size(),
                  c.tryMeetsIt ? 1u : 0u)
            << err.str();
        EXPECT_EQ(LinesWith(err.str(), c.words).size(), 1u) << err.str();
        ExpectNoAdviceThatCostsTemplates(out.str() + err.str());
        EXPECT_EQ(On({"identify", "--finger", "3"}).status, host::kExitSuccess);
    }
}

// A demo whose reader goes away (tolvimoc --trace demo | head -1) still removes the
// temporary root it made.
TEST_F(TolvimocTest, ADemoCutOffByAClosedPipeLeavesNoRoot) {
    const std::string temporary = folder.Folder() + "/tmp";
    std::filesystem::create_directories(temporary);
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    const pid_t pid = Launch({"--trace", "demo"}, fds[1], temporary);
    ::close(fds[1]);
    ASSERT_GT(pid, 0);
    char byte = 0;
    ASSERT_EQ(::read(fds[0], &byte, 1), 1);
    ::close(fds[0]);
    bool hung = false;
    AwaitExit(pid, std::chrono::steady_clock::now() + std::chrono::seconds(60), &hung);
    EXPECT_FALSE(hung);
    EXPECT_TRUE(std::filesystem::is_empty(temporary));
}

// Every statement the demo traces is printed as its message text, after the unit, the
// level, the function and the label: none is left to its raw arguments.
TEST_F(TolvimocTest, TheDemoTracesEveryStatementAsItsText) {
    RunResult run = Tolvimoc({"--trace", "demo"});
    ASSERT_EQ(run.status, host::kExitSuccess) << run.out << run.err;
    const std::regex statement(
        "^ +TolviMocAdapter [A-Za-z]+ (info|error) [A-Za-z/#0-9]+( \\[[0-9A-F]{8}\\])? (.+)$");
    // What an argument looks like when no text takes it.
    const std::regex raw("0x[0-9A-F]{8} \\([0-9]+\\)|0x[0-9A-F]{16} \\([0-9]+\\)|^u?\"");
    const std::vector<std::string> lines = LinesWith(run.out, " TolviMocAdapter ");
    ASSERT_GT(lines.size(), 100u);
    for (const std::string& line : lines) {
        std::smatch parts;
        ASSERT_TRUE(std::regex_match(line, parts, statement)) << line;
        EXPECT_FALSE(std::regex_search(parts[3].str(), raw)) << line;
    }
}

} // namespace
