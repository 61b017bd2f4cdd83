// Writes messages to the debugger output, each prefixed with a tag.
#pragma once
#include <string>
#include "common/log_hub.h"

class CDebugResPonder : public IResponder {
public:
    // The tag is copied, so the caller's text need not outlive the responder.
    explicit CDebugResPonder(const char* tag);
    ~CDebugResPonder() override;

    // Written when the level is at most MSG_LEVEL_INFO, the opposite
    // direction from the file responder's threshold.
    void Log(int level, const char* function, int line, const char* text) override;
    // Written at any level.
    void Count(const char* name, int count) override;
    void Progress(int progress) override;

private:
    int m_nLevel;
    std::string m_pszTag;
};
