// The trace statement of the adapter library.
//
//   MOC_TRACE_INFO(kTraceGuidStorageAdapter, 17,
//                  "capabilities: %u slots, owner id mode %u, hashed %u", context.UnitLabel,
//                  slots, ownerIdMode, hashed);
//   MOC_TRACE_ERROR(kTraceGuidStorageAdapter, 20, "read failed: %!WINERROR!", unitLabel,
//                   GetLastError());
//   MOC_TRACE_INFO(kTraceGuidModuleEntry, 10, "loaded");
//
// The first two arguments are the unit's message GUID (common/trace_guids.h)
// and the statement's message number (from 10 upward, unique in the unit).
// The third is the message text, a string literal that a decoder pairs with
// the GUID and number: one conversion per argument (common/trace_text.h),
// except for an adapter's unit label, which comes first and has none, since a
// decoder shows it in a place of its own. The text is not sent: the compiler
// checks it against the arguments and the build's trace catalog reads it from
// the sources, which is why only a literal is taken here.
//
// The statement sends nothing, and evaluates none of its arguments, unless
// the provider is registered, the session's flags hold TRACE_FLAG_ADAPTER and
// its level is at least the statement's (TRACE_LEVEL_ERROR for MOC_TRACE_ERROR,
// TRACE_LEVEL_INFORMATION for MOC_TRACE_INFO).
//
// Argument kinds, each sent as (pointer, length), with their conversions:
//   integers and enums of at most 32 bits   4 bytes (widened to 32 bits)
//                                           %d %u %x ..., %!HRESULT!, %!WINERROR!
//   64-bit integers (LONGLONG, SIZE_T, ...) 8 bytes; %lld %llu %llx ...
//   double                                  8 bytes; %f %g %e
//   const char* / char*                     bytes with the NUL; null sends "NULL";
//                                           %s
//   const WCHAR* / WCHAR*                   UTF-16 units with the terminator;
//                                           null sends u"NULL"; %ls
// Any other type (bool, float, char, other pointers, nullptr) does not compile.
//
// A forwarder, a function that traces with a message number (or unit GUID)
// its caller gives, takes the text beside that number as a TraceText and
// traces with MOC_TRACE_INFO_FORWARDED / MOC_TRACE_ERROR_FORWARDED:
//
//   HRESULT SensorTraced(PWINIBIO_SENSOR_CONTEXT context, USHORT message,
//                        TraceText text, HRESULT hr);
//   return SensorTraced(context, 45, "activate returns %!HRESULT!", hr);
//
// The compiler cannot read a text that crosses a call, so the catalog checks
// the caller's text against the forwarder's arguments.
#pragma once
#include <array>
#include <cstring>
#include <type_traits>
#include <utility>
#include "common/trace_guids.h"
#include "common/trace_text.h"
#include "common/trace_provider.h"

namespace moc_trace {

// TRACE_MESSAGE_SEQUENCE | TRACE_MESSAGE_GUID | TRACE_MESSAGE_TIMESTAMP |
// TRACE_MESSAGE_SYSTEMINFO
inline constexpr ULONG kMessageFlags = 0x2B;
static_assert(kMessageFlags == (TRACE_MESSAGE_SEQUENCE | TRACE_MESSAGE_GUID |
                                TRACE_MESSAGE_TIMESTAMP | TRACE_MESSAGE_SYSTEMINFO),
              "message flags");

// The three tests of a statement; the control block when all pass.
inline const AdapterTraceControlBlock* Gate(UCHAR statementLevel) {
    const AdapterTraceControlBlock* block = AdapterTraceRegisteredBlock();
    if (block == nullptr)
        return nullptr;
    if ((block->enableFlags.load(std::memory_order_acquire) & TRACE_FLAG_ADAPTER) == 0)
        return nullptr;
    if (block->enableLevel.load(std::memory_order_acquire) < statementLevel)
        return nullptr;
    return block;
}

// One argument as TraceMessage takes it. Numbers are kept by value and
// pointed at only when the call is made, so the record may be copied freely.
struct EncodedArg {
    const void* text = nullptr;
    size_t size = 0;
    unsigned char value[8] = {};

    const void* Data() const { return text != nullptr ? text : value; }
};

template <class T>
inline constexpr bool kIsCharacter =
    std::is_same_v<T, char> || std::is_same_v<T, signed char> || std::is_same_v<T, unsigned char> ||
    std::is_same_v<T, wchar_t> || std::is_same_v<T, char16_t> || std::is_same_v<T, char32_t>;

template <class T>
inline constexpr bool kIsNarrowText = std::is_same_v<T, const char*> || std::is_same_v<T, char*>;

template <class T>
inline constexpr bool kIsWideText = std::is_same_v<T, const WCHAR*> || std::is_same_v<T, WCHAR*>;

// BYTE and UCHAR are unsigned char, which is also a character type: small
// integers of that width are common arguments (sub-factors, purposes), so
// unsigned char is taken as a number; plain char is refused as ambiguous.
template <class T>
inline constexpr bool kIsSmallInteger = (std::is_integral_v<T> && !std::is_same_v<T, bool> &&
                                         sizeof(T) <= 4 &&
                                         (!kIsCharacter<T> || std::is_same_v<T, unsigned char>)) ||
                                        (std::is_enum_v<T> && sizeof(T) <= 4);

template <class T> inline constexpr bool kIsWideInteger = std::is_integral_v<T> && sizeof(T) == 8;

template <class T>
inline constexpr bool kIsSupported =
    kIsSmallInteger<T> || kIsWideInteger<T> || std::is_same_v<T, double> || kIsNarrowText<T> ||
    kIsWideText<T>;

template <class T, bool = std::is_enum_v<T>> struct IntegerOf { using type = T; };
template <class T> struct IntegerOf<T, true> { using type = std::underlying_type_t<T>; };

template <class T> EncodedArg Encode(T arg) {
    static_assert(kIsSupported<T>, "trace arguments are 32- or 64-bit integers, double, "
                                   "const char* or const WCHAR*");
    EncodedArg out;
    if constexpr (kIsNarrowText<T>) {
        const char* s = arg != nullptr ? arg : "NULL";
        out.text = s;
        out.size = std::strlen(s) + 1;
    } else if constexpr (kIsWideText<T>) {
        const WCHAR* s = arg != nullptr ? arg : u"NULL";
        size_t units = 0;
        while (s[units] != u'\0')
            ++units;
        out.text = s;
        out.size = (units + 1) * sizeof(WCHAR);
    } else if constexpr (std::is_same_v<T, double>) {
        std::memcpy(out.value, &arg, sizeof(double));
        out.size = sizeof(double);
    } else if constexpr (kIsWideInteger<T>) {
        std::memcpy(out.value, &arg, 8);
        out.size = 8;
    } else {
        // Sign or zero extension follows the argument's own type.
        using Wide =
            std::conditional_t<std::is_signed_v<typename IntegerOf<T>::type>, int32_t, uint32_t>;
        Wide wide = static_cast<Wide>(arg);
        std::memcpy(out.value, &wide, sizeof(wide));
        out.size = sizeof(wide);
    }
    return out;
}

// TraceMessage takes (pointer, length) pairs, so the encoded arguments are
// laid out as alternating pointer and length, then the null terminator.
template <size_t J, size_t N> auto Field(const std::array<EncodedArg, N>& args) {
    if constexpr (J % 2 == 0)
        return const_cast<void*>(args[J / 2].Data());
    else
        return args[J / 2].size;
}

template <size_t N, size_t... J>
void Send(const AdapterTraceControlBlock* block, const GUID& guid, USHORT number,
          const std::array<EncodedArg, N>& args, std::index_sequence<J...>) {
    // The result is not looked at: a lost trace never fails the caller.
    TraceMessage(block->loggerHandle.load(std::memory_order_acquire), kMessageFlags, &guid, number,
                 Field<J>(args)..., static_cast<void*>(nullptr));
}

template <class... Args>
void Emit(const AdapterTraceControlBlock* block, const GUID& guid, USHORT number, Args... args) {
    const std::array<EncodedArg, sizeof...(Args)> encoded{Encode(args)...};
    Send(block, guid, number, encoded, std::make_index_sequence<2 * sizeof...(Args)>());
}

// The conversion kind that takes an argument of type T.
template <class T> constexpr ArgKind KindOf() {
    if constexpr (kIsWideInteger<T>)
        return ArgKind::Int64;
    else if constexpr (std::is_same_v<T, double>)
        return ArgKind::Double;
    else if constexpr (kIsNarrowText<T>)
        return ArgKind::NarrowText;
    else if constexpr (kIsWideText<T>)
        return ArgKind::WideText;
    else
        return ArgKind::Int32; // the rest is refused by Encode
}

// The types of a statement's arguments, as Emit takes them; named only in decltype.
template <class... Args> struct ArgList {};
template <class... Args> ArgList<Args...> ArgTypes(Args...);

enum class Fit { Fits, Malformed, Count, Kind };

// How a message text fits the arguments of its statement.
template <class... Args> constexpr Fit TextFit(const char* text, ArgList<Args...>) {
    constexpr size_t count = sizeof...(Args);
    const ArgKind kinds[count + 1] = {KindOf<Args>()..., ArgKind::Int32};
    size_t conversions = 0;
    size_t at = 0;
    Conversion conversion;
    while (NextConversion(text, &at, &conversion)) {
        if (!conversion.valid)
            return Fit::Malformed;
        ++conversions;
    }
    // The unit label, a narrow string before the rest, has no conversion.
    size_t arg = 0;
    if (conversions + 1 == count && kinds[0] == ArgKind::NarrowText)
        arg = 1;
    else if (conversions != count)
        return Fit::Count;
    at = 0;
    for (; NextConversion(text, &at, &conversion); ++arg)
        if (conversion.kind != kinds[arg])
            return Fit::Kind;
    return Fit::Fits;
}

} // namespace moc_trace

// The message text a forwarder is given beside the number: only a string
// literal converts, so that the catalog finds every text in the sources, and
// nothing of it is kept.
class TraceText {
public:
    template <size_t N> constexpr TraceText(const char (&)[N]) {}
};

#define MOC_TRACE_CHECK_TEXT(text, ...)                                                            \
    static_assert(::moc_trace::TextFit(text "", decltype(::moc_trace::ArgTypes(__VA_ARGS__)){}) != \
                      ::moc_trace::Fit::Malformed,                                                 \
                  "trace text: a % that begins none of the conversions of common/trace_text.h");   \
    static_assert(::moc_trace::TextFit(text "", decltype(::moc_trace::ArgTypes(__VA_ARGS__)){}) != \
                      ::moc_trace::Fit::Count,                                                     \
                  "trace text: one conversion for each argument but the unit label");              \
    static_assert(::moc_trace::TextFit(text "", decltype(::moc_trace::ArgTypes(__VA_ARGS__)){}) != \
                      ::moc_trace::Fit::Kind,                                                      \
                  "trace text: a conversion that does not take its argument's kind")

#define MOC_TRACE_SEND(level, guid, number, ...)                                                   \
    if (const AdapterTraceControlBlock* mocTraceBlock_ = ::moc_trace::Gate(level))                 \
    ::moc_trace::Emit(mocTraceBlock_, guid, number __VA_OPT__(, ) __VA_ARGS__)

#define MOC_TRACE_AT_LEVEL(level, guid, number, text, ...)                                         \
    do {                                                                                           \
        MOC_TRACE_CHECK_TEXT(text, __VA_ARGS__);                                                   \
        MOC_TRACE_SEND(level, guid, number __VA_OPT__(, ) __VA_ARGS__);                            \
    } while (0)

#define MOC_TRACE_FORWARDED_AT_LEVEL(level, guid, number, text, ...)                               \
    do {                                                                                           \
        static_assert(std::is_same_v<std::decay_t<decltype(text)>, TraceText>,                     \
                      "a forwarded statement traces with the text its caller gave");               \
        static_cast<void>(text);                                                                   \
        MOC_TRACE_SEND(level, guid, number __VA_OPT__(, ) __VA_ARGS__);                            \
    } while (0)

#define MOC_TRACE_INFO(...) MOC_TRACE_AT_LEVEL(TRACE_LEVEL_INFORMATION, __VA_ARGS__)
#define MOC_TRACE_ERROR(...) MOC_TRACE_AT_LEVEL(TRACE_LEVEL_ERROR, __VA_ARGS__)
#define MOC_TRACE_INFO_FORWARDED(...)                                                              \
    MOC_TRACE_FORWARDED_AT_LEVEL(TRACE_LEVEL_INFORMATION, __VA_ARGS__)
#define MOC_TRACE_ERROR_FORWARDED(...) MOC_TRACE_FORWARDED_AT_LEVEL(TRACE_LEVEL_ERROR, __VA_ARGS__)
