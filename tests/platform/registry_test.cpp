// The stand-in's registry: the platform behaviour the service's tests rely on.
#include <string>
#include <vector>
#include <gtest/gtest.h>
#include <platform/test.h>

namespace {

class StandInRegistryTest : public ::testing::Test {
protected:
    void SetUp() override { platform::test::ResetAll(); }
    void TearDown() override { platform::test::ResetAll(); }
};

HKEY Create(HKEY parent, const char16_t* path, REGSAM access = KEY_WRITE,
            DWORD* disposition = nullptr, LSTATUS* status = nullptr) {
    HKEY key = nullptr;
    LSTATUS s = RegCreateKeyExW(parent, path, 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr,
                                &key, disposition);
    if (status != nullptr)
        *status = s;
    return key;
}

// What creating `path` under `parent` for writing reports.
LSTATUS CreateStatus(HKEY parent, const char16_t* path) {
    LSTATUS s = ERROR_SUCCESS;
    Create(parent, path, KEY_WRITE, nullptr, &s);
    return s;
}

LSTATUS SetDword(HKEY key, const char16_t* name, DWORD value) {
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof(value));
}

TEST_F(StandInRegistryTest, RegistryCreatesMissingLevelsAndMatchesNamesWithoutCase) {
    DWORD disposition = 0;
    HKEY deep = Create(HKEY_LOCAL_MACHINE, u"Soft\\Vendor\\App", KEY_WRITE, &disposition);
    ASSERT_NE(deep, nullptr);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    HKEY same = Create(HKEY_LOCAL_MACHINE, u"SOFT\\vendor\\app", KEY_WRITE, &disposition);
    ASSERT_NE(same, nullptr);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    HKEY child = Create(same, u"Child", KEY_WRITE, &disposition);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);

    EXPECT_EQ(SetDword(deep, u"Value", 1), ERROR_SUCCESS);
    EXPECT_EQ(SetDword(same, u"Other", 2), ERROR_SUCCESS);
    EXPECT_EQ(SetDword(same, u"VALUE", 3), ERROR_SUCCESS); // rewrites "Value" in place

    std::vector<std::u16string> paths;
    for (const auto& key : platform::test::RegistryKeys())
        paths.push_back(key.path);
    EXPECT_EQ(paths, (std::vector<std::u16string>{u"Soft", u"Soft\\Vendor", u"Soft\\Vendor\\App",
                                                  u"Soft\\Vendor\\App\\Child"}));
    auto app = platform::test::FindRegistryKey(u"soft\\VENDOR\\App");
    ASSERT_TRUE(app.has_value());
    ASSERT_EQ(app->values.size(), 2u);
    EXPECT_EQ(app->values[0].name, u"Value");
    EXPECT_EQ(app->values[0].data, (std::vector<uint8_t>{3, 0, 0, 0}));
    EXPECT_EQ(app->values[1].name, u"Other");

    EXPECT_EQ(platform::test::OpenRegistryKeyCount(), 3u);
    for (HKEY key : {deep, same, child})
        EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(platform::test::OpenRegistryKeyCount(), 0u);
}

TEST_F(StandInRegistryTest, RegistryRejectsBadCallsWithoutChangingTheTree) {
    HKEY open = Create(HKEY_LOCAL_MACHINE, u"Key");
    HKEY readOnly = Create(HKEY_LOCAL_MACHINE, u"Key", KEY_READ);
    HKEY closed = Create(HKEY_LOCAL_MACHINE, u"Closed");
    ASSERT_EQ(RegCloseKey(closed), ERROR_SUCCESS);
    const DWORD one = 1;
    struct Case {
        const char* what;
        std::function<LSTATUS()> call;
        LSTATUS expected;
    };
    const Case cases[] = {
        {"null result",
         [] {
             return RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"New", 0, nullptr, 0, KEY_WRITE, nullptr,
                                    nullptr, nullptr);
         },
         ERROR_INVALID_PARAMETER},
        {"empty level", [] { return CreateStatus(HKEY_LOCAL_MACHINE, u"New\\\\Level"); },
         ERROR_INVALID_PARAMETER},
        {"leading separator", [] { return CreateStatus(HKEY_LOCAL_MACHINE, u"\\New"); },
         ERROR_INVALID_PARAMETER},
        {"closed parent", [closed] { return CreateStatus(closed, u"New"); }, ERROR_INVALID_HANDLE},
        {"subkey under a read-only key", [readOnly] { return CreateStatus(readOnly, u"New"); },
         ERROR_ACCESS_DENIED},
        {"value on a read-only key", [readOnly] { return SetDword(readOnly, u"V", 1); },
         ERROR_ACCESS_DENIED},
        {"value on a closed key", [closed] { return SetDword(closed, u"V", 1); },
         ERROR_INVALID_HANDLE},
        {"null data with a size",
         [open] { return RegSetValueExW(open, u"V", 0, REG_DWORD, nullptr, 4); }, ERROR_NOACCESS},
        {"value on the hive itself",
         [&one] {
             return RegSetValueExW(HKEY_LOCAL_MACHINE, u"V", 0, REG_DWORD,
                                   reinterpret_cast<const BYTE*>(&one), 4);
         },
         ERROR_ACCESS_DENIED},
        {"second close", [closed] { return RegCloseKey(closed); }, ERROR_INVALID_HANDLE},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.call(), c.expected) << c.what;

    EXPECT_EQ(platform::test::BadRegistryCloseCount(), 1);
    std::vector<std::u16string> paths;
    for (const auto& key : platform::test::RegistryKeys()) {
        paths.push_back(key.path);
        EXPECT_TRUE(key.values.empty());
    }
    EXPECT_EQ(paths, (std::vector<std::u16string>{u"Key", u"Closed"}));
    RegCloseKey(open);
    RegCloseKey(readOnly);
    EXPECT_EQ(platform::test::OpenRegistryKeyCount(), 0u);
}

TEST_F(StandInRegistryTest, RegistryFailsTheChosenCallAndDeniesWriteAccess) {
    platform::test::FailRegistryCall("RegCreateKeyExW", 2, ERROR_NOT_ENOUGH_MEMORY);
    LSTATUS status[3];
    HKEY keys[3];
    const char16_t* names[3] = {u"A", u"B", u"C"};
    for (int i = 0; i < 3; ++i)
        keys[i] = Create(HKEY_LOCAL_MACHINE, names[i], KEY_WRITE, nullptr, &status[i]);
    EXPECT_EQ(status[0], ERROR_SUCCESS);
    EXPECT_EQ(status[1], ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(keys[1], nullptr);
    EXPECT_EQ(status[2], ERROR_SUCCESS);
    EXPECT_FALSE(platform::test::FindRegistryKey(u"B").has_value());
    auto calls = platform::test::RegistryCalls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[1].path, u"B");
    EXPECT_EQ(calls[1].result, ERROR_NOT_ENOUGH_MEMORY);

    platform::test::DenyRegistryWrite(true);
    LSTATUS denied;
    EXPECT_EQ(Create(HKEY_LOCAL_MACHINE, u"D", KEY_WRITE, nullptr, &denied), nullptr);
    EXPECT_EQ(denied, ERROR_ACCESS_DENIED);
    EXPECT_EQ(Create(HKEY_LOCAL_MACHINE, u"A", KEY_WRITE, nullptr, &denied), nullptr);
    EXPECT_EQ(denied, ERROR_ACCESS_DENIED);
    HKEY reader = Create(HKEY_LOCAL_MACHINE, u"A", KEY_READ, nullptr, &denied);
    EXPECT_EQ(denied, ERROR_SUCCESS);
    EXPECT_FALSE(platform::test::FindRegistryKey(u"D").has_value());
    for (HKEY key : {keys[0], keys[2], reader})
        RegCloseKey(key);
}

} // namespace
