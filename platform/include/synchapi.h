// Declarations added with the parts of the system that call them.
#pragma once
#include "wintypes.h"
