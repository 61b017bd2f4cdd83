// The util library as the hosting process loads it: its load runs the
// registration, it exports EntryPoint alone, and beside the adapter library
// each keeps its own log hub.
#include <dlfcn.h>
#include <elf.h>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>
#include <gtest/gtest.h>
#include <platform/test.h>
#include "support/log_recorder.h"

namespace {

struct DynamicSymbol {
    std::string name;
    bool defined;
    unsigned char binding;
};

struct DynamicInfo {
    std::vector<DynamicSymbol> symbols;
    std::vector<std::string> needed;
};

// Reads .dynsym and the DT_NEEDED entries of a 64-bit ELF file, checking
// every offset against the file's size.
bool ReadDynamicInfo(const char* path, DynamicInfo* info) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto fits = [&file](uint64_t offset, uint64_t size) {
        return offset <= file.size() && size <= file.size() - offset;
    };
    if (!fits(0, sizeof(Elf64_Ehdr)))
        return false;
    const auto* header = reinterpret_cast<const Elf64_Ehdr*>(file.data());
    if (header->e_ident[EI_CLASS] != ELFCLASS64 || header->e_shentsize != sizeof(Elf64_Shdr) ||
        !fits(header->e_shoff, uint64_t(header->e_shnum) * sizeof(Elf64_Shdr)))
        return false;
    const auto* sections = reinterpret_cast<const Elf64_Shdr*>(file.data() + header->e_shoff);
    auto text = [&](const Elf64_Shdr& table, uint64_t offset) -> std::string {
        if (offset >= table.sh_size || !fits(table.sh_offset, table.sh_size))
            return std::string();
        const char* begin = file.data() + table.sh_offset + offset;
        return std::string(begin, strnlen(begin, table.sh_size - offset));
    };
    for (unsigned i = 0; i < header->e_shnum; ++i) {
        const Elf64_Shdr& section = sections[i];
        if (section.sh_link >= header->e_shnum || !fits(section.sh_offset, section.sh_size))
            continue;
        const Elf64_Shdr& strings = sections[section.sh_link];
        if (section.sh_type == SHT_DYNSYM) {
            const auto* symbols =
                reinterpret_cast<const Elf64_Sym*>(file.data() + section.sh_offset);
            for (size_t s = 1; s < section.sh_size / sizeof(Elf64_Sym); ++s)
                info->symbols.push_back(DynamicSymbol{
                    text(strings, symbols[s].st_name), symbols[s].st_shndx != SHN_UNDEF,
                    static_cast<unsigned char>(ELF64_ST_BIND(symbols[s].st_info))});
        } else if (section.sh_type == SHT_DYNAMIC) {
            const auto* entries =
                reinterpret_cast<const Elf64_Dyn*>(file.data() + section.sh_offset);
            for (size_t e = 0; e < section.sh_size / sizeof(Elf64_Dyn); ++e)
                if (entries[e].d_tag == DT_NEEDED)
                    info->needed.push_back(text(strings, entries[e].d_un.d_val));
        }
    }
    return true;
}

std::set<std::string> DefinedNames(const DynamicInfo& info) {
    std::set<std::string> out;
    for (const auto& symbol : info.symbols)
        if (symbol.defined && !symbol.name.empty())
            out.insert(symbol.name);
    return out;
}

// A symbol through which two libraries could end up with one hub: any hub,
// responder or module entry name in the dynamic table, defined or wanted, and
// any unique-binding object, which the loader merges across libraries.
void ExpectNoSharedHubSymbol(const char* path) {
    SCOPED_TRACE(path);
    DynamicInfo info;
    ASSERT_TRUE(ReadDynamicInfo(path, &info));
    for (const auto& symbol : info.symbols) {
        for (const char* part :
             {"CMsg", "IResponder", "ResPonder", "DestroyMsgInstance", "DllMain"})
            EXPECT_EQ(symbol.name.find(part), std::string::npos) << symbol.name;
        EXPECT_NE(symbol.binding, STB_GNU_UNIQUE) << symbol.name;
    }
}

class UtilLibraryTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::test::ResetAll();
        platform::test::SetOsVersion(10, 0, 19045);
    }
    void TearDown() override {
        for (auto it = handles_.rbegin(); it != handles_.rend(); ++it)
            dlclose(*it);
        platform::test::ResetAll();
    }
    void* Load(const char* path, int mode = RTLD_NOW | RTLD_LOCAL) {
        void* handle = dlopen(path, mode);
        if (handle != nullptr)
            handles_.push_back(handle);
        return handle;
    }

    // The test process's own hub: the libraries must not reach it.
    moc_test::HubRecorder processHub_;

private:
    std::vector<void*> handles_;
};

TEST_F(UtilLibraryTest, LoadRegistersTheAutologgerAndExportsOnlyEntryPoint) {
    void* util = Load(MOC_UTIL_LIBRARY);
    ASSERT_NE(util, nullptr) << dlerror();

    const std::u16string session =
        u"SYSTEM\\CurrentControlSet\\Control\\WMI\\Autologger\\KyvMocWbdi";
    auto key = platform::test::FindRegistryKey(session);
    ASSERT_TRUE(key.has_value());
    EXPECT_EQ(key->values.size(), 11u);
    for (const char16_t* provider : {u"\\{F7B941EE-EA5A-4984-927B-8DF3218DE3C8}",
                                     u"\\{E1A44DA1-D546-4FF9-A1C7-A4F4FED9A9A4}"}) {
        auto subkey = platform::test::FindRegistryKey(session + provider);
        ASSERT_TRUE(subkey.has_value());
        EXPECT_EQ(subkey->values.size(), 5u);
    }
    EXPECT_EQ(platform::test::OpenRegistryKeyCount(), 0u);

    EXPECT_NE(dlsym(util, "EntryPoint"), nullptr);
    for (const char* hidden : {"DllMain", "g_ServiceStatus", "g_ServiceStatusHandle"})
        EXPECT_EQ(dlsym(util, hidden), nullptr) << hidden;
    DynamicInfo info;
    ASSERT_TRUE(ReadDynamicInfo(MOC_UTIL_LIBRARY, &info));
    EXPECT_EQ(DefinedNames(info), std::set<std::string>{"EntryPoint"});

    // The util library neither needs nor loads the adapter library.
    for (const auto& needed : info.needed)
        EXPECT_EQ(needed.find("TolviMocAdapter"), std::string::npos) << needed;
    EXPECT_EQ(dlopen(MOC_ADAPTER_LIBRARY, RTLD_NOW | RTLD_NOLOAD), nullptr);
    EXPECT_TRUE(processHub_.messages().empty());
}

TEST_F(UtilLibraryTest, EntryPointRunsTheServiceThroughTheExport) {
    void* util = Load(MOC_UTIL_LIBRARY);
    ASSERT_NE(util, nullptr) << dlerror();
    auto entryPoint = reinterpret_cast<void (*)()>(dlsym(util, "EntryPoint"));
    ASSERT_NE(entryPoint, nullptr);

    entryPoint(); // not started by the service control manager: logged and returns
    EXPECT_TRUE(platform::test::ReportedServiceStatuses().empty());

    platform::test::SetStartedByServiceManager(u"KyvMocUtil");
    entryPoint();
    auto statuses = platform::test::ReportedServiceStatuses();
    ASSERT_EQ(statuses.size(), 1u);
    EXPECT_EQ(statuses[0].dwCurrentState, SERVICE_STOPPED);
    EXPECT_TRUE(platform::test::SendServiceControl(SERVICE_CONTROL_INTERROGATE));
    EXPECT_EQ(platform::test::ReportedServiceStatuses().size(), 2u);

    // The library's messages went to its own hub, none to the process's.
    EXPECT_TRUE(processHub_.messages().empty());
}

TEST_F(UtilLibraryTest, BothLibrariesLoadIntoOneProcessWithTheirOwnHubs) {
    // Global loading makes whatever one library exported available to the
    // other: a hub symbol in either table would be bound across them.
    void* adapter = Load(MOC_ADAPTER_LIBRARY, RTLD_NOW | RTLD_GLOBAL);
    ASSERT_NE(adapter, nullptr) << dlerror();
    void* util = Load(MOC_UTIL_LIBRARY, RTLD_NOW | RTLD_GLOBAL);
    ASSERT_NE(util, nullptr) << dlerror();

    EXPECT_TRUE(platform::test::FindRegistryKey(
                    u"SYSTEM\\CurrentControlSet\\Control\\WMI\\Autologger\\KyvMocWbdi")
                    .has_value());
    auto entryPoint = reinterpret_cast<void (*)()>(dlsym(util, "EntryPoint"));
    ASSERT_NE(entryPoint, nullptr);
    platform::test::SetStartedByServiceManager(u"KyvMocUtil");
    entryPoint();
    EXPECT_EQ(platform::test::ReportedServiceStatuses().size(), 1u);
    EXPECT_EQ(dlsym(adapter, "EntryPoint"), nullptr);

    ExpectNoSharedHubSymbol(MOC_UTIL_LIBRARY);
    ExpectNoSharedHubSymbol(MOC_ADAPTER_LIBRARY);
    EXPECT_TRUE(processHub_.messages().empty());
}

} // namespace
