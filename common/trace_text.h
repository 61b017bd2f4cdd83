// The conversions of a trace statement's message text, read by the compiler (to check a
// statement's arguments against its text) and by a decoder (to put the arguments in).
//
//   %d %i %u %x %X %o      a 32-bit integer (integers and enums of at most 32 bits)
//   %lld %llu %llx ...     a 64-bit integer (LONGLONG, ULONGLONG, SIZE_T, ...)
//   %f %g %e               a double
//     flags "-+ #0", a width and a precision may stand between the % and the letter
//   %s                     a narrow string (const char*)
//   %ls                    a wide string (const WCHAR*)
//   %!HRESULT!             an HRESULT, shown by its name
//   %!WINERROR!            a Win32 error code, shown by its name
//   %%                     a percent sign
// Nothing else may follow a %: the platform's trace preprocessor reads the same forms, and a
// text that it would misread fails the build here first.
#pragma once
#include <cstddef>

namespace moc_trace {

enum class ArgKind : unsigned char { Int32, Int64, Double, NarrowText, WideText };

// How a decoder shows the value: with the printf conversion itself, or by name.
enum class Shown : unsigned char { Printf, HResult, Win32Error };

struct Conversion {
    bool valid = false;
    ArgKind kind = ArgKind::Int32;
    Shown shown = Shown::Printf;
    size_t end = 0; // the index just after the conversion
};

constexpr bool StartsWith(const char* text, size_t at, const char* prefix) {
    for (size_t i = 0; prefix[i] != '\0'; ++i)
        if (text[at + i] != prefix[i])
            return false;
    return true;
}

constexpr size_t Length(const char* text) {
    size_t n = 0;
    while (text[n] != '\0')
        ++n;
    return n;
}

// The conversion that starts at text[at], a '%' that does not begin "%%".
constexpr Conversion ParseConversion(const char* text, size_t at) {
    Conversion out;
    size_t i = at + 1;
    if (StartsWith(text, i, "!HRESULT!") || StartsWith(text, i, "!WINERROR!")) {
        out.valid = true;
        out.shown = text[i + 1] == 'H' ? Shown::HResult : Shown::Win32Error;
        out.end = i + (out.shown == Shown::HResult ? Length("!HRESULT!") : Length("!WINERROR!"));
        return out;
    }
    const size_t start = i;
    while (text[i] == '-' || text[i] == '+' || text[i] == ' ' || text[i] == '#' || text[i] == '0')
        ++i;
    while (text[i] >= '0' && text[i] <= '9')
        ++i;
    if (text[i] == '.') {
        ++i;
        while (text[i] >= '0' && text[i] <= '9')
            ++i;
    }
    const bool decorated = i != start;
    size_t longs = 0;
    while (text[i] == 'l' && longs < 2) {
        ++longs;
        ++i;
    }
    const char letter = text[i];
    out.end = i + 1;
    switch (letter) {
    case 'd':
    case 'i':
    case 'u':
    case 'x':
    case 'X':
    case 'o':
        out.valid = longs != 1;
        out.kind = longs == 2 ? ArgKind::Int64 : ArgKind::Int32;
        break;
    case 'f':
    case 'g':
    case 'e':
        out.valid = longs == 0;
        out.kind = ArgKind::Double;
        break;
    case 's':
        // Strings are shown whole: no width or precision cuts them.
        out.valid = !decorated && longs < 2;
        out.kind = longs == 1 ? ArgKind::WideText : ArgKind::NarrowText;
        break;
    default:
        break;
    }
    return out;
}

// The next conversion of a text at or after `at`, "%%" skipped; `at` moves past it (past
// the '%' alone when it is not valid). False at the end of the text.
constexpr bool NextConversion(const char* text, size_t* at, Conversion* conversion) {
    for (size_t i = *at; text[i] != '\0'; ++i) {
        if (text[i] != '%')
            continue;
        if (text[i + 1] == '%') {
            ++i;
            continue;
        }
        *conversion = ParseConversion(text, i);
        *at = conversion->valid ? conversion->end : i + 1;
        return true;
    }
    return false;
}

} // namespace moc_trace
