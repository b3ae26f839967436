#pragma once

#include <filesystem>
#include <memory>
#include <mutex>

#include "platform/LogSink.h"

namespace tessary {

// The journal, with SUBSYSTEM and CATEGORY fields, when it is reachable; stderr otherwise,
// and also when stderr is a terminal or TESSARY_LOG_STDERR=1. The journal is written over its
// native datagram protocol, so the browsers' hosts log without loading the systemd library.
class SystemLogSink final : public LogSink {
public:
    static constexpr const char* kJournalSocket = "/run/systemd/journal/socket";

    // An empty journalSocket writes no journal. Lines below lowest are dropped.
    SystemLogSink(std::filesystem::path journalSocket, bool toStderr, LogLevel lowest = LogLevel::debug);
    // Lines below quietBelow are kept only while someone watches stderr (a terminal, or
    // TESSARY_LOG_STDERR=1).
    static std::shared_ptr<SystemLogSink> fromEnvironment(LogLevel quietBelow = LogLevel::debug);

    bool keeps(LogLevel level) const override;
    void write(const LogRecord& record) override;

private:
    void writeJournal(const LogRecord& record) const;

    std::filesystem::path journalSocket_;
    bool toStderr_;
    LogLevel lowest_;
    std::mutex stderrMutex_;
};

}  // namespace tessary
