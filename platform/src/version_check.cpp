#include <array>
#include "internal.h"
#include "platform/test_service.h"

namespace platform::detail {
namespace {

struct RunningVersion {
    std::mutex mutex;
    DWORD major = 10;
    DWORD minor = 0;
    DWORD build = 19045;
    DWORD failure = 0;
};

RunningVersion& running() {
    static RunningVersion& v = *new RunningVersion;
    return v;
}

ResetHook g_resetVersion([] {
    RunningVersion& v = running();
    std::lock_guard<std::mutex> lock(v.mutex);
    v.major = 10;
    v.minor = 0;
    v.build = 19045;
    v.failure = 0;
});

// The platform id of every NT system, the only kind the stand-in runs.
constexpr DWORD kPlatformIdNt = 2;
constexpr DWORD kSupportedTypes = VER_MINORVERSION | VER_MAJORVERSION | VER_BUILDNUMBER |
                                  VER_PLATFORMID | VER_SERVICEPACKMINOR | VER_SERVICEPACKMAJOR;

int TypeIndex(DWORD typeBit) {
    int index = 0;
    while ((typeBit >> index) != 1)
        ++index;
    return index;
}

BYTE ConditionOf(DWORDLONG mask, DWORD typeBit) {
    return static_cast<BYTE>((mask >> (TypeIndex(typeBit) * VER_NUM_BITS_PER_CONDITION_MASK)) &
                             VER_CONDITION_MASK);
}

// <0, 0, >0 as the running value is below, equal to or above the wanted one.
template <class T> int Compare(T have, T want) {
    return have < want ? -1 : (have > want ? 1 : 0);
}

bool Satisfies(int order, BYTE condition) {
    switch (condition) {
    case VER_EQUAL:
        return order == 0;
    case VER_GREATER:
        return order > 0;
    case VER_GREATER_EQUAL:
        return order >= 0;
    case VER_LESS:
        return order < 0;
    case VER_LESS_EQUAL:
        return order <= 0;
    default:
        return false;
    }
}

} // namespace
} // namespace platform::detail

using namespace platform::detail;

extern "C" ULONGLONG VerSetConditionMask(ULONGLONG conditionMask, DWORD typeMask, BYTE condition) {
    if (typeMask == 0 || condition == 0)
        return conditionMask;
    for (int i = 0; i < 8; ++i) {
        if ((typeMask & (1u << i)) == 0)
            continue;
        const int shift = i * VER_NUM_BITS_PER_CONDITION_MASK;
        conditionMask &= ~(static_cast<ULONGLONG>(VER_CONDITION_MASK) << shift);
        conditionMask |= static_cast<ULONGLONG>(condition & VER_CONDITION_MASK) << shift;
    }
    return conditionMask;
}

extern "C" BOOL VerifyVersionInfoW(LPOSVERSIONINFOEXW info, DWORD typeMask,
                                   DWORDLONG conditionMask) {
    DWORD major, minor, build, failure;
    {
        RunningVersion& v = running();
        std::lock_guard<std::mutex> lock(v.mutex);
        major = v.major;
        minor = v.minor;
        build = v.build;
        failure = v.failure;
    }
    if (failure != 0) {
        SetLastError(failure);
        return FALSE;
    }
    if (info == nullptr || info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOEXW) || typeMask == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if ((typeMask & ~kSupportedTypes) != 0) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    for (DWORD bit = 1; bit <= VER_SERVICEPACKMAJOR; bit <<= 1) {
        const BYTE condition = ConditionOf(conditionMask, bit);
        if ((typeMask & bit) != 0 && (condition < VER_EQUAL || condition > VER_LESS_EQUAL)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
    }

    bool satisfied = true;
    if ((typeMask & VER_BUILDNUMBER) != 0)
        satisfied &= Satisfies(Compare(build, info->dwBuildNumber),
                               ConditionOf(conditionMask, VER_BUILDNUMBER));
    if ((typeMask & VER_PLATFORMID) != 0)
        satisfied &= Satisfies(Compare(kPlatformIdNt, info->dwPlatformId),
                               ConditionOf(conditionMask, VER_PLATFORMID));
    // Major, minor and service pack form one version: the platform compares
    // the given fields in that order, under the condition of the first one.
    const std::array<std::pair<DWORD, int>, 4> version = {{
        {VER_MAJORVERSION, Compare(major, info->dwMajorVersion)},
        {VER_MINORVERSION, Compare(minor, info->dwMinorVersion)},
        {VER_SERVICEPACKMAJOR, Compare<DWORD>(0, info->wServicePackMajor)},
        {VER_SERVICEPACKMINOR, Compare<DWORD>(0, info->wServicePackMinor)},
    }};
    BYTE condition = 0;
    int order = 0;
    for (const auto& field : version) {
        if ((typeMask & field.first) == 0)
            continue;
        if (condition == 0)
            condition = ConditionOf(conditionMask, field.first);
        if (order == 0)
            order = field.second;
    }
    if (condition != 0)
        satisfied &= Satisfies(order, condition);

    if (!satisfied) {
        SetLastError(ERROR_OLD_WIN_VERSION);
        return FALSE;
    }
    return TRUE;
}

namespace platform::test {

void SetOsVersion(DWORD major, DWORD minor, DWORD build) {
    RunningVersion& v = running();
    std::lock_guard<std::mutex> lock(v.mutex);
    v.major = major;
    v.minor = minor;
    v.build = build;
}

void FailVersionCheck(DWORD error) {
    RunningVersion& v = running();
    std::lock_guard<std::mutex> lock(v.mutex);
    v.failure = error;
}

} // namespace platform::test
