#include <cstdlib>
#include <mutex>
#include <string>
#include "internal.h"
#include "platform/native_path.h"

namespace platform {
namespace {
std::mutex g_rootMutex;
std::string& RootStorage() {
    static std::string& root = *new std::string([] {
        const char* env = std::getenv("WINPLATFORM_ROOT");
        return std::string(env && *env ? env : "./winroot");
    }());
    return root;
}

} // namespace

void SetDriveRoot(const std::string& folder) {
    std::lock_guard<std::mutex> lock(g_rootMutex);
    RootStorage() = folder;
}

std::string DriveRoot() {
    std::lock_guard<std::mutex> lock(g_rootMutex);
    return RootStorage();
}

std::string NativePath(const char* path) {
    if (path == nullptr)
        return std::string();
    std::string in(path);
    std::string out;
    size_t start = 0;
    if (in.size() >= 2 && in[1] == ':' &&
        ((in[0] >= 'A' && in[0] <= 'Z') || (in[0] >= 'a' && in[0] <= 'z'))) {
        char drive = static_cast<char>(in[0] & ~0x20);
        out = DriveRoot() + "/" + drive;
        start = 2;
        if (start < in.size() && in[start] != '\\' && in[start] != '/')
            out += '/';
    }
    for (size_t i = start; i < in.size(); ++i)
        out += in[i] == '\\' ? '/' : in[i];
    return out;
}

std::string NativePath(const WCHAR* path) {
    if (path == nullptr)
        return std::string();
    std::string narrow = detail::Utf8FromUtf16(path);
    return NativePath(narrow.c_str());
}

} // namespace platform
