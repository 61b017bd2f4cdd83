#pragma once
#include "../windows.h"

namespace platform::test {

// What GetSystemPowerStatus reports (at start: on line power, no system
// battery), or its failure with `error` until FailPowerStatus(0).
WINPLATFORM_CPP void SetPowerStatus(const SYSTEM_POWER_STATUS& status);
WINPLATFORM_CPP void FailPowerStatus(DWORD error);

} // namespace platform::test
