#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/LogSink.h"

namespace tessary {

// Keeps every record, for tests and for reading back what a run logged.
class MemoryLogSink final : public LogSink {
public:
    void write(const LogRecord& record) override;

    std::vector<LogRecord> records() const;
    std::vector<std::string> messages() const;
    bool contains(const std::string& message) const;
    std::size_t count(const std::string& message) const;
    void clear();

private:
    mutable std::mutex mutex_;
    std::vector<LogRecord> records_;
};

}  // namespace tessary
