#include "agent/core/TamperReport.h"

#include <algorithm>

namespace tessary {

namespace {

// A child repeating one trick cannot grow the list without bound; the oldest findings stay.
constexpr std::size_t kMostPending = 32;
constexpr std::size_t kLongestFinding = 512;

}  // namespace

TamperReport::TamperReport(Logger logger, std::size_t headerCharacters)
    : logger_(std::move(logger)), headerCharacters_(headerCharacters)
{
}

bool TamperReport::record(const std::string& found)
{
    // Findings name what is in the child's files: a long one is cut short.
    const auto finding = found.substr(0, kLongestFinding);
    const bool known = std::any_of(pending_.begin(), pending_.end(),
                                   [&](const Finding& kept) { return kept.text == finding; });
    if (known)
        return false;
    logger_.error("Tampering detected: %s", {finding});
    if (pending_.size() < kMostPending)
        pending_.push_back({++recorded_, finding});
    return true;
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
