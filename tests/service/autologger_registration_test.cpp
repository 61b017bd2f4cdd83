#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>
#include <gtest/gtest.h>
#include <platform/test.h>
#include "common/trace_provider.h"
#include "service/autologger_registration.h"
#include "support/log_recorder.h"

namespace {

using moc_test::LoggedMessage;
using platform::test::RegistryCall;

const std::u16string kSession = u"SYSTEM\\CurrentControlSet\\Control\\WMI\\Autologger\\KyvMocWbdi";
const std::u16string kDriver = kSession + u"\\{F7B941EE-EA5A-4984-927B-8DF3218DE3C8}";
const std::u16string kAdapter = kSession + u"\\{E1A44DA1-D546-4FF9-A1C7-A4F4FED9A9A4}";

std::vector<uint8_t> Dword(uint32_t v) {
    return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}
std::vector<uint8_t> Qword(uint64_t v) {
    std::vector<uint8_t> out;
    for (int i = 0; i < 8; ++i)
        out.push_back(uint8_t(v >> (8 * i)));
    return out;
}
// UTF-16LE with the terminating NUL, as the platform stores REG_SZ data.
std::vector<uint8_t> Sz(const std::u16string& text) {
    std::vector<uint8_t> out;
    for (char16_t c : text + u'\0') {
        out.push_back(uint8_t(c));
        out.push_back(uint8_t(c >> 8));
    }
    return out;
}

struct Write {
    std::u16string path;
    std::u16string name;
    DWORD type;
    std::vector<uint8_t> data;
};

std::vector<Write> SessionWrites() {
    const std::u16string file =
        u"C:\\Windows\\System32\\drivers\\DriverData\\Quorvin\\KyvMocWbdi.etl";
    const std::u16string guid = u"{9DB83BCD-540D-4ADC-8BF2-35CDBFC629F5}";
    return {
        {kSession, u"Start", REG_DWORD, Dword(1)},
        {kSession, u"BufferSize", REG_DWORD, Dword(4)},
        {kSession, u"ClockType", REG_DWORD, Dword(1)},
        {kSession, u"FileMax", REG_DWORD, Dword(5)},
        {kSession, u"FlushTimer", REG_DWORD, Dword(1)},
        {kSession, u"LogFileMode", REG_DWORD, Dword(2)},
        {kSession, u"MaxFileSize", REG_DWORD, Dword(20)},
        {kSession, u"MaximumBuffers", REG_DWORD, Dword(640)},
        {kSession, u"MinimumBuffers", REG_DWORD, Dword(640)},
        {kSession, u"FileName", REG_SZ, Sz(file)},
        {kSession, u"GUID", REG_SZ, Sz(guid)},
    };
}

std::vector<Write> ProviderWrites(const std::u16string& key) {
    return {
        {key, u"Enabled", REG_DWORD, Dword(1)},
        {key, u"EnableLevel", REG_DWORD, Dword(255)},
        {key, u"EnableProperty", REG_DWORD, Dword(0)},
        {key, u"MatchAllKeyword", REG_QWORD, Qword(0)},
        {key, u"MatchAnyKeyword", REG_QWORD, {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}},
    };
}

// The first `session`, `driver` and `adapter` writes of each key, in order.
std::vector<Write> ExpectedWrites(size_t session, size_t driver, size_t adapter) {
    std::vector<Write> out;
    auto take = [&out](const std::vector<Write>& all, size_t n) {
        out.insert(out.end(), all.begin(), all.begin() + n);
    };
    take(SessionWrites(), session);
    take(ProviderWrites(kDriver), driver);
    take(ProviderWrites(kAdapter), adapter);
    return out;
}

std::vector<RegistryCall> CallsOf(const char* function, bool succeededOnly) {
    std::vector<RegistryCall> out;
    for (auto& call : platform::test::RegistryCalls())
        if (call.function == function && (!succeededOnly || call.result == ERROR_SUCCESS))
            out.push_back(call);
    return out;
}

void ExpectWrites(const std::vector<Write>& expected) {
    auto writes = CallsOf("RegSetValueExW", true);
    ASSERT_EQ(writes.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE("write " + std::to_string(i));
        EXPECT_EQ(writes[i].path, expected[i].path);
        EXPECT_EQ(writes[i].valueName, expected[i].name);
        EXPECT_EQ(writes[i].type, expected[i].type);
        EXPECT_EQ(writes[i].data, expected[i].data);
    }
}

// Every key that was opened is closed once, and no close misses.
void ExpectKeysClosedOnce() {
    EXPECT_EQ(platform::test::OpenRegistryKeyCount(), 0u);
    EXPECT_EQ(platform::test::BadRegistryCloseCount(), 0);
    auto opened = CallsOf("RegCreateKeyExW", true);
    auto closed = CallsOf("RegCloseKey", true);
    ASSERT_EQ(closed.size(), opened.size());
    for (size_t i = 0; i < opened.size(); ++i)
        EXPECT_EQ(closed[i].path, opened[i].path) << "key " << i;
}

LoggedMessage AddRegMessage(const std::string& result) {
    return LoggedMessage{MSG_LEVEL_INFO, "DllMain", 277, "Add Reg lRet: " + result};
}

class AutologgerRegistrationTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::test::ResetAll();
        platform::test::SetOsVersion(10, 0, 19045);
    }
    void TearDown() override { platform::test::ResetAll(); }

    BOOL Attach() { return DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr); }

    moc_test::HubRecorder hub_;
};

TEST_F(AutologgerRegistrationTest, OnlyBuildsBelow22000OrAFailedCheckWriteTheKeys) {
    struct Case {
        DWORD major, minor, build;
        DWORD checkError; // VerifyVersionInfoW fails with this (0: it works)
        bool writes;
    };
    const Case cases[] = {
        {10, 0, 22000, 0, false},
        {10, 0, 22631, 0, false},
        {10, 0, 30000, 0, false},
        {10, 0, 21999, 0, true},
        {10, 0, 19045, 0, true},
        {10, 0, 9200, 0, true},
        {10, 0, 22631, ERROR_INVALID_PARAMETER, true},
        // Only the build number is compared: a test that also took major and
        // minor into account would write the keys on 6.3 build 22000.
        {6, 3, 22000, 0, false},
        {11, 0, 21999, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("version " + std::to_string(c.major) + "." + std::to_string(c.minor) +
                     " build " + std::to_string(c.build) + " check error " +
                     std::to_string(c.checkError));
        platform::test::ResetAll();
        hub_.messages().clear();
        platform::test::SetOsVersion(c.major, c.minor, c.build);
        platform::test::FailVersionCheck(c.checkError);

        EXPECT_EQ(Attach(), TRUE);

        if (c.writes) {
            EXPECT_EQ(CallsOf("RegSetValueExW", true).size(), 21u);
            EXPECT_EQ(hub_.messages(), std::vector<LoggedMessage>{AddRegMessage("0")});
        } else {
            EXPECT_TRUE(platform::test::RegistryCalls().empty());
            EXPECT_TRUE(hub_.messages().empty());
        }
    }
}

TEST_F(AutologgerRegistrationTest, OlderBuildWritesTheExactTreeInOrder) {
    EXPECT_EQ(Attach(), TRUE);

    ExpectWrites(ExpectedWrites(11, 5, 5));
    ExpectKeysClosedOnce();
    EXPECT_EQ(hub_.messages(), std::vector<LoggedMessage>{AddRegMessage("0")});

    // The tree holds exactly these values, the keys non-volatile, and no other
    // key beside the levels leading to them.
    struct Key {
        std::u16string path;
        std::vector<Write> values;
    };
    const Key keys[] = {{kSession, SessionWrites()},
                        {kDriver, ProviderWrites(kDriver)},
                        {kAdapter, ProviderWrites(kAdapter)}};
    for (const Key& key : keys) {
        auto found = platform::test::FindRegistryKey(key.path);
        ASSERT_TRUE(found.has_value());
        EXPECT_FALSE(found->isVolatile);
        ASSERT_EQ(found->values.size(), key.values.size());
        for (size_t i = 0; i < key.values.size(); ++i) {
            EXPECT_EQ(found->values[i].name, key.values[i].name);
            EXPECT_EQ(found->values[i].type, key.values[i].type);
            EXPECT_EQ(found->values[i].data, key.values[i].data);
        }
    }
    std::vector<std::u16string> paths;
    for (const auto& key : platform::test::RegistryKeys())
        paths.push_back(key.path);
    const std::vector<std::u16string> expected = {
        u"SYSTEM",
        u"SYSTEM\\CurrentControlSet",
        u"SYSTEM\\CurrentControlSet\\Control",
        u"SYSTEM\\CurrentControlSet\\Control\\WMI",
        u"SYSTEM\\CurrentControlSet\\Control\\WMI\\Autologger",
        kSession,
        kDriver,
        kAdapter};
    EXPECT_EQ(paths, expected);
}

TEST_F(AutologgerRegistrationTest, AdapterSubkeyIsNamedByTheAdapterProviderGuid) {
    Attach();
    const GUID& g = AdapterTraceControlGuid;
    char text[40];
    std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1,
                  g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                  g.Data4[5], g.Data4[6], g.Data4[7]);
    const std::u16string name(text, text + 38);
    EXPECT_TRUE(platform::test::FindRegistryKey(kSession + u"\\" + name).has_value());
}

TEST_F(AutologgerRegistrationTest, EveryLoadRewritesTheSameValues) {
    Attach();
    const auto first = platform::test::RegistryKeys();
    platform::test::ClearRegistryCalls();

    Attach();

    ExpectWrites(ExpectedWrites(11, 5, 5));
    ExpectKeysClosedOnce();
    const auto second = platform::test::RegistryKeys();
    ASSERT_EQ(second.size(), first.size());
    for (size_t i = 0; i < first.size(); ++i) {
        ASSERT_EQ(second[i].values.size(), first[i].values.size());
        for (size_t v = 0; v < first[i].values.size(); ++v)
            EXPECT_EQ(second[i].values[v].data, first[i].values[v].data);
    }
    EXPECT_EQ(hub_.messages().size(), 2u);
}

TEST_F(AutologgerRegistrationTest, FailureStopsAtTheFailingCallAndClosesEveryKey) {
    struct Case {
        const char* what;
        const char* function; // null: write access to the hive is denied
        int occurrence;
        LSTATUS error;
        size_t session, driver, adapter; // values written to each key
        std::string result;
    };
    const Case cases[] = {
        {"session key", "RegCreateKeyExW", 1, ERROR_NOT_ENOUGH_MEMORY, 0, 0, 0, "0x8"},
        {"no write access", nullptr, 0, 0, 0, 0, 0, "0x5"},
        {"third session value", "RegSetValueExW", 3, ERROR_INVALID_PARAMETER, 2, 0, 0, "0x57"},
        {"last session value", "RegSetValueExW", 11, ERROR_DISK_FULL, 10, 0, 0, "0x70"},
        // Only this failure is skipped: the adapter's subkey is still written.
        {"driver subkey", "RegCreateKeyExW", 2, ERROR_ACCESS_DENIED, 11, 0, 5, "0"},
        {"driver subkey value", "RegSetValueExW", 14, ERROR_FILE_NOT_FOUND, 11, 2, 0, "0x2"},
        {"adapter subkey", "RegCreateKeyExW", 3, ERROR_ACCESS_DENIED, 11, 5, 0, "0x5"},
        {"adapter subkey value", "RegSetValueExW", 19, ERROR_INVALID_PARAMETER, 11, 5, 2, "0x57"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        platform::test::ResetAll();
        hub_.messages().clear();
        if (c.function != nullptr)
            platform::test::FailRegistryCall(c.function, c.occurrence, c.error);
        else
            platform::test::DenyRegistryWrite(true);

        EXPECT_EQ(Attach(), TRUE);

        ExpectWrites(ExpectedWrites(c.session, c.driver, c.adapter));
        ExpectKeysClosedOnce();
        EXPECT_EQ(hub_.messages(), std::vector<LoggedMessage>{AddRegMessage(c.result)});
        // Nothing after the failure is tried.
        auto calls = platform::test::RegistryCalls();
        if (c.result != "0") {
            auto failed = std::find_if(calls.begin(), calls.end(), [](const RegistryCall& call) {
                return call.result != ERROR_SUCCESS;
            });
            ASSERT_NE(failed, calls.end());
            for (auto it = failed + 1; it != calls.end(); ++it)
                EXPECT_EQ(it->function, "RegCloseKey");
        }
    }
}

TEST_F(AutologgerRegistrationTest, OtherReasonsDoNothing) {
    for (DWORD reason : {DWORD(DLL_PROCESS_DETACH), DWORD(DLL_THREAD_ATTACH),
                         DWORD(DLL_THREAD_DETACH), DWORD(7)}) {
        EXPECT_EQ(DllMain(nullptr, reason, nullptr), TRUE) << reason;
    }
    EXPECT_TRUE(platform::test::RegistryCalls().empty());
    EXPECT_TRUE(hub_.messages().empty());
}

} // namespace
