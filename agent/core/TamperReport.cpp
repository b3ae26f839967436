#include "agent/core/TamperReport.h"

#include <algorithm>

namespace tessary {

namespace {

// A child repeating one trick cannot grow the list without bound; the oldest findings stay.
constexpr std::size_t kMostPending = 32;

}  // namespace

TamperReport::TamperReport(Logger logger, std::size_t headerCharacters)
    : logger_(std::move(logger)), headerCharacters_(headerCharacters)
{
}

void TamperReport::record(const std::string& finding)
{
    logger_.error("Tampering detected: %s", {finding});
    const bool known = std::ranges::any_of(pending_, [&](const Finding& kept) { return kept.text == finding; });
    if (known || pending_.size() >= kMostPending)
        return;
    pending_.push_back({++recorded_, finding});
}

std::optional<TamperReport::Batch> TamperReport::nextBatch() const
{
    if (pending_.empty())
        return std::nullopt;
    Batch batch{kPrefix + pending_.front().text, pending_.front().number};
    for (std::size_t i = 1; i < pending_.size(); ++i) {
        const auto longer = batch.header + "; " + pending_[i].text;
        if (longer.size() > headerCharacters_)
            break;
        batch.header = longer;
        batch.upTo = pending_[i].number;
    }
    return batch;
}

void TamperReport::delivered(std::uint64_t upTo)
{
    while (!pending_.empty() && pending_.front().number <= upTo)
        pending_.pop_front();
}

}  // namespace tessary
