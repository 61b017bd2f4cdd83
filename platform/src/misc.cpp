// Debugger output, clocks, process and thread ids.
#include <chrono>
#include <ctime>
#include <optional>
#include <string>
#include <thread>
#include <vector>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>
#include "internal.h"
#include "platform/test_core.h"

namespace platform::detail {
namespace {

struct MiscState {
    std::mutex mutex;
    std::vector<std::string> debugOutput;
    std::optional<SYSTEMTIME> localTime;
};

MiscState& misc() {
    static MiscState& m = *new MiscState;
    return m;
}

ResetHook g_miscReset([] {
    MiscState& m = misc();
    std::lock_guard<std::mutex> lock(m.mutex);
    m.debugOutput.clear();
    m.localTime.reset();
});

void AppendDebugOutput(std::string text) {
    MiscState& m = misc();
    std::lock_guard<std::mutex> lock(m.mutex);
    m.debugOutput.push_back(std::move(text));
}

SYSTEMTIME FromTm(const std::tm& tm, long milliseconds) {
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(tm.tm_year + 1900);
    st.wMonth = static_cast<WORD>(tm.tm_mon + 1);
    st.wDayOfWeek = static_cast<WORD>(tm.tm_wday);
    st.wDay = static_cast<WORD>(tm.tm_mday);
    st.wHour = static_cast<WORD>(tm.tm_hour);
    st.wMinute = static_cast<WORD>(tm.tm_min);
    st.wSecond = static_cast<WORD>(tm.tm_sec);
    st.wMilliseconds = static_cast<WORD>(milliseconds);
    return st;
}

SYSTEMTIME Now(bool local) {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    std::tm tm{};
    time_t seconds = tv.tv_sec;
    if (local)
        localtime_r(&seconds, &tm);
    else
        gmtime_r(&seconds, &tm);
    return FromTm(tm, tv.tv_usec / 1000);
}

} // namespace
} // namespace platform::detail

using namespace platform::detail;

// The platform ignores a null string here; so does the stand-in.
extern "C" void OutputDebugStringA(LPCSTR text) {
    if (text != nullptr)
        AppendDebugOutput(text);
}

extern "C" void OutputDebugStringW(LPCWSTR text) {
    if (text != nullptr)
        AppendDebugOutput(Utf8FromUtf16(text));
}

extern "C" void GetLocalTime(LPSYSTEMTIME time) {
    if (time == nullptr)
        return;
    {
        MiscState& m = misc();
        std::lock_guard<std::mutex> lock(m.mutex);
        if (m.localTime) {
            *time = *m.localTime;
            return;
        }
    }
    *time = Now(true);
}

extern "C" void GetSystemTime(LPSYSTEMTIME time) {
    if (time != nullptr)
        *time = Now(false);
}

extern "C" DWORD GetCurrentProcessId(void) {
    return static_cast<DWORD>(getpid());
}

extern "C" DWORD GetCurrentThreadId(void) {
    return static_cast<DWORD>(syscall(SYS_gettid));
}

extern "C" DWORD GetTickCount(void) {
    auto since = std::chrono::steady_clock::now().time_since_epoch();
    // The platform's tick count wraps at 32 bits (about 49.7 days).
    return static_cast<DWORD>(std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
}

extern "C" void Sleep(DWORD milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

namespace platform::test {

std::vector<std::string> DebugOutput() {
    MiscState& m = misc();
    std::lock_guard<std::mutex> lock(m.mutex);
    return m.debugOutput;
}

void ClearDebugOutput() {
    MiscState& m = misc();
    std::lock_guard<std::mutex> lock(m.mutex);
    m.debugOutput.clear();
}

void SetLocalTime(const SYSTEMTIME& time) {
    MiscState& m = misc();
    std::lock_guard<std::mutex> lock(m.mutex);
    m.localTime = time;
}

void ClearLocalTime() {
    MiscState& m = misc();
    std::lock_guard<std::mutex> lock(m.mutex);
    m.localTime.reset();
}

} // namespace platform::test
