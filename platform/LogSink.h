#pragma once

#include <string>

namespace tessary {

enum class LogLevel { debug, info, error };

struct LogRecord {
    LogLevel level;
    std::string subsystem;
    std::string category;
    std::string message;
};

// Where rendered log lines go: the journal, stderr, or memory in tests. Safe from any thread.
class LogSink {
public:
    virtual ~LogSink() = default;
    virtual void write(const LogRecord& record) = 0;
    // Whether a line of this level is kept anywhere; a caller may skip work done only for such lines.
    virtual bool keeps(LogLevel) const { return true; }
};

}  // namespace tessary
