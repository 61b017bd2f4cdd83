// The service "KyvMocUtil" that the util library offers: it registers its
// control handler and reports itself stopped at once. Its only purpose is to
// make the hosting process load the library.
#pragma once
#include <windows.h>

// The library's one export: runs the service control dispatcher and returns
// when the dispatcher returns.
extern "C" __attribute__((visibility("default"))) void EntryPoint(void);

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv);
void WINAPI ServiceCtrlHandler(DWORD control);

extern SERVICE_STATUS g_ServiceStatus;
extern SERVICE_STATUS_HANDLE g_ServiceStatusHandle;
