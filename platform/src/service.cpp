#include <map>
#include <string>
#include <thread>
#include <vector>
#include "internal.h"
#include "platform/test_service.h"

namespace platform::detail {
namespace {

bool SameServiceName(const std::u16string& a, const std::u16string& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char16_t x = a[i], y = b[i];
        if (x >= u'a' && x <= u'z')
            x = static_cast<char16_t>(x - u'a' + u'A');
        if (y >= u'a' && y <= u'z')
            y = static_cast<char16_t>(y - u'a' + u'A');
        if (x != y)
            return false;
    }
    return true;
}

struct ServiceManager {
    std::mutex mutex;
    bool startedByManager = false;
    std::u16string serviceToStart;
    // The service whose main function the dispatcher is running: only it may
    // register a control handler.
    std::u16string dispatching;
    std::u16string startedName;
    LPHANDLER_FUNCTION handler = nullptr;
    SERVICE_STATUS_HANDLE handle = nullptr;
    uintptr_t nextHandle = 0x5E0000;
    std::vector<SERVICE_STATUS> history;
    std::map<std::string, DWORD> failures;

    DWORD TakeFailure(const char* function) {
        auto it = failures.find(function);
        if (it == failures.end())
            return ERROR_SUCCESS;
        DWORD error = it->second;
        failures.erase(it);
        return error;
    }
};

ServiceManager& manager() {
    static ServiceManager& m = *new ServiceManager;
    return m;
}

ResetHook g_resetServices([] {
    ServiceManager& m = manager();
    std::lock_guard<std::mutex> lock(m.mutex);
    m.startedByManager = false;
    m.serviceToStart.clear();
    m.dispatching.clear();
    m.startedName.clear();
    m.handler = nullptr;
    m.handle = nullptr;
    m.history.clear();
    m.failures.clear();
});

} // namespace
} // namespace platform::detail

using namespace platform::detail;

extern "C" BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* table) {
    ServiceManager& m = manager();
    LPSERVICE_MAIN_FUNCTIONW main = nullptr;
    std::u16string name;
    {
        std::lock_guard<std::mutex> lock(m.mutex);
        DWORD injected = m.TakeFailure("StartServiceCtrlDispatcherW");
        if (injected != ERROR_SUCCESS) {
            SetLastError(injected);
            return FALSE;
        }
        if (table == nullptr || table[0].lpServiceName == nullptr ||
            table[0].lpServiceProc == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        // A process that the manager did not start has no connection to it.
        if (!m.startedByManager) {
            SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
            return FALSE;
        }
        for (const SERVICE_TABLE_ENTRYW* entry = table; entry->lpServiceName != nullptr; ++entry) {
            if (SameServiceName(entry->lpServiceName, m.serviceToStart)) {
                main = entry->lpServiceProc;
                name = entry->lpServiceName;
                break;
            }
        }
        if (main == nullptr) {
            SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
            return FALSE;
        }
        m.dispatching = name;
        m.startedName = name;
    }

    // The platform runs the service's main function on a thread of its own.
    // The stand-in's dispatcher returns once that function has returned: a
    // service that returns without reporting SERVICE_STOPPED would keep the
    // platform's dispatcher waiting, which the status history shows.
    std::u16string argument = name;
    std::thread worker([main, &argument] {
        LPWSTR argv[] = {argument.data(), nullptr};
        main(1, argv);
    });
    worker.join();

    std::lock_guard<std::mutex> lock(m.mutex);
    m.dispatching.clear();
    return TRUE;
}

extern "C" SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerW(LPCWSTR serviceName,
                                                             LPHANDLER_FUNCTION handler) {
    ServiceManager& m = manager();
    std::lock_guard<std::mutex> lock(m.mutex);
    DWORD injected = m.TakeFailure("RegisterServiceCtrlHandlerW");
    if (injected != ERROR_SUCCESS) {
        SetLastError(injected);
        return nullptr;
    }
    if (serviceName == nullptr || handler == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (m.dispatching.empty() || !SameServiceName(serviceName, m.dispatching)) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    m.handler = handler;
    m.handle = reinterpret_cast<SERVICE_STATUS_HANDLE>(m.nextHandle);
    m.nextHandle += 8;
    return m.handle;
}

extern "C" BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status) {
    ServiceManager& m = manager();
    std::lock_guard<std::mutex> lock(m.mutex);
    DWORD injected = m.TakeFailure("SetServiceStatus");
    if (injected != ERROR_SUCCESS) {
        SetLastError(injected);
        return FALSE;
    }
    if (handle == nullptr || handle != m.handle) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (status == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (status->dwCurrentState < SERVICE_STOPPED || status->dwCurrentState > SERVICE_PAUSED) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    m.history.push_back(*status);
    return TRUE;
}

namespace platform::test {

void SetStartedByServiceManager(const std::u16string& serviceName) {
    ServiceManager& m = manager();
    std::lock_guard<std::mutex> lock(m.mutex);
    m.startedByManager = true;
    m.serviceToStart = serviceName;
}

std::vector<SERVICE_STATUS> ReportedServiceStatuses() {
    ServiceManager& m = manager();
    std::lock_guard<std::mutex> lock(m.mutex);
    return m.history;
}

SERVICE_STATUS_HANDLE RegisteredServiceHandle() {
    ServiceManager& m = manager();
    std::lock_guard<std::mutex> lock(m.mutex);
    return m.handle;
}

std::u16string StartedServiceName() {
    ServiceManager& m = manager();
    std::lock_guard<std::mutex> lock(m.mutex);
    return m.startedName;
}

void FailNextServiceCall(const char* function, DWORD error) {
    ServiceManager& m = manager();
    std::lock_guard<std::mutex> lock(m.mutex);
    if (function != nullptr)
        m.failures[function] = error;
}

bool SendServiceControl(DWORD control) {
    LPHANDLER_FUNCTION handler;
    {
        ServiceManager& m = manager();
        std::lock_guard<std::mutex> lock(m.mutex);
        handler = m.handler;
    }
    if (handler == nullptr)
        return false;
    // Outside the lock: the handler reports its status through SetServiceStatus.
    handler(control);
    return true;
}

} // namespace platform::test
