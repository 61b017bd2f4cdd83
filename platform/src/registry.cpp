#include <map>
#include <set>
#include <string>
#include <vector>
#include "internal.h"
#include "platform/test_registry.h"

namespace platform::detail {
namespace {

using platform::test::RegistryCall;
using platform::test::RegistryKey;
using platform::test::RegistryValue;

// The platform compares key and value names without regard to case; the
// stand-in folds ASCII letters only, which covers every name the system uses.
std::u16string Fold(const std::u16string& name) {
    std::u16string out(name);
    for (auto& c : out)
        if (c >= u'a' && c <= u'z')
            c = static_cast<char16_t>(c - u'a' + u'A');
    return out;
}

// The platform's limit for one level of a key path.
constexpr size_t kMaxKeyNameLength = 255;

struct Node {
    std::u16string name;
    std::u16string path;
    bool isVolatile = false;
    std::vector<std::shared_ptr<Node>> children; // creation order
    std::vector<RegistryValue> values;           // first-write order

    std::shared_ptr<Node> Child(const std::u16string& childName) const {
        const std::u16string folded = Fold(childName);
        for (const auto& child : children)
            if (Fold(child->name) == folded)
                return child;
        return nullptr;
    }
};

struct KeyHandle : HandleObject {
    std::shared_ptr<Node> node;
    REGSAM access = 0;
    HANDLE value = nullptr;
    bool Close() override;
};

struct ArmedFailure {
    std::string function;
    int remaining; // calls of `function` still to pass before this one fails
    LSTATUS error;
};

struct Registry {
    std::mutex mutex;
    std::shared_ptr<Node> root = std::make_shared<Node>();
    std::vector<RegistryCall> calls;
    std::set<HANDLE> openKeys;
    std::vector<ArmedFailure> failures;
    int badCloses = 0;
    bool denyWrite = false;

    // Counts the call against every armed failure of `function`; returns the
    // error of one whose turn it is, else ERROR_SUCCESS.
    LSTATUS TakeFailure(const char* function) {
        LSTATUS error = ERROR_SUCCESS;
        for (auto it = failures.begin(); it != failures.end();) {
            if (it->function != function) {
                ++it;
                continue;
            }
            if (--it->remaining == 0) {
                error = it->error;
                it = failures.erase(it);
            } else {
                ++it;
            }
        }
        return error;
    }

    void Record(const char* function, std::u16string path, const std::u16string& valueName,
                DWORD type, const BYTE* data, DWORD size, LSTATUS result) {
        RegistryCall call;
        call.function = function;
        call.path = std::move(path);
        call.valueName = valueName;
        call.type = type;
        if (data != nullptr)
            call.data.assign(data, data + size);
        call.result = result;
        calls.push_back(std::move(call));
    }
};

Registry& registry() {
    static Registry& r = *new Registry;
    return r;
}

bool KeyHandle::Close() {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.openKeys.erase(value);
    return true;
}

bool IsPredefined(HKEY key) {
    return key == HKEY_LOCAL_MACHINE;
}

// The node a key argument names: the root for the predefined key, the handle's
// node for an open key handle, null otherwise.
std::shared_ptr<Node> Resolve(HKEY key, REGSAM* access) {
    if (IsPredefined(key)) {
        *access = KEY_READ | KEY_WRITE;
        return registry().root;
    }
    auto object = LookupHandleAs<KeyHandle>(reinterpret_cast<HANDLE>(key));
    if (!object)
        return nullptr;
    *access = object->access;
    return object->node;
}

std::u16string PathOf(const std::shared_ptr<Node>& node, const std::u16string& sub) {
    if (!node || node->path.empty())
        return sub;
    return sub.empty() ? node->path : node->path + u"\\" + sub;
}

bool SplitPath(const std::u16string& path, std::vector<std::u16string>* levels) {
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(u'\\', start);
        if (end == std::u16string::npos)
            end = path.size();
        std::u16string level = path.substr(start, end - start);
        // An empty level (leading, doubled or trailing separator) names no key.
        if (level.empty() || level.size() > kMaxKeyNameLength)
            return false;
        levels->push_back(std::move(level));
        start = end + 1;
    }
    return true;
}

void CollectKeys(const std::shared_ptr<Node>& node, std::vector<RegistryKey>* out) {
    for (const auto& child : node->children) {
        out->push_back(RegistryKey{child->path, child->isVolatile, child->values});
        CollectKeys(child, out);
    }
}

ResetHook g_resetRegistry([] {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.root = std::make_shared<Node>();
    r.calls.clear();
    // The handles themselves go with the handle table's reset.
    r.openKeys.clear();
    r.failures.clear();
    r.badCloses = 0;
    r.denyWrite = false;
});

} // namespace
} // namespace platform::detail

using namespace platform::detail;

extern "C" LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD /*reserved*/,
                                   LPWSTR /*keyClass*/, DWORD options, REGSAM desired,
                                   const LPSECURITY_ATTRIBUTES /*security*/, PHKEY result,
                                   LPDWORD disposition) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    const std::u16string sub = subKey != nullptr ? std::u16string(subKey) : std::u16string();
    REGSAM parentAccess = 0;
    std::shared_ptr<Node> parent = Resolve(key, &parentAccess);
    const std::u16string path = PathOf(parent, sub);
    auto finish = [&](LSTATUS status) {
        r.Record("RegCreateKeyExW", path, std::u16string(), REG_NONE, nullptr, 0, status);
        return status;
    };

    if (result != nullptr)
        *result = nullptr;
    LSTATUS injected = r.TakeFailure("RegCreateKeyExW");
    if (injected != ERROR_SUCCESS)
        return finish(injected);
    if (!parent)
        return finish(ERROR_INVALID_HANDLE);
    if (result == nullptr || (options & ~REG_OPTION_VOLATILE) != 0)
        return finish(ERROR_INVALID_PARAMETER);
    std::vector<std::u16string> levels;
    if (!sub.empty() && !SplitPath(sub, &levels))
        return finish(ERROR_INVALID_PARAMETER);
    if (r.denyWrite && (desired & (KEY_SET_VALUE | KEY_CREATE_SUB_KEY)) != 0)
        return finish(ERROR_ACCESS_DENIED);

    // Missing levels are created, which needs the parent's create right.
    std::shared_ptr<Node> node = parent;
    size_t existing = 0;
    while (existing < levels.size()) {
        auto child = node->Child(levels[existing]);
        if (!child)
            break;
        node = child;
        ++existing;
    }
    const bool creates = existing < levels.size();
    if (creates && (r.denyWrite || (parentAccess & KEY_CREATE_SUB_KEY) == 0))
        return finish(ERROR_ACCESS_DENIED);
    for (size_t i = existing; i < levels.size(); ++i) {
        auto child = std::make_shared<Node>();
        child->name = levels[i];
        child->path = node->path.empty() ? levels[i] : node->path + u"\\" + levels[i];
        child->isVolatile = (options & REG_OPTION_VOLATILE) != 0;
        node->children.push_back(child);
        node = child;
    }

    auto handle = std::make_shared<KeyHandle>();
    handle->node = node;
    handle->access = desired;
    HANDLE value = InsertHandle(handle);
    handle->value = value;
    r.openKeys.insert(value);
    *result = reinterpret_cast<HKEY>(value);
    if (disposition != nullptr)
        *disposition = creates ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return finish(ERROR_SUCCESS);
}

extern "C" LSTATUS RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD /*reserved*/, DWORD type,
                                  const BYTE* data, DWORD dataSize) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    const std::u16string name = valueName != nullptr ? std::u16string(valueName) : std::u16string();
    REGSAM access = 0;
    std::shared_ptr<Node> node = Resolve(key, &access);
    auto finish = [&](LSTATUS status) {
        r.Record("RegSetValueExW", PathOf(node, std::u16string()), name, type, data,
                 data != nullptr ? dataSize : 0, status);
        return status;
    };

    LSTATUS injected = r.TakeFailure("RegSetValueExW");
    if (injected != ERROR_SUCCESS)
        return finish(injected);
    if (!node)
        return finish(ERROR_INVALID_HANDLE);
    if (node == r.root)
        return finish(ERROR_ACCESS_DENIED); // the hive root holds no values of its own
    if ((access & KEY_SET_VALUE) == 0)
        return finish(ERROR_ACCESS_DENIED);
    if (data == nullptr && dataSize != 0)
        return finish(ERROR_NOACCESS);

    std::vector<uint8_t> bytes;
    if (data != nullptr)
        bytes.assign(data, data + dataSize);
    const std::u16string folded = Fold(name);
    for (auto& value : node->values) {
        if (Fold(value.name) == folded) {
            value.type = type;
            value.data = std::move(bytes);
            return finish(ERROR_SUCCESS);
        }
    }
    node->values.push_back(RegistryValue{name, type, std::move(bytes)});
    return finish(ERROR_SUCCESS);
}

extern "C" LSTATUS RegCloseKey(HKEY key) {
    std::shared_ptr<Node> node;
    LSTATUS status = ERROR_SUCCESS;
    {
        Registry& r = registry();
        std::lock_guard<std::mutex> lock(r.mutex);
        REGSAM access = 0;
        node = Resolve(key, &access);
        status = r.TakeFailure("RegCloseKey");
        if (status == ERROR_SUCCESS && !node) {
            status = ERROR_INVALID_HANDLE;
            ++r.badCloses;
        }
        r.Record("RegCloseKey", IsPredefined(key) || !node ? std::u16string() : node->path,
                 std::u16string(), REG_NONE, nullptr, 0, status);
        if (status != ERROR_SUCCESS || IsPredefined(key))
            return status;
    }
    // Outside the registry's lock: closing the handle object takes it again.
    auto object = RemoveHandle(reinterpret_cast<HANDLE>(key));
    if (object)
        object->Close();
    return ERROR_SUCCESS;
}

namespace platform::test {

std::vector<RegistryKey> RegistryKeys() {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    std::vector<RegistryKey> out;
    CollectKeys(r.root, &out);
    return out;
}

std::optional<RegistryKey> FindRegistryKey(const std::u16string& path) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    std::vector<std::u16string> levels;
    if (!SplitPath(path, &levels))
        return std::nullopt;
    std::shared_ptr<Node> node = r.root;
    for (const auto& level : levels) {
        node = node->Child(level);
        if (!node)
            return std::nullopt;
    }
    return RegistryKey{node->path, node->isVolatile, node->values};
}

std::vector<RegistryCall> RegistryCalls() {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.calls;
}

void ClearRegistryCalls() {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.calls.clear();
}

size_t OpenRegistryKeyCount() {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.openKeys.size();
}

int BadRegistryCloseCount() {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.badCloses;
}

void FailRegistryCall(const char* function, int occurrence, LSTATUS error) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (function == nullptr || occurrence < 1)
        return;
    r.failures.push_back(ArmedFailure{function, occurrence, error});
}

void DenyRegistryWrite(bool deny) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.denyWrite = deny;
}

} // namespace platform::test
