// The trace statement of the adapter library.
//
//   MOC_TRACE_INFO(kTraceGuidSensorAdapter, 12, unitLabel, hr);
//   MOC_TRACE_ERROR(kTraceGuidStorageAdapter, 20, unitLabel, GetLastError());
//   MOC_TRACE_INFO(kTraceGuidModuleEntry, 10);
//
// The first two arguments are the unit's message GUID (common/trace_guids.h)
// and the statement's message number (from 10 upward, unique in the unit).
// The statement sends nothing, and evaluates none of its arguments, unless
// the provider is registered, the session's flags hold TRACE_FLAG_ADAPTER and
// its level is at least the statement's (TRACE_LEVEL_ERROR for MOC_TRACE_ERROR,
// TRACE_LEVEL_INFORMATION for MOC_TRACE_INFO).
//
// Argument kinds, each sent as (pointer, length):
//   integers and enums of at most 32 bits   4 bytes (widened to 32 bits)
//   64-bit integers (LONGLONG, SIZE_T, ...) 8 bytes
//   double                                  8 bytes
//   const char* / char*                     bytes with the NUL; null sends "NULL"
//   const WCHAR* / WCHAR*                   UTF-16 units with the terminator;
//                                           null sends u"NULL"
// Any other type (bool, float, char, other pointers, nullptr) does not compile.
#pragma once
#include <array>
#include <cstring>
#include <type_traits>
#include <utility>
#include "common/trace_guids.h"
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

} // namespace moc_trace

#define MOC_TRACE_AT_LEVEL(level, ...)                                                             \
    do {                                                                                           \
        if (const AdapterTraceControlBlock* mocTraceBlock_ = ::moc_trace::Gate(level))             \
            ::moc_trace::Emit(mocTraceBlock_, __VA_ARGS__);                                        \
    } while (0)

#define MOC_TRACE_INFO(...) MOC_TRACE_AT_LEVEL(TRACE_LEVEL_INFORMATION, __VA_ARGS__)
#define MOC_TRACE_ERROR(...) MOC_TRACE_AT_LEVEL(TRACE_LEVEL_ERROR, __VA_ARGS__)
