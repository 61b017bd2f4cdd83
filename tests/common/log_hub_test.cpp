#include <atomic>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sys/wait.h>
#include <cstring>
#include <filesystem>
#include <iomanip>
#include <sstream>
#include <string>
#include <thread>
#include <vector>
#include <gtest/gtest.h>
#include <platform/test.h>
#include "common/debug_responder.h"
#include "common/log_hub.h"
#include "support/temp_root.h"

namespace {

namespace pt = platform::test;

const std::string kBanner = ">>>>>>Quorvin Log Start \n";
const std::string kEnd = ">>>>>>End \n\r";
const char* const kLogPath = "C:\\Logs\\moc.log";

// Records every call, with its own name, into a shared journal.
class RecordingResponder : public IResponder {
public:
    RecordingResponder(std::string name, std::vector<std::string>* journal)
        : name_(std::move(name)), journal_(journal) {}
    ~RecordingResponder() override { journal_->push_back(name_ + " destroyed"); }
    void Log(int level, const char* function, int line, const char* text) override {
        journal_->push_back(name_ + " log " + std::to_string(level) + " " + function + "@" +
                            std::to_string(line) + " " + text);
    }
    void Count(const char* name, int count) override {
        journal_->push_back(name_ + " count " + name + " " + std::to_string(count));
    }
    void Progress(int progress) override {
        journal_->push_back(name_ + " progress " + std::to_string(progress));
    }

private:
    std::string name_;
    std::vector<std::string>* journal_;
};

std::string Pad5(DWORD value) {
    std::ostringstream out;
    out << std::setw(5) << std::setfill('0') << value;
    return out.str();
}

// "[pid][tid][09:05:03 042]" for the fixed local time the fixture sets.
std::string Prefix() {
    return "[" + Pad5(GetCurrentProcessId()) + "][" + Pad5(GetCurrentThreadId()) +
           "][09:05:03 042]";
}

class LogHubTest : public ::testing::Test {
protected:
    void SetUp() override {
        pt::ResetAll();
        CMsg::GetInstance()->RemoveAllResponders();
        SYSTEMTIME time{};
        time.wYear = 2024;
        time.wMonth = 5;
        time.wDay = 17;
        time.wHour = 9;
        time.wMinute = 5;
        time.wSecond = 3;
        time.wMilliseconds = 42;
        pt::SetLocalTime(time);
        std::filesystem::create_directories(root_.Native("C:\\Logs"));
    }
    void TearDown() override {
        CMsg::GetInstance()->RemoveAllResponders();
        pt::ResetAll();
    }
    std::string LogFile() const { return pt::ReadWholeFile(kLogPath); }
    bool LogFileExists() const { return std::filesystem::exists(root_.Native(kLogPath)); }

    moc_test::TempRoot root_;
    CMsg* hub_ = CMsg::GetInstance();
};

TEST_F(LogHubTest, RespondersSeeEachMessageInRegistrationOrder) {
    std::vector<std::string> journal;
    EXPECT_EQ(CMsg::GetInstance(), hub_);
    hub_->Log(MSG_LEVEL_INFO, "Nobody", 1, "unheard"); // no responder: nothing anywhere
    hub_->AddResponder(new RecordingResponder("A", &journal));
    hub_->AddResponder(new RecordingResponder("B", &journal));
    hub_->Log(MSG_LEVEL_ERROR, "Func", 12, "value %d of %s", 5, "x");
    hub_->Count("frames", 3);
    hub_->Progress(40);
    hub_->RemoveAllResponders();
    hub_->Log(MSG_LEVEL_ERROR, "Func", 13, "after removal");

    const std::vector<std::string> expected = {
        "A log 0 Func@12 value 5 of x",
        "B log 0 Func@12 value 5 of x",
        "A count frames 3",
        "B count frames 3",
        "A progress 40",
        "B progress 40",
        "A destroyed",
        "B destroyed",
    };
    EXPECT_EQ(journal, expected);
}

TEST_F(LogHubTest, HubDestroysItsRespondersFrontToBack) {
    std::vector<std::string> journal;
    {
        CMsgBase hub;
        hub.AddResponder(new RecordingResponder("A", &journal));
        hub.AddResponder(new RecordingResponder("B", &journal));
    }
    EXPECT_EQ(journal, std::vector<std::string>({"A destroyed", "B destroyed"}));
}

TEST_F(LogHubTest, FileHoldsBannerLinesAndEndLine) {
    hub_->AddResponder(new CLogResPonder(kLogPath, 1, MSG_LEVEL_INFO));
    hub_->Log(MSG_LEVEL_INFO, "ServiceMain", 393, "SetServiceStatus(%s)", "SERVICE_STOPPED");
    hub_->Log(3, "Other", 7, "second");
    EXPECT_EQ(LogFile(), kBanner + Prefix() +
                             "[ServiceMain@393] SetServiceStatus(SERVICE_STOPPED)\n" + Prefix() +
                             "[Other@7] second\n");
    hub_->RemoveAllResponders();
    EXPECT_EQ(LogFile(), kBanner + Prefix() +
                             "[ServiceMain@393] SetServiceStatus(SERVICE_STOPPED)\n" + Prefix() +
                             "[Other@7] second\n" + kEnd);
}

TEST_F(LogHubTest, FileResponderWithoutMessagesWritesBannerAndEndOnly) {
    delete new CLogResPonder(kLogPath, 1, MSG_LEVEL_INFO);
    EXPECT_EQ(LogFile(), kBanner + kEnd);
    EXPECT_EQ(LogFile().size(), 37u);
}

TEST_F(LogHubTest, ExistingFileIsLeftUnchanged) {
    pt::WriteWholeFile(kLogPath, "earlier run\n");
    hub_->AddResponder(new CLogResPonder(kLogPath, 1, MSG_LEVEL_ERROR));
    hub_->Log(MSG_LEVEL_ERROR, "Func", 1, "lost");
    hub_->RemoveAllResponders();
    EXPECT_EQ(LogFile(), "earlier run\n");
}

TEST_F(LogHubTest, NoFileWithoutPathOrEnable) {
    delete new CLogResPonder(nullptr, 1, MSG_LEVEL_INFO);
    delete new CLogResPonder(kLogPath, 0, MSG_LEVEL_INFO);
    EXPECT_FALSE(LogFileExists());
    EXPECT_EQ(pt::OpenHandleCount(), 0u);
}

// The file responder writes levels at or above its threshold, the debug
// responder at or below its own (2): opposite directions.
TEST_F(LogHubTest, ThresholdsOfBothResponders) {
    struct Case {
        int level;
        bool inFile;
        bool inDebugOutput;
    };
    const Case cases[] = {
        {-1, false, true}, {0, false, true}, {1, false, true},
        {2, true, true},   {3, true, false}, {10, true, false},
    };
    hub_->AddResponder(new CLogResPonder(kLogPath, 1, MSG_LEVEL_INFO));
    hub_->AddResponder(new CDebugResPonder("Tag"));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.level);
        const std::string before = LogFile();
        pt::ClearDebugOutput();
        hub_->Log(c.level, "F", 1, "level %d", c.level);
        const std::string text = "level " + std::to_string(c.level) + "\n";
        EXPECT_EQ(LogFile() != before, c.inFile);
        if (c.inFile) {
            EXPECT_EQ(LogFile().substr(before.size()), Prefix() + "[F@1] " + text);
        }
        auto debug = pt::DebugOutput();
        ASSERT_EQ(debug.size(), c.inDebugOutput ? 1u : 0u);
        if (c.inDebugOutput) {
            EXPECT_EQ(debug[0], Prefix() + "[Tag][F@1] " + text);
        }
    }
}

TEST_F(LogHubTest, DebugOutputFormats) {
    hub_->AddResponder(new CDebugResPonder("MocAdapter"));
    hub_->Log(MSG_LEVEL_ERROR, "EngineAttach", 77, "hr=0x%08X", 0x80098036u);
    hub_->Count("templates", 12);
    hub_->Progress(-3);
    const std::vector<std::string> expected = {
        Prefix() + "[MocAdapter][EngineAttach@77] hr=0x80098036\n",
        "templates count is 12",
        "Progress is -3",
    };
    EXPECT_EQ(pt::DebugOutput(), expected);
}

// --- mended faults -----------------------------------------------------------

TEST_F(LogHubTest, NullAndDuplicateRespondersAreNotRegistered) {
    std::vector<std::string> journal;
    hub_->AddResponder(nullptr);
    auto* responder = new RecordingResponder("A", &journal);
    hub_->AddResponder(responder);
    hub_->AddResponder(responder);
    hub_->Progress(1);
    hub_->RemoveAllResponders();
    EXPECT_EQ(journal, std::vector<std::string>({"A progress 1", "A destroyed"}));
}

TEST_F(LogHubTest, NullStringsAreShownAsNull) {
    hub_->AddResponder(new CLogResPonder(kLogPath, 1, MSG_LEVEL_ERROR));
    hub_->AddResponder(new CDebugResPonder(nullptr));
    hub_->Log(MSG_LEVEL_ERROR, nullptr, 5, nullptr);
    hub_->Count(nullptr, 2);

    // Direct calls, past the hub's own substitution.
    CDebugResPonder direct("D");
    direct.Log(MSG_LEVEL_ERROR, nullptr, 7, nullptr);
    direct.Count(nullptr, 1);

    EXPECT_EQ(LogFile(), kBanner + Prefix() + "[NULL@5] NULL\n");
    const std::vector<std::string> expected = {
        Prefix() + "[NULL][NULL@5] NULL\n",
        "NULL count is 2",
        Prefix() + "[D][NULL@7] NULL\n",
        "NULL count is 1",
    };
    EXPECT_EQ(pt::DebugOutput(), expected);
}

TEST_F(LogHubTest, OverlongMessagesAreCutAtEachBuffer) {
    hub_->AddResponder(new CLogResPonder(kLogPath, 1, MSG_LEVEL_ERROR));
    hub_->AddResponder(new CDebugResPonder("T"));
    const std::string huge(5000, 'x');
    hub_->Log(MSG_LEVEL_ERROR, "F", 1, "%s", huge.c_str());

    const std::string file = LogFile();
    ASSERT_EQ(file.size(), kBanner.size() + 1023);
    EXPECT_EQ(file.back(), '\n');
    EXPECT_EQ(file.substr(kBanner.size(), Prefix().size()), Prefix());

    auto debug = pt::DebugOutput();
    ASSERT_EQ(debug.size(), 1u);
    EXPECT_EQ(debug[0].size(), 2047u);
    EXPECT_EQ(debug[0].back(), '\n');

    // The hub itself cuts at 2047 characters before any responder sees the text.
    std::vector<std::string> journal;
    hub_->AddResponder(new RecordingResponder("R", &journal));
    hub_->Log(MSG_LEVEL_ERROR, "F", 1, "%s", huge.c_str());
    hub_->RemoveAllResponders();
    ASSERT_EQ(journal.size(), 2u);
    EXPECT_EQ(journal[0], "R log 0 F@1 " + huge.substr(0, 2047));
}

TEST_F(LogHubTest, DebugResponderKeepsItsOwnCopyOfTheTag) {
    char tag[] = "First";
    hub_->AddResponder(new CDebugResPonder(tag));
    std::strcpy(tag, "Other");
    hub_->Log(MSG_LEVEL_INFO, "F", 2, "m");
    EXPECT_EQ(pt::DebugOutput(), std::vector<std::string>({Prefix() + "[First][F@2] m\n"}));
}

// Adding and removing responders while another thread logs: without the hub's
// mutex the logging thread walks a list that is growing or being freed.
TEST_F(LogHubTest, AddAndRemoveAreSafeWhileOtherThreadsLog) {
    std::atomic<bool> stop{false};
    std::thread logger([&] {
        for (int i = 0; i < 1000000 && !stop; ++i)
            hub_->Log(MSG_LEVEL_ERROR, "F", i, "m");
    });
    for (int round = 0; round < 3000; ++round) {
        for (int i = 0; i < 16; ++i)
            hub_->AddResponder(new IResponder());
        hub_->RemoveAllResponders();
    }
    stop = true;
    logger.join();
}

} // namespace

namespace {

// The hub is destroyed by its exit handler, registered before the platform's
// own process-wide state is first built; that state must still be there when
// the handler writes the end line and closes the file.
TEST(LogHubExit, ResponderAliveAtExitWritesItsEndLine) {
    moc_test::TempRoot root;
    std::filesystem::create_directories(root.Native("C:\\Logs"));
    const std::string command = "WINPLATFORM_ROOT='" + root.Folder() + "' '" +
                                MOC_LOG_EXIT_CHILD + "' 'C:\\Logs\\exit.log'";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);

    std::ifstream in(root.Native("C:\\Logs\\exit.log"), std::ios::binary);
    const std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(log.rfind(kBanner, 0), 0u);
    EXPECT_NE(log.find("exiting with a live responder"), std::string::npos);
    ASSERT_GE(log.size(), kEnd.size());
    EXPECT_EQ(log.substr(log.size() - kEnd.size()), kEnd);
}

} // namespace
