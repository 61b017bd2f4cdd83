// C runtime calls of the Windows runtime that glibc lacks. The platform's CRT
// declares fopen_s in <stdio.h>, which the stand-in cannot replace.
#pragma once
#include <cstdio>
#include "wintypes.h"

typedef int errno_t;
extern "C" __attribute__((visibility("default"))) int _access(const char* path, int mode);
extern "C" __attribute__((visibility("default"))) errno_t fopen_s(FILE** stream, const char* path,
                                                                  const char* mode);
