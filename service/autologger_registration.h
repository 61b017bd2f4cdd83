// The util library's module entry. On a system older than build 22000 it
// writes the registry configuration of the trace session that records the
// sensor driver's and the adapter library's providers from the next boot on.
#pragma once
#include <windows.h>

// TRUE for every reason and on every path, so that the library always loads.
extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved);
