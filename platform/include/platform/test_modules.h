#pragma once
#include <cstdint>
#include <string>
#include <vector>
#include "../windows.h"

namespace platform::test {

// Fixture modules that GetModuleHandleW finds by name (case-insensitive); the
// one registered with an empty name is the process's main executable.
WINPLATFORM_CPP HMODULE RegisterModule(const std::u16string& name);
// A resource of a string type ("BINARY") or of an integer type (RT_VERSION is 16).
WINPLATFORM_CPP void AddModuleResource(HMODULE module, const std::u16string& type, WORD id,
                                       const std::vector<uint8_t>& bytes);
WINPLATFORM_CPP void AddModuleResource(HMODULE module, WORD type, WORD id,
                                       const std::vector<uint8_t>& bytes);
// LoadResource fails for the next lookups of this module.
WINPLATFORM_CPP void FailLoadResource(HMODULE module, bool fail);

// A VS_VERSIONINFO block as the resource compiler lays it out, with the given
// file version (product version the same).
WINPLATFORM_CPP std::vector<uint8_t> BuildVersionResource(WORD major, WORD minor, WORD build,
                                                          WORD revision);

} // namespace platform::test
