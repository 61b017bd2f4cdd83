// Records what reaches the process's log hub while a test runs.
#pragma once
#include <ostream>
#include <string>
#include <vector>
#include "common/log_hub.h"

namespace moc_test {

struct LoggedMessage {
    int level;
    std::string function;
    int line;
    std::string text;

    bool operator==(const LoggedMessage& o) const {
        return level == o.level && function == o.function && line == o.line && text == o.text;
    }
};

inline std::ostream& operator<<(std::ostream& os, const LoggedMessage& m) {
    return os << "{" << m.level << ", " << m.function << "@" << m.line << ", \"" << m.text << "\"}";
}

// Registers a recording responder with the hub for its lifetime; the hub
// owns the responder, the messages stay here.
class HubRecorder {
public:
    HubRecorder() {
        CMsg::GetInstance()->RemoveAllResponders();
        CMsg::GetInstance()->AddResponder(new Responder(&messages_));
    }
    ~HubRecorder() { CMsg::GetInstance()->RemoveAllResponders(); }
    HubRecorder(const HubRecorder&) = delete;
    HubRecorder& operator=(const HubRecorder&) = delete;

    // Written under the hub's lock; read once the logging threads are done.
    std::vector<LoggedMessage>& messages() { return messages_; }

private:
    class Responder : public IResponder {
    public:
        explicit Responder(std::vector<LoggedMessage>* sink) : sink_(sink) {}
        void Log(int level, const char* function, int line, const char* text) override {
            sink_->push_back(LoggedMessage{level, function, line, text});
        }

    private:
        std::vector<LoggedMessage>* sink_;
    };

    std::vector<LoggedMessage> messages_;
};

} // namespace moc_test
