// The stand-in's version check against a settable running system.
#include <gtest/gtest.h>
#include <platform/test.h>

namespace {

class StandInVersionCheckTest : public ::testing::Test {
protected:
    void SetUp() override { platform::test::ResetAll(); }
    void TearDown() override { platform::test::ResetAll(); }
};

TEST_F(StandInVersionCheckTest, VersionCheckComparesTheRunningSystem) {
    EXPECT_EQ(VerSetConditionMask(0, VER_BUILDNUMBER, VER_GREATER_EQUAL), 3ull << 6);
    struct Case {
        DWORD running;
        DWORD wanted;
        BYTE condition;
        BOOL result;
    };
    const Case cases[] = {
        {22000, 22000, VER_GREATER_EQUAL, TRUE}, {21999, 22000, VER_GREATER_EQUAL, FALSE},
        {22631, 22000, VER_GREATER_EQUAL, TRUE}, {19045, 22000, VER_LESS, TRUE},
        {22000, 22000, VER_GREATER, FALSE},      {22000, 22000, VER_EQUAL, TRUE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.running) + " vs " + std::to_string(c.wanted));
        platform::test::SetOsVersion(10, 0, c.running);
        OSVERSIONINFOEXW info{};
        info.dwOSVersionInfoSize = sizeof(info);
        info.dwBuildNumber = c.wanted;
        SetLastError(0);
        EXPECT_EQ(VerifyVersionInfoW(&info, VER_BUILDNUMBER,
                                     VerSetConditionMask(0, VER_BUILDNUMBER, c.condition)),
                  c.result);
        if (!c.result) {
            EXPECT_EQ(GetLastError(), DWORD(ERROR_OLD_WIN_VERSION));
        }
    }

    // Major and minor form one version: 10.0 is at least 6.3.
    OSVERSIONINFOEXW info{};
    info.dwOSVersionInfoSize = sizeof(info);
    info.dwMajorVersion = 6;
    info.dwMinorVersion = 3;
    ULONGLONG mask = VerSetConditionMask(0, VER_MAJORVERSION, VER_GREATER_EQUAL);
    mask = VerSetConditionMask(mask, VER_MINORVERSION, VER_GREATER_EQUAL);
    EXPECT_EQ(VerifyVersionInfoW(&info, VER_MAJORVERSION | VER_MINORVERSION, mask), TRUE);

    // Bad records and an injected failure are failures, not answers.
    const ULONGLONG buildMask = VerSetConditionMask(0, VER_BUILDNUMBER, VER_GREATER_EQUAL);
    EXPECT_EQ(VerifyVersionInfoW(nullptr, VER_BUILDNUMBER, buildMask), FALSE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    info.dwOSVersionInfoSize = 4;
    EXPECT_EQ(VerifyVersionInfoW(&info, VER_BUILDNUMBER, buildMask), FALSE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    info.dwOSVersionInfoSize = sizeof(info);
    EXPECT_EQ(VerifyVersionInfoW(&info, VER_BUILDNUMBER, 0), FALSE); // no condition
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    platform::test::FailVersionCheck(ERROR_ACCESS_DENIED);
    EXPECT_EQ(VerifyVersionInfoW(&info, VER_BUILDNUMBER, buildMask), FALSE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
}

} // namespace
