// The system power status.
#include "internal.h"
#include "platform/test_power.h"

namespace platform::detail {
namespace {

// A desktop on line power without a battery, as most test machines are.
constexpr SYSTEM_POWER_STATUS kDefaultStatus = {
    AC_LINE_ONLINE, BATTERY_FLAG_NO_BATTERY, 255, 0, 0xFFFFFFFFu, 0xFFFFFFFFu};

struct PowerState {
    std::mutex mutex;
    SYSTEM_POWER_STATUS status = kDefaultStatus;
    DWORD failure = 0;
};

PowerState& power() {
    static PowerState& s = *new PowerState;
    return s;
}

ResetHook g_resetPower([] {
    PowerState& s = power();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.status = kDefaultStatus;
    s.failure = 0;
});

} // namespace
} // namespace platform::detail

using platform::detail::power;

extern "C" BOOL GetSystemPowerStatus(LPSYSTEM_POWER_STATUS status) {
    if (status == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto& s = power();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.failure != 0) {
        SetLastError(s.failure);
        return FALSE;
    }
    *status = s.status;
    return TRUE;
}

namespace platform::test {

void SetPowerStatus(const SYSTEM_POWER_STATUS& status) {
    auto& s = power();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.status = status;
}

void FailPowerStatus(DWORD error) {
    auto& s = power();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.failure = error;
}

} // namespace platform::test
