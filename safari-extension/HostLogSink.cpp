#include "safari-extension/HostLogSink.h"

namespace tessary {

namespace {

struct Registration {
    std::mutex mutex;
    TessaryLogHandler handler = nullptr;
    void* context = nullptr;
};

Registration& registration()
{
    static Registration shared;
    return shared;
}

int levelNumber(LogLevel level)
{
    switch (level) {
    case LogLevel::debug:
        return TESSARY_LOG_DEBUG;
    case LogLevel::info:
        return TESSARY_LOG_INFO;
    case LogLevel::error:
        break;
    }
    return TESSARY_LOG_ERROR;
}

}  // namespace

void HostLogSink::setHandler(TessaryLogHandler handler, void* context)
{
    auto& shared = registration();
    const std::lock_guard lock(shared.mutex);
    shared.handler = handler;
    shared.context = context;
}

bool HostLogSink::keeps(LogLevel level) const
{
    auto& shared = registration();
    {
        const std::lock_guard lock(shared.mutex);
        if (shared.handler != nullptr)
            return true;
    }
    return fallback_->keeps(level);
}

void HostLogSink::write(const LogRecord& record)
{
    auto& shared = registration();
    {
        const std::lock_guard lock(shared.mutex);
        if (shared.handler != nullptr) {
            shared.handler(shared.context, levelNumber(record.level), record.subsystem.c_str(),
                           record.category.c_str(), record.message.c_str());
            return;
        }
    }
    fallback_->write(record);
}

}  // namespace tessary
