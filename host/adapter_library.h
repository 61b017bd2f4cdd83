// The adapter library as the biometric service loads it: dlopen, then the three exported
// query functions bound by name, each handing out its interface table.
#pragma once
#include <windows.h>
#include <winbio_adapter.h>
#include <memory>
#include <string>

namespace host {

struct AdapterTables {
    PWINBIO_SENSOR_INTERFACE sensor = nullptr;
    PWINBIO_ENGINE_INTERFACE engine = nullptr;
    PWINBIO_STORAGE_INTERFACE storage = nullptr;
};

class AdapterLibrary {
public:
    // Null, with the reason in `why`, when the library cannot be loaded, lacks an export or
    // a query fails.
    static std::unique_ptr<AdapterLibrary> Load(const std::string& path, std::string* why);
    ~AdapterLibrary(); // unloads the library
    AdapterLibrary(const AdapterLibrary&) = delete;
    AdapterLibrary& operator=(const AdapterLibrary&) = delete;

    const AdapterTables& Tables() const { return tables_; }

private:
    AdapterLibrary() = default;
    void* handle_ = nullptr;
    AdapterTables tables_;
};

} // namespace host
