#pragma once

#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

#include "platform/LogArgument.h"
#include "platform/LogSink.h"

namespace tessary {

// A logger for one subsystem and category. Formats use the system log's placeholders
// (%s, %ld, %f, %@, %{bool}d, %{public}s ...), filled in order by the arguments.
class Logger {
public:
    Logger(std::shared_ptr<LogSink> sink, std::string subsystem, std::string category);

    void debug(std::string_view format, std::initializer_list<LogArgument> arguments = {}) const;
    void info(std::string_view format, std::initializer_list<LogArgument> arguments = {}) const;
    void error(std::string_view format, std::initializer_list<LogArgument> arguments = {}) const;
    // Whether a line of this level would be kept (see LogSink::keeps).
    bool keeps(LogLevel level) const { return sink_ && sink_->keeps(level); }

    static std::string render(std::string_view format, std::initializer_list<LogArgument> arguments);

private:
    void write(LogLevel level, std::string_view format, std::initializer_list<LogArgument> arguments) const;

    std::shared_ptr<LogSink> sink_;
    std::string subsystem_;
    std::string category_;
};

}  // namespace tessary
