// Code page conversions. The stand-in's ANSI code page is UTF-8, so CP_ACP and
// CP_UTF8 convert alike, under the platform's UTF-8 rules, unless a test sets
// another ANSI code page (whose characters without a form then become the
// default character). An unpaired surrogate goes as the platform's rules say;
// narrow input that is not valid UTF-8 is refused with
// ERROR_NO_UNICODE_TRANSLATION rather than replaced.
#include <atomic>
#include <string>
#include "internal.h"
#include "platform/test_files.h"

namespace {

bool DecodeUtf8(const unsigned char* in, size_t count, std::u16string& out) {
    size_t i = 0;
    while (i < count) {
        uint32_t c = in[i];
        size_t extra = 0;
        uint32_t min = 0;
        if (c < 0x80) {
            extra = 0;
        } else if ((c & 0xE0) == 0xC0) {
            c &= 0x1F;
            extra = 1;
            min = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            c &= 0x0F;
            extra = 2;
            min = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            c &= 0x07;
            extra = 3;
            min = 0x10000;
        } else {
            return false;
        }
        if (count - i - 1 < extra)
            return false;
        for (size_t k = 1; k <= extra; ++k) {
            if ((in[i + k] & 0xC0) != 0x80)
                return false;
            c = (c << 6) | (in[i + k] & 0x3F);
        }
        // Overlong forms, encoded surrogates and values past U+10FFFF are not UTF-8.
        if (c < min || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF)
            return false;
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
        i += extra + 1;
    }
    return true;
}

std::atomic<UINT> g_ansiCodePage{CP_UTF8};
// In an ANSI code page other than UTF-8, characters above this code point have
// no form; a test lowers it to play a code page narrower than Unicode.
std::atomic<uint32_t> g_ansiHighest{0x10FFFF};

platform::detail::ResetHook g_resetStrings([] {
    g_ansiCodePage = CP_UTF8;
    g_ansiHighest = 0x10FFFF;
});

bool IsUtf8(UINT codePage) {
    return codePage == CP_UTF8 || (codePage == CP_ACP && g_ansiCodePage.load() == CP_UTF8);
}

// What an unpaired surrogate becomes: UTF-8 fails the call when asked to
// (WC_ERR_INVALID_CHARS) and puts U+FFFD in its place otherwise; another code
// page has no form for it.
enum class IllFormed { Refuse, Utf8Replacement, NoForm };

// Characters above `highest` become `replacement`, and `usedDefault` tells so.
bool EncodeUtf8(const char16_t* in, size_t count, std::string& out, uint32_t highest,
                IllFormed illFormed, char replacement, bool* usedDefault) {
    for (size_t i = 0; i < count; ++i) {
        uint32_t c = in[i];
        bool unpaired = false;
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < count && in[i + 1] >= 0xDC00 &&
            in[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (in[i + 1] - 0xDC00);
            ++i;
        } else {
            unpaired = c >= 0xD800 && c <= 0xDFFF;
        }
        if (unpaired && illFormed == IllFormed::Refuse)
            return false;
        if (unpaired && illFormed == IllFormed::Utf8Replacement)
            c = 0xFFFD;
        if (c > highest || (unpaired && illFormed == IllFormed::NoForm)) {
            out += replacement;
            *usedDefault = true;
            continue;
        }
        platform::detail::AppendUtf8(out, c);
    }
    return true;
}

int Fail(DWORD error) {
    SetLastError(error);
    return 0;
}

bool KnownCodePage(UINT codePage) {
    return codePage == CP_ACP || codePage == CP_UTF8;
}

} // namespace

namespace platform::detail {

void AppendUtf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::string Utf8FromUtf16(const WCHAR* text) {
    std::string out;
    if (text == nullptr)
        return out;
    for (; *text; ++text) {
        uint32_t c = *text;
        if (c >= 0xD800 && c <= 0xDBFF && text[1] >= 0xDC00 && text[1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[1] - 0xDC00);
            ++text;
        }
        AppendUtf8(out, c);
    }
    return out;
}

} // namespace platform::detail

extern "C" UINT GetACP(void) {
    return g_ansiCodePage;
}

extern "C" int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideCount,
                                   LPSTR narrow, int narrowSize, LPCSTR defaultChar,
                                   LPBOOL usedDefault) {
    if (!KnownCodePage(codePage) || wide == nullptr || wideCount == 0 || wideCount < -1 ||
        narrowSize < 0 || (narrow == nullptr && narrowSize > 0))
        return Fail(ERROR_INVALID_PARAMETER);
    const bool utf8 = IsUtf8(codePage);
    // UTF-8 has a form for every character, so the platform takes no best-fit or
    // other mapping flag and no default character for it; the one flag that asks
    // to fail on ill-formed input is for UTF-8 alone.
    if (utf8 ? (flags & ~WC_ERR_INVALID_CHARS) != 0 : (flags & WC_ERR_INVALID_CHARS) != 0)
        return Fail(ERROR_INVALID_FLAGS);
    if (utf8 && (defaultChar != nullptr || usedDefault != nullptr))
        return Fail(ERROR_INVALID_PARAMETER);
    // A count of -1 converts through the terminator and counts it.
    size_t count =
        wideCount == -1 ? static_cast<size_t>(lstrlenW(wide)) + 1 : static_cast<size_t>(wideCount);
    std::string out;
    bool used = false;
    uint32_t highest = utf8 ? 0x10FFFF : g_ansiHighest.load();
    char replacement = defaultChar != nullptr ? defaultChar[0] : '?';
    const IllFormed illFormed = !utf8                                 ? IllFormed::NoForm
                                : (flags & WC_ERR_INVALID_CHARS) != 0 ? IllFormed::Refuse
                                                                      : IllFormed::Utf8Replacement;
    if (!EncodeUtf8(wide, count, out, highest, illFormed, replacement, &used))
        return Fail(ERROR_NO_UNICODE_TRANSLATION);
    if (out.size() > static_cast<size_t>(INT32_MAX))
        return Fail(ERROR_INVALID_PARAMETER);
    if (usedDefault != nullptr)
        *usedDefault = used ? TRUE : FALSE;
    if (narrowSize == 0)
        return static_cast<int>(out.size());
    if (out.size() > static_cast<size_t>(narrowSize))
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    out.copy(narrow, out.size());
    return static_cast<int>(out.size());
}

extern "C" int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR narrow, int narrowCount,
                                   LPWSTR wide, int wideSize) {
    if (!KnownCodePage(codePage) || narrow == nullptr || narrowCount == 0 || narrowCount < -1 ||
        wideSize < 0 || (wide == nullptr && wideSize > 0))
        return Fail(ERROR_INVALID_PARAMETER);
    if (IsUtf8(codePage) && (flags & ~MB_ERR_INVALID_CHARS) != 0)
        return Fail(ERROR_INVALID_FLAGS);
    size_t count = narrowCount == -1 ? static_cast<size_t>(lstrlenA(narrow)) + 1
                                     : static_cast<size_t>(narrowCount);
    std::u16string out;
    if (!DecodeUtf8(reinterpret_cast<const unsigned char*>(narrow), count, out))
        return Fail(ERROR_NO_UNICODE_TRANSLATION);
    if (out.size() > static_cast<size_t>(INT32_MAX))
        return Fail(ERROR_INVALID_PARAMETER);
    if (wideSize == 0)
        return static_cast<int>(out.size());
    if (out.size() > static_cast<size_t>(wideSize))
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    out.copy(wide, out.size());
    return static_cast<int>(out.size());
}

namespace {
template <class Char> int TextLength(const Char* text) {
    if (text == nullptr)
        return 0;
    size_t n = 0;
    while (text[n] != 0)
        ++n;
    return static_cast<int>(n);
}
} // namespace

extern "C" int lstrlenW(LPCWSTR text) {
    return TextLength(text);
}

extern "C" int lstrlenA(LPCSTR text) {
    return TextLength(text);
}

namespace platform::test {
void SetAnsiCodePage(UINT codePage) {
    g_ansiCodePage = codePage;
}

void SetAnsiCodePageHighest(uint32_t highest) {
    g_ansiHighest = highest;
}
} // namespace platform::test
