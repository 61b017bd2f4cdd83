// Loads the real adapter library the way the biometric service does: its
// module entry runs from the loader and talks to the platform's trace
// controller, which the test process shares with it.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <platform/test.h>

namespace {

namespace pt = platform::test;

// The library's control GUID, as a trace session names it from outside.
constexpr GUID kControl = {
    0xE1A44DA1, 0xD546, 0x4FF9, {0xA1, 0xC7, 0xA4, 0xF4, 0xFE, 0xD9, 0xA9, 0xA4}};
constexpr GUID kModuleEntry = {
    0x81DBB5CD, 0x7953, 0x3C54, {0x8E, 0x02, 0x77, 0x37, 0xDF, 0x6D, 0xC6, 0xE6}};

class AdapterLibraryTest : public ::testing::Test {
protected:
    void SetUp() override { pt::ResetAll(); }
    void TearDown() override {
        if (library_ != nullptr)
            dlclose(library_);
        pt::ResetAll();
    }
    void Load() {
        library_ = dlopen(MOC_ADAPTER_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library_, nullptr) << dlerror();
    }
    void Unload() {
        ASSERT_EQ(dlclose(library_), 0) << dlerror();
        library_ = nullptr;
    }
    static std::vector<USHORT> ModuleEntryNumbers() {
        std::vector<USHORT> numbers;
        for (const auto& s : pt::CapturedTraces()) {
            EXPECT_EQ(s.guid, kModuleEntry);
            EXPECT_EQ(s.flags, 0x2Bu);
            EXPECT_EQ(s.logger, pt::TraceSessionLogger(kControl));
            EXPECT_TRUE(s.args.empty());
            numbers.push_back(s.number);
        }
        return numbers;
    }

    void* library_ = nullptr;
};

TEST_F(AdapterLibraryTest, SessionEnabledBeforeLoadSeesLoadAndUnload) {
    pt::EnableTraceSession(kControl, TRACE_LEVEL_INFORMATION, 0x1);
    Load();
    EXPECT_TRUE(pt::IsTraceProviderRegistered(kControl));
    EXPECT_EQ(ModuleEntryNumbers(), std::vector<USHORT>({10}));
    // The module entry stays inside the library, as a DLL's does.
    EXPECT_EQ(dlsym(library_, "DllMain"), nullptr);

    Unload();
    EXPECT_EQ(ModuleEntryNumbers(), std::vector<USHORT>({10, 11}));
    EXPECT_FALSE(pt::IsTraceProviderRegistered(kControl));
    EXPECT_EQ(pt::TraceRegisterCalls(), 1);
    EXPECT_EQ(pt::TraceUnregisterCalls(), 1);
}

TEST_F(AdapterLibraryTest, SessionsStartedAndStoppedWhileLoadedReachTheProvider) {
    struct Case {
        const char* name;
        bool enableAfterLoad;
        bool disableBeforeUnload;
        std::vector<USHORT> numbers;
    };
    const Case cases[] = {
        {"never enabled", false, false, {}},
        {"enabled while loaded", true, false, {11}},
        {"enabled then disabled", true, true, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        pt::ResetAll();
        Load();
        EXPECT_TRUE(pt::IsTraceProviderRegistered(kControl));
        if (c.enableAfterLoad)
            pt::EnableTraceSession(kControl, TRACE_LEVEL_INFORMATION, 0x1);
        if (c.disableBeforeUnload)
            pt::DisableTraceSession(kControl);
        Unload();
        EXPECT_EQ(ModuleEntryNumbers(), c.numbers);
        EXPECT_FALSE(pt::IsTraceProviderRegistered(kControl));
        EXPECT_EQ(pt::TraceUnregisterCalls(), 1);
    }
}

} // namespace
