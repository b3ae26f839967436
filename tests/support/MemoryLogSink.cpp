#include "tests/support/MemoryLogSink.h"

#include <algorithm>

namespace tessary {

void MemoryLogSink::write(const LogRecord& record)
{
    const std::lock_guard lock(mutex_);
    records_.push_back(record);
}

std::vector<LogRecord> MemoryLogSink::records() const
{
    const std::lock_guard lock(mutex_);
    return records_;
}

std::vector<std::string> MemoryLogSink::messages() const
{
    const std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    out.reserve(records_.size());
    for (const auto& record : records_)
        out.push_back(record.message);
    return out;
}

bool MemoryLogSink::contains(const std::string& message) const
{
    return count(message) > 0;
}

std::size_t MemoryLogSink::count(const std::string& message) const
{
    const std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(records_.begin(), records_.end(), [&](const LogRecord& r) { return r.message == message; }));
}

void MemoryLogSink::clear()
{
    const std::lock_guard lock(mutex_);
    records_.clear();
}

}  // namespace tessary
