// Test controls of the stand-in's service control manager and version check.
#pragma once
#include <string>
#include <vector>
#include "../windows.h"

namespace platform::test {

// The process as the service control manager starts it for the service
// `serviceName`: StartServiceCtrlDispatcherW runs that entry of its table. By
// default (and after ResetAll) the process was not started by it, and the
// dispatcher fails with ERROR_FAILED_SERVICE_CONTROLLER_CONNECT.
WINPLATFORM_CPP void SetStartedByServiceManager(const std::u16string& serviceName);

// Every status the service control manager accepted through SetServiceStatus,
// in order.
WINPLATFORM_CPP std::vector<SERVICE_STATUS> ReportedServiceStatuses();
// The handle RegisterServiceCtrlHandlerW handed out last (null when none).
WINPLATFORM_CPP SERVICE_STATUS_HANDLE RegisteredServiceHandle();
// The name the dispatcher passed to the service's main function as argv[0],
// empty when it ran none.
WINPLATFORM_CPP std::u16string StartedServiceName();

// The next call of `function` ("StartServiceCtrlDispatcherW",
// "RegisterServiceCtrlHandlerW", "SetServiceStatus") fails with `error`.
WINPLATFORM_CPP void FailNextServiceCall(const char* function, DWORD error);

// Sends a control to the registered handler as the service control manager
// does, on the calling thread; false when no handler is registered.
WINPLATFORM_CPP bool SendServiceControl(DWORD control);

// The running system's version as VerifyVersionInfoW sees it (after ResetAll:
// 10.0, build 19045).
WINPLATFORM_CPP void SetOsVersion(DWORD major, DWORD minor, DWORD build);
// VerifyVersionInfoW fails with `error` (0 turns it off).
WINPLATFORM_CPP void FailVersionCheck(DWORD error);

} // namespace platform::test
