// The platform's trace controller as far as a classic provider sees it:
// registrations, sessions that enable a control GUID, and the messages the
// providers send to a session's logger.
#include <cstdarg>
#include <cstring>
#include <stdexcept>
#include <vector>
#include "internal.h"
#include "platform/test_trace.h"

namespace platform::detail {
namespace {

struct Provider {
    TRACEHANDLE handle = 0;
    WMIDPREQUEST callback = nullptr;
    PVOID context = nullptr;
    GUID control{};
};

struct Session {
    GUID control{};
    TRACEHANDLE logger = 0;
    UCHAR level = 0;
    ULONG flags = 0;
};

struct Controller {
    std::mutex mutex;
    std::vector<Provider> providers;
    std::vector<Session> sessions;
    std::vector<platform::test::TraceStatement> captured;
    // Registration and logger handles are distinct ranges so that one can
    // never be taken for the other.
    TRACEHANDLE nextRegistration = 0x1000;
    TRACEHANDLE nextLogger = 0x7000;
    ULONG failNextRegistration = ERROR_SUCCESS;
    int registerCalls = 0;
    int unregisterCalls = 0;
    // Run without the lock, so that it may trace or wait for a thread that does.
    std::shared_ptr<const std::function<void(const platform::test::TraceStatement&)>> hook;
};

Controller& controller() {
    static Controller& c = *new Controller;
    return c;
}

Session* FindSessionByLogger(Controller& c, TRACEHANDLE logger) {
    for (auto& s : c.sessions)
        if (s.logger == logger)
            return &s;
    return nullptr;
}

Session* FindSessionByGuid(Controller& c, const GUID& control) {
    for (auto& s : c.sessions)
        if (s.control == control)
            return &s;
    return nullptr;
}

std::vector<Provider> ProvidersOf(Controller& c, const GUID& control) {
    std::vector<Provider> out;
    for (const auto& p : c.providers)
        if (p.control == control)
            out.push_back(p);
    return out;
}

// The controller hands the provider a WNODE_HEADER that names the session's
// logger; the provider reads it back with GetTraceLoggerHandle. The callback
// runs without the controller's lock, because it calls back into the
// controller (GetTraceEnableLevel and GetTraceEnableFlags).
ULONG CallProvider(const Provider& p, ULONG requestCode, const GUID& control, TRACEHANDLE logger) {
    WNODE_HEADER header{};
    header.BufferSize = sizeof(header);
    header.u1.HistoricalContext = logger;
    header.Guid = control;
    ULONG size = sizeof(header);
    return p.callback(static_cast<WMIDPREQUESTCODE>(requestCode), p.context, &size, &header);
}

ResetHook g_traceReset([] {
    Controller& c = controller();
    std::lock_guard<std::mutex> lock(c.mutex);
    c.providers.clear();
    c.sessions.clear();
    c.captured.clear();
    c.failNextRegistration = ERROR_SUCCESS;
    c.registerCalls = 0;
    c.unregisterCalls = 0;
    c.hook.reset();
});

} // namespace
} // namespace platform::detail

using namespace platform::detail;

extern "C" ULONG RegisterTraceGuidsW(WMIDPREQUEST callback, PVOID context, LPCGUID controlGuid,
                                     ULONG guidCount, PTRACE_GUID_REGISTRATION guidReg,
                                     LPCWSTR mofImagePath, LPCWSTR mofResourceName,
                                     PTRACEHANDLE registrationHandle) {
    (void)mofImagePath;
    (void)mofResourceName;
    Controller& c = controller();
    Provider provider;
    TRACEHANDLE logger = 0;
    bool enabled = false;
    {
        std::lock_guard<std::mutex> lock(c.mutex);
        ++c.registerCalls;
        if (callback == nullptr || controlGuid == nullptr || registrationHandle == nullptr ||
            (guidCount > 0 && guidReg == nullptr))
            return ERROR_INVALID_PARAMETER;
        if (c.failNextRegistration != ERROR_SUCCESS) {
            ULONG error = c.failNextRegistration;
            c.failNextRegistration = ERROR_SUCCESS;
            return error;
        }
        provider.handle = c.nextRegistration++;
        provider.callback = callback;
        provider.context = context;
        provider.control = *controlGuid;
        c.providers.push_back(provider);
        for (ULONG i = 0; i < guidCount; ++i)
            guidReg[i].RegHandle = reinterpret_cast<HANDLE>(provider.handle);
        *registrationHandle = provider.handle;
        if (Session* s = FindSessionByGuid(c, *controlGuid)) {
            enabled = true;
            logger = s->logger;
        }
    }
    // A session that already enables the GUID reaches the new provider
    // before the registration returns, as with the platform's controller.
    if (enabled)
        CallProvider(provider, WMI_ENABLE_EVENTS, provider.control, logger);
    return ERROR_SUCCESS;
}

extern "C" ULONG UnregisterTraceGuids(TRACEHANDLE registrationHandle) {
    Controller& c = controller();
    std::lock_guard<std::mutex> lock(c.mutex);
    ++c.unregisterCalls;
    for (auto it = c.providers.begin(); it != c.providers.end(); ++it) {
        if (it->handle == registrationHandle) {
            c.providers.erase(it);
            return ERROR_SUCCESS;
        }
    }
    return ERROR_INVALID_PARAMETER;
}

extern "C" TRACEHANDLE GetTraceLoggerHandle(PVOID buffer) {
    if (buffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return static_cast<TRACEHANDLE>(-1);
    }
    return static_cast<const WNODE_HEADER*>(buffer)->u1.HistoricalContext;
}

extern "C" UCHAR GetTraceEnableLevel(TRACEHANDLE loggerHandle) {
    Controller& c = controller();
    std::lock_guard<std::mutex> lock(c.mutex);
    if (Session* s = FindSessionByLogger(c, loggerHandle))
        return s->level;
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
}

extern "C" ULONG GetTraceEnableFlags(TRACEHANDLE loggerHandle) {
    Controller& c = controller();
    std::lock_guard<std::mutex> lock(c.mutex);
    if (Session* s = FindSessionByLogger(c, loggerHandle))
        return s->flags;
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
}

extern "C" ULONG TraceMessageWidened(TRACEHANDLE loggerHandle, ULONG messageFlags,
                                     LPCGUID messageGuid, ULONG messageNumber, ...) {
    platform::test::TraceStatement statement;
    statement.logger = loggerHandle;
    statement.flags = messageFlags;
    if (messageGuid != nullptr)
        statement.guid = *messageGuid;
    statement.number = static_cast<USHORT>(messageNumber);

    va_list ap;
    va_start(ap, messageNumber);
    for (;;) {
        void* data = va_arg(ap, void*);
        if (data == nullptr)
            break;
        size_t length = va_arg(ap, size_t);
        const auto* bytes = static_cast<const uint8_t*>(data);
        statement.args.emplace_back(bytes, bytes + length);
    }
    va_end(ap);

    Controller& c = controller();
    std::unique_lock<std::mutex> lock(c.mutex);
    // A message for a logger that no session owns goes nowhere.
    if (FindSessionByLogger(c, loggerHandle) == nullptr)
        return ERROR_INVALID_HANDLE;
    c.captured.push_back(statement);
    auto hook = c.hook;
    lock.unlock();
    if (hook)
        (*hook)(statement);
    return ERROR_SUCCESS;
}

namespace platform::test {

void EnableTraceSession(const GUID& control, UCHAR level, ULONG flags) {
    Controller& c = controller();
    std::vector<Provider> targets;
    TRACEHANDLE logger = 0;
    {
        std::lock_guard<std::mutex> lock(c.mutex);
        Session* s = FindSessionByGuid(c, control);
        if (s == nullptr) {
            Session fresh;
            fresh.control = control;
            fresh.logger = c.nextLogger++;
            c.sessions.push_back(fresh);
            s = &c.sessions.back();
        }
        s->level = level;
        s->flags = flags;
        logger = s->logger;
        targets = ProvidersOf(c, control);
    }
    for (const auto& p : targets)
        CallProvider(p, WMI_ENABLE_EVENTS, control, logger);
}

void DisableTraceSession(const GUID& control) {
    Controller& c = controller();
    std::vector<Provider> targets;
    TRACEHANDLE logger = 0;
    {
        std::lock_guard<std::mutex> lock(c.mutex);
        for (auto it = c.sessions.begin(); it != c.sessions.end(); ++it) {
            if (it->control == control) {
                logger = it->logger;
                c.sessions.erase(it);
                targets = ProvidersOf(c, control);
                break;
            }
        }
    }
    for (const auto& p : targets)
        CallProvider(p, WMI_DISABLE_EVENTS, control, logger);
}

ULONG SendTraceRequest(const GUID& control, ULONG requestCode) {
    Controller& c = controller();
    std::vector<Provider> targets;
    TRACEHANDLE logger = 0;
    {
        std::lock_guard<std::mutex> lock(c.mutex);
        targets = ProvidersOf(c, control);
        if (Session* s = FindSessionByGuid(c, control))
            logger = s->logger;
    }
    if (targets.empty())
        return ERROR_NOT_FOUND;
    ULONG result = ERROR_SUCCESS;
    for (const auto& p : targets)
        result = CallProvider(p, requestCode, control, logger);
    return result;
}

void FailNextTraceRegistration(ULONG error) {
    Controller& c = controller();
    std::lock_guard<std::mutex> lock(c.mutex);
    c.failNextRegistration = error;
}

bool IsTraceProviderRegistered(const GUID& control) {
    Controller& c = controller();
    std::lock_guard<std::mutex> lock(c.mutex);
    return !ProvidersOf(c, control).empty();
}

int TraceRegisterCalls() {
    Controller& c = controller();
    std::lock_guard<std::mutex> lock(c.mutex);
    return c.registerCalls;
}

int TraceUnregisterCalls() {
    Controller& c = controller();
    std::lock_guard<std::mutex> lock(c.mutex);
    return c.unregisterCalls;
}

TRACEHANDLE TraceSessionLogger(const GUID& control) {
    Controller& c = controller();
    std::lock_guard<std::mutex> lock(c.mutex);
    Session* s = FindSessionByGuid(c, control);
    return s ? s->logger : 0;
}

std::vector<TraceStatement> CapturedTraces() {
    Controller& c = controller();
    std::lock_guard<std::mutex> lock(c.mutex);
    return c.captured;
}

void ClearCapturedTraces() {
    Controller& c = controller();
    std::lock_guard<std::mutex> lock(c.mutex);
    c.captured.clear();
}

void SetTraceHook(std::function<void(const TraceStatement&)> hook) {
    Controller& c = controller();
    std::lock_guard<std::mutex> lock(c.mutex);
    if (hook)
        c.hook =
            std::make_shared<const std::function<void(const TraceStatement&)>>(std::move(hook));
    else
        c.hook.reset();
}

namespace {
template <class T> T FixedWidth(const std::vector<uint8_t>& arg, const char* what) {
    if (arg.size() != sizeof(T))
        throw std::invalid_argument(what);
    T value;
    std::memcpy(&value, arg.data(), sizeof(T));
    return value;
}
} // namespace

uint32_t TraceArgU32(const std::vector<uint8_t>& arg) {
    return FixedWidth<uint32_t>(arg, "trace argument is not 4 bytes");
}

uint64_t TraceArgU64(const std::vector<uint8_t>& arg) {
    return FixedWidth<uint64_t>(arg, "trace argument is not 8 bytes");
}

double TraceArgDouble(const std::vector<uint8_t>& arg) {
    return FixedWidth<double>(arg, "trace argument is not 8 bytes");
}

std::string TraceArgString(const std::vector<uint8_t>& arg) {
    // Exactly one NUL, at the end: a missing or early terminator means the
    // sender's length was wrong.
    if (arg.empty() || arg.back() != 0 || std::memchr(arg.data(), 0, arg.size() - 1) != nullptr)
        throw std::invalid_argument("trace argument is not a NUL-terminated string");
    return std::string(reinterpret_cast<const char*>(arg.data()), arg.size() - 1);
}

std::u16string TraceArgWString(const std::vector<uint8_t>& arg) {
    if (arg.size() < 2 || arg.size() % 2 != 0)
        throw std::invalid_argument("trace argument is not whole UTF-16 units");
    std::u16string text(arg.size() / 2, u'\0');
    std::memcpy(text.data(), arg.data(), arg.size());
    if (text.back() != u'\0' || text.find(u'\0') != text.size() - 1)
        throw std::invalid_argument("trace argument is not a terminated wide string");
    text.pop_back();
    return text;
}

} // namespace platform::test
