// tolvimoc as people run it: one process per command on one root, so that what a run
// leaves on disk (the chip's state, the database files) is all the next one has.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <vector>
#include "host/commands.h"
#include "host/identities.h"
#include "simsensor/root_lock.h"
#include "simsensor/simulated_sensor.h"
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
    std::string RecordFile() const {
        return root + "/C/Windows/System32/WinBioDatabase/0A0A09AC-31A1-4880-9AC8-B1FF3C9E94EB.DAT";
    }

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

TEST_F(TolvimocTest, HelpListsTheCommands) {
    RunResult run = Tolvimoc({"--help"});
    EXPECT_EQ(run.status, host::kExitSuccess);
    std::istringstream help(run.out);
    std::vector<std::string> described;
    for (std::string line; std::getline(help, line);)
        if (line.rfind("  ", 0) == 0 && line.size() > 2 && line[2] != ' ' && line[2] != '-')
            described.push_back(line.substr(2, line.find(' ', 2) - 2));
    EXPECT_EQ(described, (std::vector<std::string>{"demo", "enroll", "identify", "verify", "list",
                                                   "delete", "stats", "reset"}));
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
// that is gone is refused, a record whose fixed fields are impossible keeps the open
// from reconciling. Either way every template stays on the chip, and matches again once
// the file is mended.
TEST_F(TolvimocTest, ADamagedRecordFileLeavesTheChipsTemplates) {
    struct Case {
        const char* name;
        size_t offset, length; // the bytes changed, each turned to its complement
        int listStatus;
        size_t listed;
    } cases[] = {
        {"zeroed header", 0, 29, host::kExitFailure, 0},
        {"flipped valid byte", 29 + 19, 1, host::kExitSuccess, 1},
    };
    const std::string user = host::IdentityText(host::SignedInUser());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(root);
        ASSERT_EQ(On({"enroll", "--finger", "3"}).status, host::kExitSuccess);
        ASSERT_EQ(On({"enroll", "--finger", "4"}).status, host::kExitSuccess);
        const std::string file = RecordFile();
        const std::string good = ReadText(file);
        std::string damaged = good;
        for (size_t i = c.offset; i < c.offset + c.length; ++i)
            damaged[i] = c.length == 1 ? static_cast<char>(~damaged[i]) : '\0';
        std::ofstream(file, std::ios::binary | std::ios::trunc) << damaged;

        RunResult listed = On({"list"});
        EXPECT_EQ(listed.status, c.listStatus) << listed.out << listed.err;
        EXPECT_EQ(LinesWith(listed.out, user + ", finger ").size(), c.listed) << listed.out;
        EXPECT_EQ(RemovalLines(listed.out).size(), 0u) << listed.out;
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
         {"open: deleted 2 chip templates that no record described"}},
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
         {"open: deleted 1 template of other hosts, as the chip's policy asks"}},
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
