// The stand-in's service control manager: dispatcher, handler and status history.
#include <string>
#include <thread>
#include <gtest/gtest.h>
#include <platform/test.h>

namespace {

class StandInServiceManagerTest : public ::testing::Test {
protected:
    void SetUp() override { platform::test::ResetAll(); }
    void TearDown() override { platform::test::ResetAll(); }
};

// The service main of the dispatcher test: what the manager handed it.
std::thread::id g_mainThread;
std::u16string g_mainArgument;
SERVICE_STATUS_HANDLE g_mainHandle;
void WINAPI RecordingControl(DWORD) {}
void WINAPI RecordingMain(DWORD argc, LPWSTR* argv) {
    g_mainThread = std::this_thread::get_id();
    g_mainArgument = argc > 0 ? argv[0] : u"";
    g_mainHandle = RegisterServiceCtrlHandlerW(u"svc", RecordingControl);
}

TEST_F(StandInServiceManagerTest, ServiceManagerRunsTheNamedServiceOnAThreadOfItsOwn) {
    WCHAR name[] = u"Svc";
    SERVICE_TABLE_ENTRYW table[] = {{name, RecordingMain}, {nullptr, nullptr}};

    EXPECT_EQ(StartServiceCtrlDispatcherW(table), FALSE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
    EXPECT_EQ(RegisterServiceCtrlHandlerW(u"Svc", RecordingControl), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SERVICE_DOES_NOT_EXIST));
    EXPECT_FALSE(platform::test::SendServiceControl(SERVICE_CONTROL_STOP));

    platform::test::SetStartedByServiceManager(u"SVC");
    EXPECT_EQ(StartServiceCtrlDispatcherW(table), TRUE);
    EXPECT_NE(g_mainThread, std::this_thread::get_id());
    EXPECT_EQ(g_mainArgument, u"Svc");
    ASSERT_NE(g_mainHandle, nullptr);
    EXPECT_EQ(g_mainHandle, platform::test::RegisteredServiceHandle());

    SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, 0, 0, 0, 0};
    EXPECT_EQ(SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(0x10), &status), FALSE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_EQ(SetServiceStatus(g_mainHandle, nullptr), FALSE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    status.dwCurrentState = 0;
    EXPECT_EQ(SetServiceStatus(g_mainHandle, &status), FALSE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_DATA));
    EXPECT_TRUE(platform::test::ReportedServiceStatuses().empty());
    EXPECT_EQ(StartServiceCtrlDispatcherW(nullptr), FALSE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

} // namespace
