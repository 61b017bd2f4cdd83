#include "common/log_hub.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

constexpr size_t kMessageBuffer = 2048;
constexpr size_t kFileLineBuffer = 1024;
constexpr char kBanner[] = ">>>>>>Quorvin Log Start \n";
// LF before CR, as the file format has it.
constexpr char kEndLine[] = ">>>>>>End \n\r";

const char* TextOrNull(const char* text) {
    return text != nullptr ? text : "NULL";
}

void WriteAll(HANDLE file, const char* bytes, size_t length) {
    DWORD written = 0;
    // A failed write is ignored: the line is lost and later lines are still tried.
    WriteFile(file, bytes, static_cast<DWORD>(length), &written, nullptr);
}

// Storage of the one hub. The hub is destroyed by DestroyMsgInstance,
// registered with atexit at its creation; in a shared library that runs when
// the library is unloaded.
alignas(CMsg) unsigned char g_msgStorage[sizeof(CMsg)];
CMsg* g_msgInstance = nullptr;

} // namespace

IResponder::~IResponder() = default;
void IResponder::Log(int, const char*, int, const char*) {}
void IResponder::Count(const char*, int) {}
void IResponder::Progress(int) {}

CMsgBase::~CMsgBase() {
    for (IResponder* responder : m_vecResponders)
        delete responder;
    m_vecResponders.clear();
}

void CMsgBase::AddResponder(IResponder* responder) {
    if (responder == nullptr)
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    // Registered twice, it would be destroyed twice.
    if (std::find(m_vecResponders.begin(), m_vecResponders.end(), responder) !=
        m_vecResponders.end())
        return;
    m_vecResponders.push_back(responder);
}

void CMsgBase::Log(int level, const char* function, int line, const char* format, ...) {
    char text[kMessageBuffer] = {};
    if (format != nullptr) {
        va_list ap;
        va_start(ap, format);
        // Bounded: a longer message is cut at 2047 characters.
        std::vsnprintf(text, sizeof(text), format, ap);
        va_end(ap);
    } else {
        std::strcpy(text, "NULL");
    }
    const char* name = TextOrNull(function);

    std::lock_guard<std::mutex> lock(m_mutex);
    for (IResponder* responder : m_vecResponders)
        responder->Log(level, name, line, text);
}

void CMsgBase::Count(const char* name, int count) {
    const char* shown = TextOrNull(name);
    std::lock_guard<std::mutex> lock(m_mutex);
    for (IResponder* responder : m_vecResponders)
        responder->Count(shown, count);
}

void CMsgBase::Progress(int progress) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (IResponder* responder : m_vecResponders)
        responder->Progress(progress);
}

void CMsgBase::RemoveAllResponders() {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (IResponder* responder : m_vecResponders)
        delete responder;
    m_vecResponders.clear();
}

CMsg* CMsg::GetInstance() {
    static CMsg* const s_MsgInstance = [] {
        g_msgInstance = new (g_msgStorage) CMsg();
        std::atexit(DestroyMsgInstance);
        return g_msgInstance;
    }();
    return s_MsgInstance;
}

void DestroyMsgInstance() {
    if (g_msgInstance == nullptr)
        return;
    CMsg* hub = g_msgInstance;
    g_msgInstance = nullptr;
    hub->~CMsg();
}

CLogResPonder::CLogResPonder(const char* path, ULONG_PTR enable, int level)
    : m_hLogFile(INVALID_HANDLE_VALUE), m_nLevel(level) {
    if (path == nullptr || enable == 0)
        return;
    // CREATE_NEW: an existing file is never opened, appended to or replaced.
    HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    m_hLogFile = file;
    WriteAll(m_hLogFile, kBanner, sizeof(kBanner) - 1);
}

CLogResPonder::~CLogResPonder() {
    if (m_hLogFile == INVALID_HANDLE_VALUE)
        return;
    WriteAll(m_hLogFile, kEndLine, sizeof(kEndLine) - 1);
    CloseHandle(m_hLogFile);
    m_hLogFile = INVALID_HANDLE_VALUE;
}

void CLogResPonder::Log(int level, const char* function, int line, const char* text) {
    if (level < m_nLevel || m_hLogFile == INVALID_HANDLE_VALUE)
        return;
    SYSTEMTIME now{};
    GetLocalTime(&now);
    char buffer[kFileLineBuffer] = {};
    int length = std::snprintf(
        buffer, sizeof(buffer), "[%05d][%05d][%02d:%02d:%02d %03d][%s@%d] %s\n",
        static_cast<int>(GetCurrentProcessId()), static_cast<int>(GetCurrentThreadId()), now.wHour,
        now.wMinute, now.wSecond, now.wMilliseconds, TextOrNull(function), line, TextOrNull(text));
    if (length < 0)
        return;
    size_t size = static_cast<size_t>(length);
    if (size >= sizeof(buffer)) {
        // Cut at 1023 characters; the line still ends with its LF so that the
        // next line starts on a line of its own.
        size = sizeof(buffer) - 1;
        buffer[size - 1] = '\n';
    }
    WriteAll(m_hLogFile, buffer, size);
}

void CLogResPonder::Count(const char*, int) {}
void CLogResPonder::Progress(int) {}
