// Declarations added with the parts of the system that call them.
#pragma once
#include "wintypes.h"

// Power-management events of a power broadcast.
#define PBT_APMSUSPEND 0x0004u
#define PBT_APMPOWERSTATUSCHANGE 0x000Au
#define PBT_APMRESUMEAUTOMATIC 0x0012u
