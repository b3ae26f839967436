#pragma once

#include <memory>
#include <mutex>

#include "platform/LogSink.h"
#include "safari-extension/WebExtensionEntry.h"

namespace tessary {

// Log lines go to the handler the hosting process registered, else to the fallback (the system log).
class HostLogSink final : public LogSink {
public:
    explicit HostLogSink(std::shared_ptr<LogSink> fallback) : fallback_(std::move(fallback)) {}

    // Process-wide: every request's log lines follow the latest registration. A null handler
    // returns to the fallback.
    static void setHandler(TessaryLogHandler handler, void* context);

    bool keeps(LogLevel level) const override;
    void write(const LogRecord& record) override;

private:
    std::shared_ptr<LogSink> fallback_;
};

}  // namespace tessary
