#pragma once

#include <memory>
#include <mutex>

#include "platform/LogSink.h"

namespace tessary {

// The journal, with SUBSYSTEM and CATEGORY fields, when it is reachable; stderr otherwise,
// and also when stderr is a terminal or TESSARY_LOG_STDERR=1.
class SystemLogSink final : public LogSink {
public:
    SystemLogSink(bool toJournal, bool toStderr);
    static std::shared_ptr<SystemLogSink> fromEnvironment();

    void write(const LogRecord& record) override;

private:
    bool toJournal_;
    bool toStderr_;
    std::mutex stderrMutex_;
};

}  // namespace tessary
