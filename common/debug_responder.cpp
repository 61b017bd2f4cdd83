#include "common/debug_responder.h"

#include <cstdio>

namespace {
constexpr size_t kDebugBuffer = 2048;
const char* TextOrNull(const char* text) {
    return text != nullptr ? text : "NULL";
}
} // namespace

CDebugResPonder::CDebugResPonder(const char* tag)
    : m_nLevel(MSG_LEVEL_INFO), m_pszTag(TextOrNull(tag)) {}

CDebugResPonder::~CDebugResPonder() = default;

void CDebugResPonder::Log(int level, const char* function, int line, const char* text) {
    if (level > m_nLevel)
        return;
    SYSTEMTIME now{};
    GetLocalTime(&now);
    char buffer[kDebugBuffer] = {};
    int length = std::snprintf(
        buffer, sizeof(buffer), "[%05d][%05d][%02d:%02d:%02d %03d][%s][%s@%d] %s\n",
        static_cast<int>(GetCurrentProcessId()), static_cast<int>(GetCurrentThreadId()), now.wHour,
        now.wMinute, now.wSecond, now.wMilliseconds, m_pszTag.c_str(), TextOrNull(function), line,
        TextOrNull(text));
    if (length < 0)
        return;
    // Cut at 2047 characters, still ending with the LF of a message line.
    if (static_cast<size_t>(length) >= sizeof(buffer))
        buffer[sizeof(buffer) - 2] = '\n';
    OutputDebugStringA(buffer);
}

void CDebugResPonder::Count(const char* name, int count) {
    char buffer[kDebugBuffer] = {};
    std::snprintf(buffer, sizeof(buffer), "%s count is %d", TextOrNull(name), count);
    OutputDebugStringA(buffer);
}

void CDebugResPonder::Progress(int progress) {
    char buffer[kDebugBuffer] = {};
    std::snprintf(buffer, sizeof(buffer), "Progress is %d", progress);
    OutputDebugStringA(buffer);
}
