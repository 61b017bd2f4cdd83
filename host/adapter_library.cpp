#include "host/adapter_library.h"

#include <dlfcn.h>
#include "host/result_names.h"

namespace host {
namespace {

template <class Query, class Table>
bool QueryTable(void* handle, const char* name, WINBIO_ADAPTER_TYPE type, Table** table,
                std::string* why) {
    auto query = reinterpret_cast<Query>(dlsym(handle, name));
    if (query == nullptr) {
        *why = std::string("the library does not export ") + name;
        return false;
    }
    HRESULT hr = query(table);
    if (hr != S_OK || *table == nullptr) {
        *why = std::string(name) + " returned " + ResultText(hr);
        return false;
    }
    // The service takes only a table of the layout it was built for.
    if ((*table)->Type != type || (*table)->Size != sizeof(Table)) {
        *why = std::string(name) + " handed out a table of another type or size";
        return false;
    }
    return true;
}

} // namespace

std::unique_ptr<AdapterLibrary> AdapterLibrary::Load(const std::string& path, std::string* why) {
    std::unique_ptr<AdapterLibrary> library(new AdapterLibrary);
    // Its own symbols stay its own, as a DLL's do.
    library->handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library->handle_ == nullptr) {
        const char* error = dlerror();
        *why = "cannot load " + path + ": " + (error != nullptr ? error : "unknown error");
        return nullptr;
    }
    AdapterTables& t = library->tables_;
    if (!QueryTable<PWINBIO_QUERY_SENSOR_INTERFACE_FN>(library->handle_, "WbioQuerySensorInterface",
                                                       WINBIO_ADAPTER_TYPE_SENSOR, &t.sensor,
                                                       why) ||
        !QueryTable<PWINBIO_QUERY_ENGINE_INTERFACE_FN>(library->handle_, "WbioQueryEngineInterface",
                                                       WINBIO_ADAPTER_TYPE_ENGINE, &t.engine,
                                                       why) ||
        !QueryTable<PWINBIO_QUERY_STORAGE_INTERFACE_FN>(
            library->handle_, "WbioQueryStorageInterface", WINBIO_ADAPTER_TYPE_STORAGE, &t.storage,
            why))
        return nullptr;
    return library;
}

AdapterLibrary::~AdapterLibrary() {
    if (handle_ != nullptr)
        dlclose(handle_);
}

} // namespace host
