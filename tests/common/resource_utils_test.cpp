#include "common/resource_utils.h"

#include <cstring>
#include <regex>
#include <string>
#include <vector>
#include <gtest/gtest.h>
#include <platform/test.h>

namespace {

using platform::test::AddModuleResource;
using platform::test::BuildVersionResource;

const std::vector<uint8_t> kBlob = {1, 2, 3, 4, 5, 6, 7, 8};

class ResourceUtilsTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::test::ResetAll();
        module = platform::test::RegisterModule(u"fixture.dll");
        AddModuleResource(module, u"BINARY", 5, kBlob);
        AddModuleResource(module, RT_RCDATA_ID, 6, kBlob); // same id, another type
        AddModuleResource(module, RT_VERSION_ID, VS_VERSION_INFO,
                          BuildVersionResource(2, 5, 1024, 7));
        platform::test::RegisterModule(u"plain.dll");
    }
    void TearDown() override { platform::test::ResetAll(); }

    static constexpr WORD RT_RCDATA_ID = 10;
    static constexpr WORD RT_VERSION_ID = 16;
    HMODULE module = nullptr;
};

TEST_F(ResourceUtilsTest, GetBinaryResourceSize) {
    HMODULE main = platform::test::RegisterModule(u"");
    AddModuleResource(main, u"BINARY", 9, {1, 2, 3});
    struct Case {
        DWORD id;
        const WCHAR* module;
        DWORD expected;
    } cases[] = {
        {5, u"fixture.dll", 8},
        {5, u"FIXTURE.DLL", 8},
        {0x10005, u"fixture.dll", 8}, // only the low 16 bits name it
        {6, u"fixture.dll", 0},       // not of type "BINARY"
        {7, u"fixture.dll", 0},
        {5, u"plain.dll", 0},
        {5, u"missing.dll", 0},
        {9, nullptr, 3}, // the main executable
        {5, nullptr, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(GetBinaryResourceSize(c.id, c.module), c.expected) << c.id;

    platform::test::FailLoadResource(module, true);
    EXPECT_EQ(GetBinaryResourceSize(5, u"fixture.dll"), 0u);
}

TEST_F(ResourceUtilsTest, LoadBinaryResourceChecksTheDestinationSize) {
    struct Case {
        DWORD id;
        DWORD size;
        bool result;
    } cases[] = {{5, 8, true}, {5, 7, false}, {5, 12, true}, {7, 12, false}, {5, 0, false}};
    for (const Case& c : cases) {
        std::vector<uint8_t> destination(16, 0xEE);
        EXPECT_EQ(LoadBinaryResource(c.id, destination.data(), c.size, u"fixture.dll"), c.result)
            << c.size;
        std::vector<uint8_t> expected(16, 0xEE);
        if (c.result) {
            std::fill(expected.begin(), expected.begin() + c.size, 0);
            std::copy(kBlob.begin(), kBlob.end(), expected.begin());
        }
        EXPECT_EQ(destination, expected) << c.size;
    }
    EXPECT_FALSE(LoadBinaryResource(5, nullptr, 8, u"fixture.dll"));
    platform::test::FailLoadResource(module, true);
    std::vector<uint8_t> destination(16, 0xEE);
    EXPECT_FALSE(LoadBinaryResource(5, destination.data(), 16, u"fixture.dll"));
    EXPECT_EQ(destination, std::vector<uint8_t>(16, 0xEE));
}

TEST_F(ResourceUtilsTest, ModuleVersion) {
    char text[32];
    std::memset(text, '#', sizeof(text));
    EXPECT_EQ(GetModuleVersionString(text, sizeof(text), u"fixture.dll"), 10);
    EXPECT_STREQ(text, "2.5.1024.7");
    EXPECT_EQ(text[31], 0); // the whole destination is cleared first

    DWORD high = 0, low = 0;
    GetModuleVersion(&high, &low, u"fixture.dll");
    EXPECT_EQ(high, 0x00020005u);
    EXPECT_EQ(low, 0x04000007u);

    std::memset(text, '#', sizeof(text));
    EXPECT_EQ(GetModuleVersionString(text, sizeof(text), u"plain.dll"), 0);
    EXPECT_EQ(text[0], '#');
    high = low = 0xABCD;
    GetModuleVersion(&high, &low, u"plain.dll");
    EXPECT_EQ(high, 0xABCDu);
    EXPECT_EQ(low, 0xABCDu);
}

TEST_F(ResourceUtilsTest, ModuleVersionStringNeverOverrunsTheDestination) {
    AddModuleResource(module, RT_VERSION_ID, VS_VERSION_INFO,
                      BuildVersionResource(65535, 65535, 65535, 65535));
    struct Case {
        DWORD size;
        int result;
    } cases[] = {{24, 23}, {23, 0}, {8, 0}, {1, 0}};
    for (const Case& c : cases) {
        char text[40];
        std::memset(text, '#', sizeof(text));
        EXPECT_EQ(GetModuleVersionString(text, c.size, u"fixture.dll"), c.result) << c.size;
        EXPECT_EQ(text[c.size], '#') << c.size;
        if (c.result > 0)
            EXPECT_STREQ(text, "65535.65535.65535.65535");
        else
            EXPECT_EQ(text[0], 0) << c.size;
    }
}

TEST_F(ResourceUtilsTest, DamagedVersionBlocksGiveNoVersion) {
    const std::vector<uint8_t> good = BuildVersionResource(2, 5, 1024, 7);
    auto patched = [&](size_t at, std::vector<uint8_t> bytes) {
        std::vector<uint8_t> block = good;
        std::copy(bytes.begin(), bytes.end(), block.begin() + at);
        return block;
    };
    struct Case {
        const char* name;
        std::vector<uint8_t> block;
    } cases[] = {
        {"cut inside the fixed record", std::vector<uint8_t>(good.begin(), good.begin() + 60)},
        {"length word too small for it", patched(0, {60, 0})},
        {"value length below the record", patched(2, {40, 0})},
        {"no value", patched(2, {0, 0})},
        {"signature missing", patched(40, {0, 0, 0, 0})},
        {"a single byte", {92}},
        {"empty", {}},
    };
    for (const Case& c : cases) {
        AddModuleResource(module, RT_VERSION_ID, VS_VERSION_INFO, c.block);
        char text[32];
        std::memset(text, '#', sizeof(text));
        EXPECT_EQ(GetModuleVersionString(text, sizeof(text), u"fixture.dll"), 0) << c.name;
        EXPECT_EQ(text[0], '#') << c.name;
        DWORD high = 0xABCD, low = 0xABCD;
        GetModuleVersion(&high, &low, u"fixture.dll");
        EXPECT_EQ(high, 0xABCDu) << c.name;
        EXPECT_EQ(low, 0xABCDu) << c.name;
    }
}

TEST(StringConversionTest, RoundTripsUpToTheFirstNul) {
    struct Case {
        std::u16string wide;
        std::string narrow;
    } cases[] = {
        {u"", ""},
        {u"plain ASCII", "plain ASCII"},
        {u"Gr\u00fc\u00dfe \u20ac", "Gr\xc3\xbc\xc3\x9f"
                                    "e \xe2\x82\xac"},
        {u"\U0001F600", "\xf0\x9f\x98\x80"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(WideStringToString(c.wide), c.narrow);
        EXPECT_EQ(StringToWideString(c.narrow), c.wide);
    }
    EXPECT_EQ(WideStringToString(std::u16string(u"ab\0cd", 5)), "ab");
    EXPECT_EQ(StringToWideString(std::string("ab\0cd", 5)), u"ab");
}

TEST(StringConversionTest, FailedConversionsThrowTheirHResult) {
    const HRESULT noTranslation = HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION);
    for (const std::string& narrow :
         {std::string("\xff"), std::string("ab\xc3"), std::string("\xc0\xaf")}) {
        try {
            StringToWideString(narrow);
            ADD_FAILURE() << "no exception";
        } catch (const HResultError& e) {
            EXPECT_EQ(e.Code(), noTranslation);
        }
    }
    // The wide way passes no flag, so in a UTF-8 code page an unpaired
    // surrogate is no failure: the platform puts U+FFFD in its place.
    EXPECT_EQ(WideStringToString(u"a\xD800"), "a\xef\xbf\xbd");
    EXPECT_EQ(WideStringToString(u"\xDC00z"), "\xef\xbf\xbdz");
}

TEST(SplitTest, SplitStringCollectsTheMatches) {
    struct Case {
        std::string text;
        std::string pattern;
        std::vector<std::string> expected;
    } cases[] = {
        {"a1b22c333", "[0-9]+", {"1", "22", "333"}},
        {"abc", "[0-9]+", {}},
        {"", "[0-9]+", {}},
        {"ab", "x*", {"", "", ""}}, // an empty match at each position, the end included
        {"aXbxc", "x", {"x"}},      // case-sensitive
    };
    for (const Case& c : cases)
        EXPECT_EQ(SplitString(c.text, c.pattern), c.expected) << c.text << " / " << c.pattern;
    EXPECT_THROW(SplitString("abc", "("), std::regex_error);
}

TEST(SplitTest, SplitWideStringCollectsThePiecesBetweenMatches) {
    struct Case {
        std::u16string text;
        std::u16string pattern;
        std::vector<std::u16string> expected;
    } cases[] = {
        {u"a,b,,c", u",", {u"a", u"b", u"", u"c"}},
        {u"a,b,", u",", {u"a", u"b"}},
        {u",a", u",", {u"", u"a"}},
        {u"", u",", {u""}},
        {u"abc", u",", {u"abc"}},
        {u"one  two three", u" +", {u"one", u"two", u"three"}},
        // A character outside the basic plane is two units, as on the platform.
        {u"a\U0001F600b", u"\U0001F600", {u"a", u"b"}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(SplitWideString(c.text, c.pattern), c.expected);
    EXPECT_THROW(SplitWideString(u"abc", u"[a"), std::regex_error);
}

} // namespace
