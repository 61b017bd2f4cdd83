// The console session and its WTSSessionInfoEx reply.
#include <cstdlib>
#include <cstring>
#include <vector>
#include <wtsapi32.h>
#include "internal.h"
#include "platform/test_session.h"

namespace platform::detail {
namespace {

// A console session that is logged on and unlocked, as on a desktop at rest.
constexpr DWORD kDefaultSession = 1;

struct State {
    std::mutex mutex;
    DWORD sessionId = kDefaultSession;
    LONG sessionFlags = static_cast<LONG>(WTS_SESSIONSTATE_UNLOCK);
    DWORD failure = 0;
    std::vector<uint8_t> reply;
    DWORD level = 1;
};

State& state() {
    static State& s = *new State;
    return s;
}

ResetHook g_resetSession([] {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.sessionId = kDefaultSession;
    s.sessionFlags = static_cast<LONG>(WTS_SESSIONSTATE_UNLOCK);
    s.failure = 0;
    s.reply.clear();
    s.level = 1;
});

} // namespace
} // namespace platform::detail

using platform::detail::state;

extern "C" DWORD WTSGetActiveConsoleSessionId(void) {
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.sessionId;
}

extern "C" BOOL WTSQuerySessionInformationW(HANDLE, DWORD sessionId, WTS_INFO_CLASS infoClass,
                                            LPWSTR* buffer, DWORD* bytesReturned) {
    if (buffer == nullptr || bytesReturned == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *buffer = nullptr;
    *bytesReturned = 0;
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    DWORD error = s.failure;
    // No session on the console: the id names no session at all.
    if (error == 0 && (s.sessionId == 0xFFFFFFFFu || sessionId != s.sessionId))
        error = ERROR_FILE_NOT_FOUND;
    if (error == 0 && infoClass != WTSSessionInfoEx)
        error = ERROR_NOT_SUPPORTED;
    if (error != 0) {
        SetLastError(error);
        return FALSE;
    }
    std::vector<uint8_t> bytes = s.reply;
    if (bytes.empty()) {
        WTSINFOEXW info{};
        info.Level = s.level;
        info.Data.WTSInfoExLevel1.SessionId = s.sessionId;
        info.Data.WTSInfoExLevel1.SessionFlags = s.sessionFlags;
        const char16_t station[] = u"Console";
        std::memcpy(info.Data.WTSInfoExLevel1.WinStationName, station, sizeof(station));
        bytes.resize(sizeof(info));
        std::memcpy(bytes.data(), &info, sizeof(info));
    }
    // Exactly the reply's size, so that a read past it is caught.
    void* memory = std::malloc(bytes.size());
    if (memory == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    std::memcpy(memory, bytes.data(), bytes.size());
    *buffer = static_cast<LPWSTR>(memory);
    *bytesReturned = static_cast<DWORD>(bytes.size());
    return TRUE;
}

extern "C" void WTSFreeMemory(PVOID memory) {
    std::free(memory);
}

namespace platform::test {

void SetConsoleSession(DWORD sessionId) {
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.sessionId = sessionId;
}

void SetConsoleLockState(LONG sessionFlags) {
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.sessionFlags = sessionFlags;
}

void FailSessionQuery(DWORD error) {
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.failure = error;
}

void SetSessionReply(const std::vector<uint8_t>& bytes) {
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.reply = bytes;
}

void SetSessionReplyLevel(DWORD level) {
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.level = level;
}

} // namespace platform::test
