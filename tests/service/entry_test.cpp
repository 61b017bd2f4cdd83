#include <string>
#include <vector>
#include <gtest/gtest.h>
#include <platform/test.h>
#include "support/log_recorder.h"
#include "service/service_entry.h"

namespace {

using moc_test::LoggedMessage;

const LoggedMessage kEntryMessage{MSG_LEVEL_INFO, "EntryPoint", 310, "EntryPoint"};
const LoggedMessage kStoppedMessage{MSG_LEVEL_INFO, "ServiceMain", 393,
                                    "SetServiceStatus(SERVICE_STOPPED)"};

SERVICE_STATUS Status(DWORD state, DWORD exitCode = 0) {
    SERVICE_STATUS s{};
    s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    s.dwCurrentState = state;
    s.dwControlsAccepted = 7;
    s.dwWin32ExitCode = exitCode;
    return s;
}

// The reported states, for messages that name the state that went wrong.
std::vector<DWORD> States(const std::vector<SERVICE_STATUS>& statuses) {
    std::vector<DWORD> out;
    for (const auto& s : statuses)
        out.push_back(s.dwCurrentState);
    return out;
}

void ExpectStatus(const SERVICE_STATUS& actual, const SERVICE_STATUS& expected) {
    EXPECT_EQ(actual.dwServiceType, expected.dwServiceType);
    EXPECT_EQ(actual.dwCurrentState, expected.dwCurrentState);
    EXPECT_EQ(actual.dwControlsAccepted, expected.dwControlsAccepted);
    EXPECT_EQ(actual.dwWin32ExitCode, expected.dwWin32ExitCode);
    EXPECT_EQ(actual.dwServiceSpecificExitCode, 0u);
    EXPECT_EQ(actual.dwCheckPoint, 0u);
    EXPECT_EQ(actual.dwWaitHint, 0u);
}

class ServiceEntryTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::test::ResetAll();
        // The globals live for the process; each test starts from load state.
        g_ServiceStatus = SERVICE_STATUS{};
        g_ServiceStatusHandle = nullptr;
    }
    void TearDown() override { platform::test::ResetAll(); }

    // A start by the service control manager, with the log cleared after it.
    void StartService() {
        platform::test::SetStartedByServiceManager(u"KyvMocUtil");
        EntryPoint();
        ASSERT_EQ(platform::test::ReportedServiceStatuses().size(), 1u);
        hub_.messages().clear();
    }

    moc_test::HubRecorder hub_;
};

TEST_F(ServiceEntryTest, NormalStartReportsStoppedAtOnce) {
    platform::test::SetStartedByServiceManager(u"KyvMocUtil");

    EntryPoint();

    EXPECT_EQ(platform::test::StartedServiceName(), u"KyvMocUtil");
    EXPECT_EQ(hub_.messages(), (std::vector<LoggedMessage>{kEntryMessage, kStoppedMessage}));
    auto statuses = platform::test::ReportedServiceStatuses();
    ASSERT_EQ(statuses.size(), 1u);
    ExpectStatus(statuses[0], Status(SERVICE_STOPPED));
    EXPECT_NE(g_ServiceStatusHandle, nullptr);
    EXPECT_EQ(g_ServiceStatusHandle, platform::test::RegisteredServiceHandle());
}

TEST_F(ServiceEntryTest, DispatcherFailureIsLoggedWithItsError) {
    struct Case {
        const char* what;
        const char16_t* startedService; // null: not started by the manager
        const char* error;
    };
    const Case cases[] = {
        {"started by a user", nullptr, "1063"},
        {"manager starts another service", u"OtherService", "1060"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        platform::test::ResetAll();
        hub_.messages().clear();
        if (c.startedService != nullptr)
            platform::test::SetStartedByServiceManager(c.startedService);

        EntryPoint();

        const LoggedMessage failure{MSG_LEVEL_ERROR, "EntryPoint", 324,
                                    std::string("StartServiceCtrlDispatcher failed. LastErr: ") +
                                        c.error};
        EXPECT_EQ(hub_.messages(), (std::vector<LoggedMessage>{kEntryMessage, failure}));
        EXPECT_TRUE(platform::test::ReportedServiceStatuses().empty());
    }
}

TEST_F(ServiceEntryTest, HandlerRegistrationFailureReportsNoStatus) {
    platform::test::SetStartedByServiceManager(u"KyvMocUtil");
    platform::test::FailNextServiceCall("RegisterServiceCtrlHandlerW", ERROR_NOT_ENOUGH_MEMORY);

    EntryPoint();

    const LoggedMessage failure{MSG_LEVEL_ERROR, "ServiceMain", 378,
                                "RegisterServiceCtrlHandler failed. LastErr: 8"};
    EXPECT_EQ(hub_.messages(), (std::vector<LoggedMessage>{kEntryMessage, failure}));
    EXPECT_TRUE(platform::test::ReportedServiceStatuses().empty());
    EXPECT_EQ(g_ServiceStatusHandle, nullptr);
}

TEST_F(ServiceEntryTest, FailedStatusReportIsNeitherLoggedNorRetried) {
    platform::test::SetStartedByServiceManager(u"KyvMocUtil");
    platform::test::FailNextServiceCall("SetServiceStatus", ERROR_INVALID_DATA);

    EntryPoint();

    EXPECT_EQ(hub_.messages(), (std::vector<LoggedMessage>{kEntryMessage, kStoppedMessage}));
    EXPECT_TRUE(platform::test::ReportedServiceStatuses().empty());
}

TEST_F(ServiceEntryTest, EachControlIsLoggedAndReportsItsFinalState) {
    struct Case {
        DWORD control;
        int line;
        const char* text;
        DWORD state;
        bool clearsExitCode;
    };
    const Case cases[] = {
        {SERVICE_CONTROL_STOP, 338, "SERVICE_CONTROL_STOP", SERVICE_STOPPED, true},
        {SERVICE_CONTROL_PAUSE, 350, "SERVICE_CONTROL_PAUSE", SERVICE_PAUSED, false},
        {SERVICE_CONTROL_CONTINUE, 355, "SERVICE_CONTROL_CONTINUE", SERVICE_RUNNING, false},
        {SERVICE_CONTROL_SHUTDOWN, 344, "SERVICE_CONTROL_SHUTDOWN", SERVICE_STOPPED, true},
        {SERVICE_CONTROL_INTERROGATE, 360, "dwControl: 0x4 dwCurrentState: 0x1", SERVICE_STOPPED,
         false},
        {0, 360, "dwControl: 0 dwCurrentState: 0x1", SERVICE_STOPPED, false},
        {6, 360, "dwControl: 0x6 dwCurrentState: 0x1", SERVICE_STOPPED, false},
        {0x80, 360, "dwControl: 0x80 dwCurrentState: 0x1", SERVICE_STOPPED, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("control " + std::to_string(c.control));
        SetUp();
        StartService();
        // An exit code left by an earlier failure shows which controls clear it.
        g_ServiceStatus.dwWin32ExitCode = ERROR_GEN_FAILURE;

        ASSERT_TRUE(platform::test::SendServiceControl(c.control));

        EXPECT_EQ(hub_.messages(), (std::vector<LoggedMessage>{
                                       {MSG_LEVEL_INFO, "ServiceCtrlHandler", c.line, c.text}}));
        auto statuses = platform::test::ReportedServiceStatuses();
        ASSERT_EQ(statuses.size(), 2u);
        ExpectStatus(statuses[1], Status(c.state, c.clearsExitCode ? 0 : DWORD(ERROR_GEN_FAILURE)));
    }
}

TEST_F(ServiceEntryTest, PauseThenContinueReportsNoPendingState) {
    StartService();

    platform::test::SendServiceControl(SERVICE_CONTROL_PAUSE);
    platform::test::SendServiceControl(SERVICE_CONTROL_CONTINUE);
    platform::test::SendServiceControl(SERVICE_CONTROL_INTERROGATE);

    EXPECT_EQ(
        States(platform::test::ReportedServiceStatuses()),
        (std::vector<DWORD>{SERVICE_STOPPED, SERVICE_PAUSED, SERVICE_RUNNING, SERVICE_RUNNING}));
    ASSERT_EQ(hub_.messages().size(), 3u);
    EXPECT_EQ(hub_.messages()[2].text, "dwControl: 0x4 dwCurrentState: 0x4");
}

} // namespace
