#include "common/resource_utils.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
// GCC 12 reports -Wmaybe-uninitialized inside the library's own regex code
// when sanitizers are on (a false positive in std::function's copy); it is
// silenced for that header alone (clang has no such warning).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <regex>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#include <winver.h>

namespace {

const WCHAR kBinaryResourceType[] = u"BINARY";

// The loaded resource's bytes; null when the module, the resource or its load
// is missing.
const uint8_t* LoadModuleResource(const WCHAR* moduleName, LPCWSTR name, LPCWSTR type,
                                  DWORD* size) {
    HMODULE module = GetModuleHandleW(moduleName);
    if (module == nullptr)
        return nullptr;
    HRSRC resource = FindResourceW(module, name, type);
    if (resource == nullptr)
        return nullptr;
    HGLOBAL loaded = LoadResource(module, resource);
    if (loaded == nullptr)
        return nullptr;
    *size = SizeofResource(module, resource);
    return static_cast<const uint8_t*>(LockResource(loaded));
}

// The root block's VS_FIXEDFILEINFO, copied out; false when the module has no
// usable version resource.
bool ReadFixedFileInfo(const WCHAR* moduleName, VS_FIXEDFILEINFO* info) {
    DWORD size = 0;
    const uint8_t* block =
        LoadModuleResource(moduleName, MAKEINTRESOURCEW(VS_VERSION_INFO), RT_VERSION, &size);
    if (block == nullptr)
        return false;
    // The query trusts the block's own length word; a block that claims more
    // than the resource holds would be read past its end.
    WORD declared = 0;
    if (size < sizeof(declared))
        return false;
    std::memcpy(&declared, block, sizeof(declared));
    if (declared > size)
        return false;
    LPVOID value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block, u"\\", &value, &length) || value == nullptr)
        return false;
    const auto* at = static_cast<const uint8_t*>(value);
    // A block shorter than the fixed record, or one without its signature, is
    // not a version: its fields would be read from beyond it or be garbage.
    if (length < sizeof(VS_FIXEDFILEINFO) || at < block ||
        static_cast<size_t>(at - block) + sizeof(VS_FIXEDFILEINFO) > size)
        return false;
    std::memcpy(info, at, sizeof(VS_FIXEDFILEINFO));
    return info->dwSignature == VS_FFI_SIGNATURE;
}

template <class Text> size_t LengthToNul(const Text& text) {
    size_t nul = text.find(typename Text::value_type(0));
    return nul == Text::npos ? text.size() : nul;
}

// The UTF-16 code units as wchar_t, one for one, so that the regular
// expression sees the same units, and positions, as the platform's 16-bit one.
std::wstring Widen(const std::u16string& text) {
    return std::wstring(text.begin(), text.end());
}

std::u16string Narrow(std::wstring::const_iterator first, std::wstring::const_iterator last) {
    std::u16string out;
    out.reserve(static_cast<size_t>(last - first));
    for (; first != last; ++first)
        out += static_cast<char16_t>(*first);
    return out;
}

} // namespace

DWORD GetBinaryResourceSize(DWORD id, const WCHAR* moduleName) {
    DWORD size = 0;
    if (LoadModuleResource(moduleName, MAKEINTRESOURCEW(id & 0xFFFF), kBinaryResourceType, &size) ==
        nullptr)
        return 0;
    return size;
}

bool LoadBinaryResource(DWORD id, void* destination, DWORD destinationSize,
                        const WCHAR* moduleName) {
    if (destination == nullptr)
        return false;
    DWORD size = 0;
    const uint8_t* bytes =
        LoadModuleResource(moduleName, MAKEINTRESOURCEW(id & 0xFFFF), kBinaryResourceType, &size);
    if (bytes == nullptr || destinationSize < size)
        return false;
    std::memset(destination, 0, destinationSize);
    std::memcpy(destination, bytes, size);
    return true;
}

int GetModuleVersionString(char* destination, DWORD destinationSize, const WCHAR* moduleName) {
    if (destination == nullptr || destinationSize == 0)
        return 0;
    VS_FIXEDFILEINFO info{};
    if (!ReadFixedFileInfo(moduleName, &info))
        return 0;
    std::memset(destination, 0, destinationSize);
    char text[24] = {};
    int length = std::snprintf(text, sizeof(text), "%d.%d.%d.%d", HIWORD(info.dwFileVersionMS),
                               LOWORD(info.dwFileVersionMS), HIWORD(info.dwFileVersionLS),
                               LOWORD(info.dwFileVersionLS));
    // A cut version text would read as another version.
    if (length <= 0 || static_cast<DWORD>(length) >= destinationSize)
        return 0;
    std::memcpy(destination, text, static_cast<size_t>(length) + 1);
    return length;
}

void GetModuleVersion(DWORD* high, DWORD* low, const WCHAR* moduleName) {
    VS_FIXEDFILEINFO info{};
    if (!ReadFixedFileInfo(moduleName, &info))
        return;
    if (high != nullptr)
        *high = info.dwFileVersionMS;
    if (low != nullptr)
        *low = info.dwFileVersionLS;
}

std::string WideStringToString(const std::u16string& text) {
    size_t length = LengthToNul(text);
    if (length == 0)
        return std::string();
    if (length > static_cast<size_t>(INT_MAX))
        throw HResultError(E_INVALIDARG);
    int count = static_cast<int>(length);
    int needed = WideCharToMultiByte(CP_ACP, 0, text.data(), count, nullptr, 0, nullptr, nullptr);
    if (needed <= 0)
        throw HResultError(HRESULT_FROM_WIN32(GetLastError()));
    try {
        std::string out(static_cast<size_t>(needed), '\0');
        if (WideCharToMultiByte(CP_ACP, 0, text.data(), count, out.data(), needed, nullptr,
                                nullptr) != needed)
            throw HResultError(HRESULT_FROM_WIN32(GetLastError()));
        return out;
    } catch (const std::bad_alloc&) {
        throw HResultError(E_OUTOFMEMORY);
    }
}

std::u16string StringToWideString(const std::string& text) {
    size_t length = LengthToNul(text);
    if (length == 0)
        return std::u16string();
    if (length >= static_cast<size_t>(INT_MAX))
        throw HResultError(E_INVALIDARG);
    int count = static_cast<int>(length);
    int needed = MultiByteToWideChar(CP_ACP, 0, text.data(), count, nullptr, 0);
    if (needed <= 0)
        throw HResultError(HRESULT_FROM_WIN32(GetLastError()));
    try {
        std::u16string out(static_cast<size_t>(needed), u'\0');
        if (MultiByteToWideChar(CP_ACP, 0, text.data(), count, out.data(), needed) != needed)
            throw HResultError(HRESULT_FROM_WIN32(GetLastError()));
        return out;
    } catch (const std::bad_alloc&) {
        throw HResultError(E_OUTOFMEMORY);
    }
}

std::vector<std::string> SplitString(const std::string& text, const std::string& pattern) {
    std::regex expression(pattern, std::regex::ECMAScript);
    std::vector<std::string> matches;
    for (std::sregex_iterator it(text.begin(), text.end(), expression), end; it != end; ++it)
        matches.push_back(it->str());
    return matches;
}

std::vector<std::u16string> SplitWideString(const std::u16string& text,
                                            const std::u16string& pattern) {
    std::wregex expression(Widen(pattern), std::regex::ECMAScript);
    std::wstring wide = Widen(text);
    std::vector<std::u16string> pieces;
    // Index -1 yields the text between matches, and the remainder after the
    // last match only when it is not empty.
    for (std::wsregex_token_iterator it(wide.begin(), wide.end(), expression, -1), end; it != end;
         ++it)
        pieces.push_back(Narrow(it->first, it->second));
    return pieces;
}
