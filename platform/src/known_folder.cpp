// Known folders and the task memory that hands their paths out.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <shlobj.h>
#include "internal.h"
#include "platform/native_path.h"
#include "platform/test_session.h"

namespace platform::detail {
namespace {

struct GuidLess {
    bool operator()(const GUID& a, const GUID& b) const {
        return std::memcmp(&a, &b, sizeof(GUID)) < 0;
    }
};

struct State {
    std::mutex mutex;
    std::map<GUID, std::u16string, GuidLess> paths;
    HRESULT failure = S_OK;
};

void SetDefaults(State& s) {
    s.paths.clear();
    s.paths[FOLDERID_ProgramData] = u"C:\\ProgramData";
    s.failure = S_OK;
}

State& state() {
    static State& s = *new State;
    static const bool initialized = (SetDefaults(s), true);
    (void)initialized;
    return s;
}

ResetHook g_resetKnownFolders([] {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    SetDefaults(s);
});

} // namespace
} // namespace platform::detail

using platform::detail::state;

extern "C" HRESULT SHGetKnownFolderPath(REFKNOWNFOLDERID id, DWORD flags, HANDLE, PWSTR* path) {
    if (path == nullptr)
        return E_INVALIDARG;
    *path = nullptr;
    std::u16string folder;
    {
        auto& s = state();
        std::lock_guard<std::mutex> lock(s.mutex);
        if (FAILED(s.failure))
            return s.failure;
        auto it = s.paths.find(id);
        if (it == s.paths.end())
            return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
        folder = it->second;
    }
    if (flags & KF_FLAG_CREATE) {
        std::error_code ec;
        std::filesystem::create_directories(platform::NativePath(folder.c_str()), ec);
        if (ec)
            return HRESULT_FROM_WIN32(platform::detail::Win32ErrorFromErrno(ec.value()));
    }
    size_t bytes = (folder.size() + 1) * sizeof(char16_t);
    auto* copy = static_cast<PWSTR>(std::malloc(bytes));
    if (copy == nullptr)
        return E_OUTOFMEMORY;
    std::memcpy(copy, folder.c_str(), bytes);
    *path = copy;
    return S_OK;
}

extern "C" void CoTaskMemFree(LPVOID memory) {
    std::free(memory);
}

namespace platform::test {

void SetKnownFolderPath(const GUID& id, const std::u16string& path) {
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.paths[id] = path;
}

void FailKnownFolder(HRESULT hr) {
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.failure = hr;
}

} // namespace platform::test
