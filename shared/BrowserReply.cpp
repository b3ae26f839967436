#include "shared/BrowserReply.h"

#include <algorithm>

#include "shared/CompactJson.h"

namespace tessary {

namespace {

// Collects a reply as text.
class TextOutput final : public ByteOutput {
public:
    explicit TextOutput(std::string& text) : text_(text) {}
    bool writeAll(std::string_view bytes) override
    {
        text_.append(bytes);
        return true;
    }

private:
    std::string& text_;
};

}  // namespace

BrowserReply::BrowserReply(std::string text) : text_(std::move(text)) {}

BrowserReply::BrowserReply(std::string prefix, std::string suffix, std::unique_ptr<SharedStore> store)
    : text_(std::move(prefix)), suffix_(std::move(suffix)), store_(std::move(store)),
      piece_(new char[kPieceSize])
{
}

std::optional<BrowserReply> BrowserReply::aroundStoredValue(std::string prefix, std::unique_ptr<SharedStore> store,
                                                            std::string_view key, std::string suffix)
{
    auto reader = store->readerForKey(key);
    if (!reader || !reader.value())
        return std::nullopt;
    BrowserReply reply(std::move(prefix), std::move(suffix), std::move(store));
    reply.value_ = std::move(reader).value();
    auto& value = *reply.value_;
    CompactJson check;
    for (std::size_t offset = 0; offset < value.size();) {
        const auto count = std::min(kPieceSize, value.size() - offset);
        auto kept = count;
        if (!value.read(offset, reply.piece_.get(), count) || !check.compactPiece(reply.piece_.get(), kept))
            return std::nullopt;
        reply.compactSize_ += kept;
        offset += count;
    }
    if (!check.finish())
        return std::nullopt;
    return std::optional<BrowserReply>(std::move(reply));
}

std::size_t BrowserReply::size() const
{
    return text_.size() + compactSize_ + suffix_.size();
}

bool BrowserReply::writeTo(ByteOutput& output)
{
    if (!output.writeAll(text_))
        return false;
    if (!value_)
        return true;
    auto& value = *value_;
    // A value that was compact already goes out as read; any other is compacted again, the same way.
    const bool compact = compactSize_ == value.size();
    CompactJson again;
    std::size_t written = 0;
    for (std::size_t offset = 0; offset < value.size();) {
        const auto count = std::min(kPieceSize, value.size() - offset);
        auto kept = count;
        if (!value.read(offset, piece_.get(), count) || (!compact && !again.compactPiece(piece_.get(), kept)))
            return false;
        written += kept;
        if (written > compactSize_ || !output.writeAll(std::string_view(piece_.get(), kept)))
            return false;
        offset += count;
    }
    return written == compactSize_ && output.writeAll(suffix_);
}

std::optional<std::string> BrowserReply::text()
{
    std::string text;
    text.reserve(size());
    TextOutput output(text);
    if (!writeTo(output))
        return std::nullopt;
    return text;
}

}  // namespace tessary
