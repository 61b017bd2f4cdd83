#include "service/service_entry.h"

#include "common/log_hub.h"

SERVICE_STATUS g_ServiceStatus = {};
SERVICE_STATUS_HANDLE g_ServiceStatusHandle = nullptr;

namespace {
// The dispatcher table takes a writable name.
WCHAR g_serviceName[] = u"KyvMocUtil";
} // namespace

extern "C" void EntryPoint(void) {
    CMsg::GetInstance()->Log(MSG_LEVEL_INFO, "EntryPoint", 310, "EntryPoint");
    const SERVICE_TABLE_ENTRYW table[] = {
        {g_serviceName, ServiceMain},
        {nullptr, nullptr},
    };
    if (StartServiceCtrlDispatcherW(table))
        return;
    const DWORD error = GetLastError();
    CMsg::GetInstance()->Log(MSG_LEVEL_ERROR, "EntryPoint", 324,
                             "StartServiceCtrlDispatcher failed. LastErr: %d",
                             static_cast<int>(error));
}

void WINAPI ServiceMain(DWORD /*argc*/, LPWSTR* /*argv*/) {
    g_ServiceStatusHandle = RegisterServiceCtrlHandlerW(g_serviceName, ServiceCtrlHandler);
    if (g_ServiceStatusHandle == nullptr) {
        const DWORD error = GetLastError();
        CMsg::GetInstance()->Log(MSG_LEVEL_ERROR, "ServiceMain", 378,
                                 "RegisterServiceCtrlHandler failed. LastErr: %d",
                                 static_cast<int>(error));
        return;
    }
    g_ServiceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    // The service has no running phase: it is stopped as soon as it is started.
    g_ServiceStatus.dwCurrentState = SERVICE_STOPPED;
    g_ServiceStatus.dwControlsAccepted =
        SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_SHUTDOWN;
    g_ServiceStatus.dwWin32ExitCode = 0;
    g_ServiceStatus.dwServiceSpecificExitCode = 0;
    g_ServiceStatus.dwCheckPoint = 0;
    g_ServiceStatus.dwWaitHint = 0;
    SetServiceStatus(g_ServiceStatusHandle, &g_ServiceStatus);
    CMsg::GetInstance()->Log(MSG_LEVEL_INFO, "ServiceMain", 393,
                             "SetServiceStatus(SERVICE_STOPPED)");
}

void WINAPI ServiceCtrlHandler(DWORD control) {
    CMsg* hub = CMsg::GetInstance();
    switch (control) {
    case SERVICE_CONTROL_STOP:
        hub->Log(MSG_LEVEL_INFO, "ServiceCtrlHandler", 338, "SERVICE_CONTROL_STOP");
        g_ServiceStatus.dwCurrentState = SERVICE_STOPPED;
        g_ServiceStatus.dwWin32ExitCode = 0;
        break;
    case SERVICE_CONTROL_SHUTDOWN:
        hub->Log(MSG_LEVEL_INFO, "ServiceCtrlHandler", 344, "SERVICE_CONTROL_SHUTDOWN");
        g_ServiceStatus.dwCurrentState = SERVICE_STOPPED;
        g_ServiceStatus.dwWin32ExitCode = 0;
        break;
    case SERVICE_CONTROL_PAUSE:
        hub->Log(MSG_LEVEL_INFO, "ServiceCtrlHandler", 350, "SERVICE_CONTROL_PAUSE");
        g_ServiceStatus.dwCurrentState = SERVICE_PAUSED;
        break;
    case SERVICE_CONTROL_CONTINUE:
        hub->Log(MSG_LEVEL_INFO, "ServiceCtrlHandler", 355, "SERVICE_CONTROL_CONTINUE");
        g_ServiceStatus.dwCurrentState = SERVICE_RUNNING;
        break;
    default:
        // Interrogate and unknown codes: the current status is reported again.
        hub->Log(MSG_LEVEL_INFO, "ServiceCtrlHandler", 360, "dwControl: %#x dwCurrentState: %#x",
                 static_cast<unsigned>(control),
                 static_cast<unsigned>(g_ServiceStatus.dwCurrentState));
        break;
    }
    SetServiceStatus(g_ServiceStatusHandle, &g_ServiceStatus);
}
