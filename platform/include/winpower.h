// System power status and the power broadcast events.
#pragma once
#include "wintypes.h"

#define AC_LINE_OFFLINE 0x00
#define AC_LINE_ONLINE 0x01
#define AC_LINE_UNKNOWN 0xFF
#define BATTERY_FLAG_CHARGING 0x08
#define BATTERY_FLAG_NO_BATTERY 0x80

// Power broadcast events an adapter is told of.
#define PBT_APMSUSPEND 0x0004u
#define PBT_APMPOWERSTATUSCHANGE 0x000Au
#define PBT_APMRESUMEAUTOMATIC 0x0012u

typedef struct _SYSTEM_POWER_STATUS {
    BYTE ACLineStatus;
    BYTE BatteryFlag;
    BYTE BatteryLifePercent;
    BYTE SystemStatusFlag;
    DWORD BatteryLifeTime;
    DWORD BatteryFullLifeTime;
} SYSTEM_POWER_STATUS, *LPSYSTEM_POWER_STATUS;
static_assert(sizeof(SYSTEM_POWER_STATUS) == 12, "SYSTEM_POWER_STATUS");

WINPLATFORM_API BOOL GetSystemPowerStatus(LPSYSTEM_POWER_STATUS status);
