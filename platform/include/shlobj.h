// Known folders.
#pragma once
#include "wintypes.h"
#include "winerror.h"
#include "knownfolders.h"

#define KF_FLAG_DEFAULT 0x00000000u
#define KF_FLAG_CREATE 0x00008000u

extern "C" __attribute__((visibility("default"))) HRESULT
SHGetKnownFolderPath(REFKNOWNFOLDERID id, DWORD flags, HANDLE token, PWSTR* path);
extern "C" __attribute__((visibility("default"))) void CoTaskMemFree(LPVOID memory);
