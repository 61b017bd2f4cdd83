// Test controls of the platform stand-in. Only tests and the framework
// stand-in include this; the system's code never does.
#pragma once
#include "test_core.h"
#include "test_trace.h"
#include "test_files.h"
#include "test_session.h"
#include "test_modules.h"
#include "test_device.h"
#include "test_registry.h"
#include "test_service.h"
#include "test_power.h"
