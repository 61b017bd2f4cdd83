// Loaded modules with their resources, and the version block query. Modules
// are fixtures that tests register; the main executable is always there.
#include <cstring>
#include <memory>
#include <vector>
#include "internal.h"
#include "platform/test_modules.h"

namespace platform::detail {
namespace {

// A resource type or name: an integer id or a string, as the platform keeps them.
struct ResourceKey {
    bool isInteger = true;
    WORD id = 0;
    std::u16string text;
};

struct Resource {
    ResourceKey type;
    WORD id = 0;
    std::vector<uint8_t> bytes;
};

struct Module {
    std::u16string name;
    HMODULE handle = nullptr;
    bool failLoad = false;
    std::vector<std::unique_ptr<Resource>> resources;
};

struct State {
    std::mutex mutex;
    std::vector<std::unique_ptr<Module>> modules;
    uintptr_t nextHandle = 0;
};

// Handles are made-up addresses that are never dereferenced, so a stale or
// foreign handle is only ever looked up, never followed.
constexpr uintptr_t kHandleBase = 0x7f0000000000;
constexpr uintptr_t kHandleStep = 0x10000;

HMODULE NewHandle(State& s) {
    return reinterpret_cast<HMODULE>(kHandleBase + kHandleStep * s.nextHandle++);
}

void SetDefaults(State& s) {
    s.modules.clear();
    auto main = std::make_unique<Module>();
    main->handle = NewHandle(s);
    s.modules.push_back(std::move(main));
}

State& state() {
    static State& s = *new State;
    static const bool initialized = (SetDefaults(s), true);
    (void)initialized;
    return s;
}

ResetHook g_resetModules([] {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    SetDefaults(s);
});

char16_t Lower(char16_t c) {
    return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
}

bool EqualNoCase(const std::u16string& a, const std::u16string& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i]))
            return false;
    return true;
}

Module* FindModule(State& s, HMODULE handle) {
    if (handle == nullptr)
        return s.modules.front().get();
    for (auto& module : s.modules)
        if (module->handle == handle)
            return module.get();
    return nullptr;
}

Module* FindModuleByName(State& s, const std::u16string& name) {
    for (auto& module : s.modules)
        if (EqualNoCase(module->name, name))
            return module.get();
    return nullptr;
}

// An integer resource, or a string; "#123" names the integer 123 as on the platform.
ResourceKey KeyOf(LPCWSTR value) {
    ResourceKey key;
    if (IS_INTRESOURCE(value)) {
        key.id = static_cast<WORD>(reinterpret_cast<ULONG_PTR>(value));
        return key;
    }
    std::u16string text(value);
    if (text.size() > 1 && text.size() <= 6 && text[0] == u'#') {
        uint32_t number = 0;
        bool digits = true;
        for (size_t i = 1; i < text.size(); ++i) {
            digits = digits && text[i] >= u'0' && text[i] <= u'9';
            number = number * 10 + static_cast<uint32_t>(text[i] - u'0');
        }
        if (digits && number <= 0xFFFF) {
            key.id = static_cast<WORD>(number);
            return key;
        }
    }
    key.isInteger = false;
    key.text = text;
    return key;
}

bool SameKey(const ResourceKey& a, const ResourceKey& b) {
    return a.isInteger == b.isInteger && (a.isInteger ? a.id == b.id : EqualNoCase(a.text, b.text));
}

Resource* FindOwnResource(Module* module, HRSRC handle) {
    if (module == nullptr)
        return nullptr;
    for (auto& resource : module->resources)
        if (reinterpret_cast<HRSRC>(resource.get()) == handle)
            return resource.get();
    return nullptr;
}

void AddResource(HMODULE handle, const ResourceKey& type, WORD id,
                 const std::vector<uint8_t>& bytes) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    Module* module = FindModule(s, handle);
    if (module == nullptr)
        return;
    for (auto& resource : module->resources) {
        if (SameKey(resource->type, type) && resource->id == id) {
            resource->bytes = bytes;
            return;
        }
    }
    auto resource = std::make_unique<Resource>();
    resource->type = type;
    resource->id = id;
    resource->bytes = bytes;
    module->resources.push_back(std::move(resource));
}

WORD ReadWord(const uint8_t* at) {
    WORD value;
    std::memcpy(&value, at, sizeof(value));
    return value;
}

// A resource of no bytes still loads; its data pointer must not be null.
uint8_t g_emptyResource = 0;

} // namespace
} // namespace platform::detail

using namespace platform::detail;

extern "C" HMODULE GetModuleHandleW(LPCWSTR name) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (name == nullptr)
        return s.modules.front()->handle;
    std::u16string wanted(name);
    Module* module = FindModuleByName(s, wanted);
    // The platform adds ".dll" to a name that has no extension.
    if (module == nullptr && wanted.find(u'.') == std::u16string::npos)
        module = FindModuleByName(s, wanted + u".dll");
    if (module == nullptr || wanted.empty()) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return module->handle;
}

extern "C" HRSRC FindResourceW(HMODULE handle, LPCWSTR name, LPCWSTR type) {
    if (name == nullptr || type == nullptr) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return nullptr;
    }
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    Module* module = FindModule(s, handle);
    if (module == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    ResourceKey typeKey = KeyOf(type);
    ResourceKey nameKey = KeyOf(name);
    bool typeFound = false;
    for (auto& resource : module->resources) {
        if (!SameKey(resource->type, typeKey))
            continue;
        typeFound = true;
        ResourceKey ownName;
        ownName.id = resource->id;
        if (SameKey(ownName, nameKey))
            return reinterpret_cast<HRSRC>(resource.get());
    }
    SetLastError(typeFound ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_TYPE_NOT_FOUND);
    return nullptr;
}

extern "C" HGLOBAL LoadResource(HMODULE handle, HRSRC resourceHandle) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    Module* module = FindModule(s, handle);
    Resource* resource = FindOwnResource(module, resourceHandle);
    if (resource == nullptr || module->failLoad) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return nullptr;
    }
    return resource->bytes.empty() ? &g_emptyResource : resource->bytes.data();
}

extern "C" LPVOID LockResource(HGLOBAL data) {
    return data;
}

extern "C" DWORD SizeofResource(HMODULE handle, HRSRC resourceHandle) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    Resource* resource = FindOwnResource(FindModule(s, handle), resourceHandle);
    if (resource == nullptr) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return 0;
    }
    return static_cast<DWORD>(resource->bytes.size());
}

// Only the root block (sub-block "\") is known. The block's own wLength bounds
// every read; its caller makes sure that many bytes are there.
extern "C" BOOL VerQueryValueW(LPCVOID block, LPCWSTR subBlock, LPVOID* buffer, UINT* length) {
    if (block == nullptr || subBlock == nullptr || buffer == nullptr || length == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *buffer = nullptr;
    *length = 0;
    if (std::u16string(subBlock) != u"\\") {
        SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
        return FALSE;
    }
    const auto* bytes = static_cast<const uint8_t*>(block);
    constexpr size_t kKeyOffset = 6;
    size_t total = ReadWord(bytes);
    if (total < kKeyOffset + sizeof(WCHAR)) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    size_t valueLength = ReadWord(bytes + 2);
    size_t at = kKeyOffset;
    while (at + sizeof(WCHAR) <= total && ReadWord(bytes + at) != 0)
        at += sizeof(WCHAR);
    if (at + sizeof(WCHAR) > total) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    size_t value = (at + sizeof(WCHAR) + 3) & ~static_cast<size_t>(3);
    if (valueLength == 0)
        return TRUE;
    if (value + valueLength > total) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    *buffer = const_cast<uint8_t*>(bytes + value);
    *length = static_cast<UINT>(valueLength);
    return TRUE;
}

namespace platform::test {

HMODULE RegisterModule(const std::u16string& name) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (name.empty())
        return s.modules.front()->handle;
    if (Module* existing = FindModuleByName(s, name))
        return existing->handle;
    auto module = std::make_unique<Module>();
    module->name = name;
    module->handle = NewHandle(s);
    HMODULE handle = module->handle;
    s.modules.push_back(std::move(module));
    return handle;
}

void AddModuleResource(HMODULE module, const std::u16string& type, WORD id,
                       const std::vector<uint8_t>& bytes) {
    ResourceKey key;
    key.isInteger = false;
    key.text = type;
    AddResource(module, key, id, bytes);
}

void AddModuleResource(HMODULE module, WORD type, WORD id, const std::vector<uint8_t>& bytes) {
    ResourceKey key;
    key.id = type;
    AddResource(module, key, id, bytes);
}

void FailLoadResource(HMODULE handle, bool fail) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (Module* module = FindModule(s, handle))
        module->failLoad = fail;
}

std::vector<uint8_t> BuildVersionResource(WORD major, WORD minor, WORD build, WORD revision) {
    const char16_t key[] = u"VS_VERSION_INFO";
    constexpr size_t kFixedOffset = 40; // 6 header bytes + 32 key bytes, padded to 4
    static_assert(6 + sizeof(key) <= kFixedOffset, "key fits before the fixed info");
    std::vector<uint8_t> block(kFixedOffset + sizeof(VS_FIXEDFILEINFO), 0);
    auto putWord = [&](size_t at, WORD value) { std::memcpy(block.data() + at, &value, 2); };
    putWord(0, static_cast<WORD>(block.size()));
    putWord(2, static_cast<WORD>(sizeof(VS_FIXEDFILEINFO)));
    putWord(4, 0);
    std::memcpy(block.data() + 6, key, sizeof(key));
    VS_FIXEDFILEINFO info{};
    info.dwSignature = VS_FFI_SIGNATURE;
    info.dwStrucVersion = VS_FFI_STRUCVERSION;
    info.dwFileVersionMS = (static_cast<DWORD>(major) << 16) | minor;
    info.dwFileVersionLS = (static_cast<DWORD>(build) << 16) | revision;
    info.dwProductVersionMS = info.dwFileVersionMS;
    info.dwProductVersionLS = info.dwFileVersionLS;
    info.dwFileFlagsMask = 0x3F;
    info.dwFileOS = 0x00040004;   // VOS_NT_WINDOWS32
    info.dwFileType = 0x00000002; // VFT_DLL
    std::memcpy(block.data() + kFixedOffset, &info, sizeof(info));
    return block;
}

} // namespace platform::test
