// The process-wide message hub and its responder interface, with the file
// responder. The hub formats a message once and hands the text to every
// registered responder, in registration order, one message at a time.
#pragma once
#include <mutex>
#include <vector>
#include <windows.h>

// Lower values are more severe.
inline constexpr int MSG_LEVEL_ERROR = 0;
inline constexpr int MSG_LEVEL_INFO = 2;

class IResponder {
public:
    virtual ~IResponder();
    virtual void Log(int level, const char* function, int line, const char* text);
    virtual void Count(const char* name, int count);
    virtual void Progress(int progress);
};

class CMsgBase {
public:
    CMsgBase() = default;
    CMsgBase(const CMsgBase&) = delete;
    CMsgBase& operator=(const CMsgBase&) = delete;
    // Destroys the responders still registered, front to back.
    virtual ~CMsgBase();

    // Takes ownership of a non-null responder not yet registered.
    void AddResponder(IResponder* responder);
    void Log(int level, const char* function, int line, const char* format, ...)
        __attribute__((format(printf, 5, 6)));
    void Count(const char* name, int count);
    void Progress(int progress);
    // Destroys every responder, front to back; the hub stays usable.
    void RemoveAllResponders();

private:
    std::vector<IResponder*> m_vecResponders;
    // Not recursive: a responder must not call back into the hub.
    std::mutex m_mutex;
};

class CMsg : public CMsgBase {
public:
    // The process's one hub, created at the first call (thread-safe) and
    // destroyed by DestroyMsgInstance at exit or when the library unloads.
    static CMsg* GetInstance();
};

// The exit-time destructor of the hub, registered by the first GetInstance.
void DestroyMsgInstance();

// Writes accepted messages as lines of a log file it creates; an existing
// file is never opened, so such a responder writes nothing.
class CLogResPonder : public IResponder {
public:
    // No file when `path` is null or `enable` is 0. Messages whose level is
    // at least `level` are written.
    CLogResPonder(const char* path, ULONG_PTR enable, int level);
    CLogResPonder(const CLogResPonder&) = delete;
    CLogResPonder& operator=(const CLogResPonder&) = delete;
    ~CLogResPonder() override;

    void Log(int level, const char* function, int line, const char* text) override;
    void Count(const char* name, int count) override;
    void Progress(int progress) override;

private:
    HANDLE m_hLogFile;
    int m_nLevel;
};
