// Test controls of the stand-in's registry: an in-memory tree under
// HKEY_LOCAL_MACHINE, empty after ResetAll.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>
#include "../windows.h"

namespace platform::test {

struct RegistryValue {
    std::u16string name;
    DWORD type = REG_NONE;
    std::vector<uint8_t> data;
};

struct RegistryKey {
    // Path below HKEY_LOCAL_MACHINE, each level spelt as it was first created.
    std::u16string path;
    bool isVolatile = false;
    // In the order of their first write; a rewrite keeps the place.
    std::vector<RegistryValue> values;
};

// One call of RegCreateKeyExW, RegSetValueExW or RegCloseKey, in call order,
// failed calls included. `path` is the full path of the key the call named
// (for RegCloseKey the key of the handle, empty when the handle was not open).
struct RegistryCall {
    std::string function;
    std::u16string path;
    std::u16string valueName;
    DWORD type = REG_NONE;
    std::vector<uint8_t> data;
    LSTATUS result = ERROR_SUCCESS;
};

// Every key of the tree, parents before children, siblings in creation order.
WINPLATFORM_CPP std::vector<RegistryKey> RegistryKeys();
// The key at `path` (levels compared without regard to case), if it exists.
WINPLATFORM_CPP std::optional<RegistryKey> FindRegistryKey(const std::u16string& path);
WINPLATFORM_CPP std::vector<RegistryCall> RegistryCalls();
WINPLATFORM_CPP void ClearRegistryCalls();

// Key handles handed out by RegCreateKeyExW and not yet closed.
WINPLATFORM_CPP size_t OpenRegistryKeyCount();
// RegCloseKey calls on a handle that was not open (closed twice, or never opened).
WINPLATFORM_CPP int BadRegistryCloseCount();

// The `occurrence`-th call (1 = the next one) of `function` ("RegCreateKeyExW",
// "RegSetValueExW", "RegCloseKey") from now on fails with `error` and changes
// nothing. Several failures may be armed at once.
WINPLATFORM_CPP void FailRegistryCall(const char* function, int occurrence, LSTATUS error);
// The caller has no write access to HKEY_LOCAL_MACHINE: creating or opening a
// key with any write right fails with ERROR_ACCESS_DENIED.
WINPLATFORM_CPP void DenyRegistryWrite(bool deny);

} // namespace platform::test
