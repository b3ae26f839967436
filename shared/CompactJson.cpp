#include "shared/CompactJson.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/Utf8.h"

namespace tessary {

namespace {

// Rules are nearly all ASCII: skip that part eight bytes at a time before the UTF-8 check.
std::size_t asciiPrefixLength(std::string_view text)
{
    std::size_t length = 0;
    for (; length + 8 <= text.size(); length += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, text.data() + length, 8);
        if ((word & 0x8080808080808080ULL) != 0)
            break;
    }
    while (length < text.size() && static_cast<unsigned char>(text[length]) < 0x80)
        ++length;
    return length;
}

class Compactor {
public:
    Compactor(std::string& buffer, std::size_t from)
        : buffer_(buffer), text_(std::string_view(buffer).substr(from)), written_(from)
    {
    }

    bool run()
    {
        if (!Utf8::isValid(text_.substr(asciiPrefixLength(text_))))
            return false;
        std::vector<char> open;  // '{' or '[' for each container not yet closed
        bool expectValue = true;
        for (;;) {
            skipSpace();
            if (expectValue) {
                if (atEnd())
                    return false;
                const char c = text_[at_];
                if (c == '{' || c == '[') {
                    emit(text_.substr(at_, 1));
                    ++at_;
                    skipSpace();
                    const char close = c == '{' ? '}' : ']';
                    if (!atEnd() && text_[at_] == close) {
                        emit(text_.substr(at_, 1));
                        ++at_;
                        expectValue = false;
                        continue;
                    }
                    open.push_back(c);
                    if (c == '{' && !key())
                        return false;
                    continue;
                }
                if (!scalar())
                    return false;
                expectValue = false;
                continue;
            }
            // After a value: the end of the text, or what follows it inside its container.
            if (open.empty()) {
                if (!atEnd())
                    return false;
                buffer_.resize(written_);
                return true;
            }
            if (atEnd())
                return false;
            emit(text_.substr(at_, 1));
            const char c = text_[at_++];
            if (c == ',') {
                expectValue = true;
                if (open.back() == '{' && !key())
                    return false;
            } else if ((c == '}' && open.back() == '{') || (c == ']' && open.back() == '[')) {
                open.pop_back();
            } else {
                return false;
            }
        }
    }

private:
    // Writes behind the reading position, which is never behind it: bytes are only ever dropped.
    // Until the first dropped byte the text already is its own output and nothing moves.
    // written_ counts from the start of buffer_, at_ from the start of text_.
    void emit(std::string_view bytes)
    {
        if (bytes.data() != buffer_.data() + written_)
            std::memmove(buffer_.data() + written_, bytes.data(), bytes.size());
        written_ += bytes.size();
    }

    bool atEnd() const { return at_ >= text_.size(); }

    void skipSpace()
    {
        while (!atEnd() && (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\n' || text_[at_] == '\r'))
            ++at_;
    }

    // A member name and its colon; the value follows.
    bool key()
    {
        skipSpace();
        if (atEnd() || text_[at_] != '"' || !string())
            return false;
        skipSpace();
        if (atEnd() || text_[at_] != ':')
            return false;
        emit(text_.substr(at_, 1));
        ++at_;
        return true;
    }

    bool scalar()
    {
        const char c = text_[at_];
        if (c == '"')
            return string();
        if (c == '-' || (c >= '0' && c <= '9'))
            return number();
        return literal("true") || literal("false") || literal("null");
    }

    bool literal(std::string_view word)
    {
        if (text_.substr(at_, word.size()) != word)
            return false;
        emit(text_.substr(at_, word.size()));
        at_ += word.size();
        return true;
    }

    bool digits()
    {
        const auto start = at_;
        while (!atEnd() && text_[at_] >= '0' && text_[at_] <= '9')
            ++at_;
        return at_ > start;
    }

    bool number()
    {
        const auto start = at_;
        if (text_[at_] == '-')
            ++at_;
        if (!atEnd() && text_[at_] == '0')
            ++at_;
        else if (!digits())
            return false;
        if (!atEnd() && text_[at_] == '.') {
            ++at_;
            if (!digits())
                return false;
        }
        if (!atEnd() && (text_[at_] == 'e' || text_[at_] == 'E')) {
            ++at_;
            if (!atEnd() && (text_[at_] == '+' || text_[at_] == '-'))
                ++at_;
            if (!digits())
                return false;
        }
        emit(text_.substr(start, at_ - start));
        return true;
    }

    // The code unit of \uXXXX starting at the backslash, or -1.
    long escapedUnit(std::size_t position) const
    {
        if (position + 6 > text_.size() || text_[position] != '\\' || text_[position + 1] != 'u')
            return -1;
        long unit = 0;
        for (std::size_t i = position + 2; i < position + 6; ++i) {
            const char h = text_[i];
            const int digit = h >= '0' && h <= '9'   ? h - '0'
                              : h >= 'a' && h <= 'f' ? h - 'a' + 10
                              : h >= 'A' && h <= 'F' ? h - 'A' + 10
                                                     : -1;
            if (digit < 0)
                return -1;
            unit = unit * 16 + digit;
        }
        return unit;
    }

    bool string()
    {
        const auto start = at_++;
        while (!atEnd()) {
            const auto c = static_cast<unsigned char>(text_[at_]);
            if (c == '"') {
                ++at_;
                emit(text_.substr(start, at_ - start));
                return true;
            }
            if (c < 0x20)
                return false;
            if (c != '\\') {
                ++at_;
                continue;
            }
            if (at_ + 1 >= text_.size())
                return false;
            const char e = text_[at_ + 1];
            if (e == '"' || e == '\\' || e == '/' || e == 'b' || e == 'f' || e == 'n' || e == 'r' || e == 't') {
                at_ += 2;
                continue;
            }
            const long unit = escapedUnit(at_);
            if (unit < 0 || (unit >= 0xDC00 && unit <= 0xDFFF))
                return false;
            if (unit >= 0xD800 && unit <= 0xDBFF) {
                const long low = escapedUnit(at_ + 6);
                if (low < 0xDC00 || low > 0xDFFF)
                    return false;
                at_ += 6;
            }
            at_ += 6;
        }
        return false;
    }

    std::string& buffer_;
    std::string_view text_;  // buffer_ as read; bytes before at_ may already be overwritten
    std::size_t at_ = 0;
    std::size_t written_;
};

}  // namespace

bool CompactJson::compactInPlace(std::string& text, std::size_t from)
{
    if (from > text.size())
        return false;
    return Compactor(text, from).run();
}

std::optional<std::string> CompactJson::compact(std::string_view text)
{
    std::string copy(text);
    if (!compactInPlace(copy))
        return std::nullopt;
    return copy;
}

}  // namespace tessary
