#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include "files_internal.h"
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

// "\\?\": a wide path with it is taken as it stands, up to the longest path the platform
// has (32767 characters), instead of MAX_PATH.
constexpr char kLongPathPrefix[] = "\\\\?\\";
constexpr size_t kLongPathLimit = 32767;

bool HasLongPathPrefix(const std::string& path) {
    return path.compare(0, std::strlen(kLongPathPrefix), kLongPathPrefix) == 0;
}

// The platform measures a path in UTF-16 units of its wide form: a narrow path counts one
// per UTF-8 lead byte, two for a four-byte form.
size_t WideUnits(const std::string& utf8) {
    size_t units = 0;
    for (unsigned char c : utf8) {
        if ((c & 0xC0) != 0x80)
            ++units;
        if ((c & 0xF8) == 0xF0)
            ++units;
    }
    return units;
}

std::string MapOntoRoot(const std::string& in) {
    std::string out;
    size_t start = HasLongPathPrefix(in) ? std::strlen(kLongPathPrefix) : 0;
    if (in.size() >= start + 2 && in[start + 1] == ':' &&
        ((in[start] >= 'A' && in[start] <= 'Z') || (in[start] >= 'a' && in[start] <= 'z'))) {
        char drive = static_cast<char>(in[start] & ~0x20);
        out = DriveRoot() + "/" + drive;
        start += 2;
        if (start < in.size() && in[start] != '\\' && in[start] != '/')
            out += '/';
    }
    for (size_t i = start; i < in.size(); ++i)
        out += in[i] == '\\' ? '/' : in[i];
    return out;
}

// `limit` is the first length the platform refuses.
detail::MappedPath Map(const std::string& path, size_t limit) {
    detail::MappedPath mapped;
    if (path.empty())
        mapped.error = ERROR_PATH_NOT_FOUND;
    else if (WideUnits(path) >= limit)
        mapped.error = ERROR_FILENAME_EXCED_RANGE;
    else
        mapped.native = MapOntoRoot(path);
    return mapped;
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

namespace detail {

// A narrow path goes through the MAX_PATH buffer of the platform's conversion, with the
// prefix or without it.
MappedPath MapPath(const char* path) {
    if (path == nullptr)
        return MappedPath{std::string(), ERROR_INVALID_PARAMETER};
    return Map(path, MAX_PATH);
}

MappedPath MapPath(const WCHAR* path) {
    if (path == nullptr)
        return MappedPath{std::string(), ERROR_INVALID_PARAMETER};
    const std::string utf8 = Utf8FromUtf16(path);
    return Map(utf8, HasLongPathPrefix(utf8) ? kLongPathLimit + 1 : MAX_PATH);
}

} // namespace detail

std::string NativePath(const char* path) {
    return detail::MapPath(path).native;
}

std::string NativePath(const WCHAR* path) {
    return detail::MapPath(path).native;
}

} // namespace platform
