#include "platform/linux/SystemLogSink.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <syslog.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

namespace tessary {

namespace {

int priority(LogLevel level)
{
    switch (level) {
    case LogLevel::debug:
        return LOG_DEBUG;
    case LogLevel::info:
        return LOG_INFO;
    case LogLevel::error:
        return LOG_ERR;
    }
    return LOG_INFO;
}

const char* levelName(LogLevel level)
{
    switch (level) {
    case LogLevel::debug:
        return "debug";
    case LogLevel::info:
        return "info";
    case LogLevel::error:
        return "error";
    }
    return "info";
}

}  // namespace

SystemLogSink::SystemLogSink(bool toJournal, bool toStderr) : toJournal_(toJournal), toStderr_(toStderr) {}

std::shared_ptr<SystemLogSink> SystemLogSink::fromEnvironment()
{
    const bool journal = ::access("/run/systemd/journal/socket", W_OK) == 0;
    const char* forced = std::getenv("TESSARY_LOG_STDERR");
    const bool forceStderr = forced != nullptr && std::strcmp(forced, "1") == 0;
    return std::make_shared<SystemLogSink>(journal, !journal || forceStderr || ::isatty(STDERR_FILENO) == 1);
}

void SystemLogSink::write(const LogRecord& record)
{
    if (toJournal_) {
        sd_journal_send("MESSAGE=%s", record.message.c_str(), "PRIORITY=%d", priority(record.level),
                        "SUBSYSTEM=%s", record.subsystem.c_str(), "CATEGORY=%s", record.category.c_str(),
                        "SYSLOG_IDENTIFIER=%s", program_invocation_short_name, nullptr);
    }
    if (toStderr_) {
        const auto now = std::chrono::system_clock::now();
        const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
        const auto millis =
            std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
        std::tm local{};
        ::localtime_r(&seconds, &local);
        char stamp[32];
        std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
        const std::lock_guard lock(stderrMutex_);
        std::fprintf(stderr, "%s.%03lld %s [%s:%s] %s\n", stamp, static_cast<long long>(millis),
                     levelName(record.level), record.subsystem.c_str(), record.category.c_str(),
                     record.message.c_str());
    }
}

}  // namespace tessary
