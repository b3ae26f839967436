#include "shared/CompactJson.h"

#include <array>
#include <cstring>

#include "platform/HexDigit.h"

namespace tessary {

namespace {

// Bytes that stand for themselves inside a string: printable ASCII but the quote and backslash.
// Rules are nearly all such bytes, copied as runs.
constexpr std::array<bool, 256> kPlain = [] {
    std::array<bool, 256> plain{};
    for (int c = 0x20; c < 0x80; ++c)
        plain[static_cast<std::size_t>(c)] = c != '"' && c != '\\';
    return plain;
}();

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

}  // namespace

bool CompactJson::compactInPlace(std::string& text, std::size_t from)
{
    if (from > text.size())
        return false;
    CompactJson compactor;
    std::size_t size = text.size() - from;
    if (!compactor.compactPiece(text.data() + from, size) || !compactor.finish())
        return false;
    text.resize(from + size);
    return true;
}

std::optional<std::string> CompactJson::compact(std::string_view text)
{
    std::string copy(text);
    if (!compactInPlace(copy))
        return std::nullopt;
    return copy;
}

bool CompactJson::startValue(char c)
{
    switch (c) {
    case '{':
        open_.push_back(c);
        state_ = State::memberOrClose;
        return true;
    case '[':
        open_.push_back(c);
        state_ = State::valueOrClose;
        return true;
    case '"':
        name_ = false;
        state_ = State::string;
        return true;
    case '-':
        state_ = State::minus;
        return true;
    case '0':
        state_ = State::zero;
        return true;
    case 't':
        literalRest_ = "rue";
        state_ = State::literal;
        return true;
    case 'f':
        literalRest_ = "alse";
        state_ = State::literal;
        return true;
    case 'n':
        literalRest_ = "ull";
        state_ = State::literal;
        return true;
    default:
        if (c >= '1' && c <= '9') {
            state_ = State::integer;
            return true;
        }
        return false;
    }
}

bool CompactJson::compactPiece(char* data, std::size_t& size)
{
    // Writes behind the reading position, never ahead of it: bytes are only ever dropped. Until
    // the first dropped byte the text already is its own output and nothing moves.
    if (state_ == State::failed)
        return false;
    std::size_t at = 0;
    std::size_t written = 0;
    const auto keep = [&] { data[written++] = data[at++]; };
    while (at < size) {
        const char c = data[at];
        switch (state_) {
        case State::string: {
            auto run = at;
            while (run < size && kPlain[static_cast<unsigned char>(data[run])])
                ++run;
            if (run > at) {
                if (written != at)
                    std::memmove(data + written, data + at, run - at);
                written += run - at;
                at = run;
                continue;
            }
            const auto byte = static_cast<unsigned char>(c);
            if (c == '"') {
                state_ = name_ ? State::colon : State::next;
            } else if (c == '\\') {
                state_ = State::escape;
            } else if (byte < 0x20) {
                state_ = State::failed;
            } else {
                // A multi-byte character's lead, and the range its first continuation byte must
                // fall in: no overlong forms, surrogates or code points above U+10FFFF.
                continuationLow_ = byte == 0xE0 ? 0xA0 : byte == 0xF0 ? 0x90 : 0x80;
                continuationHigh_ = byte == 0xED ? 0x9F : byte == 0xF4 ? 0x8F : 0xBF;
                continuationsLeft_ = byte >= 0xC2 && byte <= 0xDF   ? 1
                                     : byte >= 0xE0 && byte <= 0xEF ? 2
                                     : byte >= 0xF0 && byte <= 0xF4 ? 3
                                                                    : 0;
                state_ = continuationsLeft_ > 0 ? State::utf8 : State::failed;
            }
            break;
        }
        case State::utf8: {
            const auto byte = static_cast<unsigned char>(c);
            if (byte < continuationLow_ || byte > continuationHigh_) {
                state_ = State::failed;
                break;
            }
            continuationLow_ = 0x80;
            continuationHigh_ = 0xBF;
            if (--continuationsLeft_ == 0)
                state_ = State::string;
            break;
        }
        case State::escape:
            if (c == 'u') {
                digitsLeft_ = 4;
                unit_ = 0;
                state_ = State::hex;
            } else if (c == '"' || c == '\\' || c == '/' || c == 'b' || c == 'f' || c == 'n' || c == 'r' || c == 't') {
                state_ = State::string;
            } else {
                state_ = State::failed;
            }
            break;
        case State::hex: {
            const int digit = hexDigitValue(c);
            if (digit < 0) {
                state_ = State::failed;
                break;
            }
            unit_ = unit_ * 16 + static_cast<std::uint32_t>(digit);
            if (--digitsLeft_ > 0)
                break;
            const bool high = unit_ >= 0xD800 && unit_ <= 0xDBFF;
            const bool low = unit_ >= 0xDC00 && unit_ <= 0xDFFF;
            if (lowHalf_ ? !low : low) {
                state_ = State::failed;
            } else {
                lowHalf_ = high;
                state_ = high ? State::lowBackslash : State::string;
            }
            break;
        }
        case State::lowBackslash:
            state_ = c == '\\' ? State::lowU : State::failed;
            break;
        case State::lowU:
            if (c == 'u') {
                digitsLeft_ = 4;
                unit_ = 0;
                state_ = State::hex;
            } else {
                state_ = State::failed;
            }
            break;
        case State::literal:
            if (c != *literalRest_) {
                state_ = State::failed;
            } else if (*++literalRest_ == '\0') {
                endValue();
            }
            break;
        case State::minus:
            state_ = c == '0' ? State::zero : (c >= '1' && c <= '9') ? State::integer : State::failed;
            break;
        case State::zero:
        case State::integer:
        case State::fraction:
        case State::exponent:
            if (isDigit(c) && state_ != State::zero)
                break;
            if (c == '.' && state_ != State::fraction && state_ != State::exponent) {
                state_ = State::point;
                break;
            }
            if ((c == 'e' || c == 'E') && state_ != State::exponent) {
                state_ = State::exponentMark;
                break;
            }
            // The number ended at the byte before; this one is read again after it.
            endValue();
            continue;
        case State::point:
            state_ = isDigit(c) ? State::fraction : State::failed;
            break;
        case State::exponentMark:
            state_ = (c == '+' || c == '-') ? State::exponentSign : isDigit(c) ? State::exponent : State::failed;
            break;
        case State::exponentSign:
            state_ = isDigit(c) ? State::exponent : State::failed;
            break;
        case State::failed:
            return false;
        default:
            // Between tokens: whitespace is what compaction drops.
            if (isSpace(c)) {
                ++at;
                continue;
            }
            switch (state_) {
            case State::value:
                if (!startValue(c))
                    state_ = State::failed;
                break;
            case State::valueOrClose:
                if (c == ']') {
                    open_.pop_back();
                    endValue();
                } else if (!startValue(c)) {
                    state_ = State::failed;
                }
                break;
            case State::memberOrClose:
            case State::member:
                if (c == '}' && state_ == State::memberOrClose) {
                    open_.pop_back();
                    endValue();
                } else if (c == '"') {
                    name_ = true;
                    state_ = State::string;
                } else {
                    state_ = State::failed;
                }
                break;
            case State::colon:
                state_ = c == ':' ? State::value : State::failed;
                break;
            case State::next:
                if (open_.empty()) {
                    state_ = State::failed;
                } else if (c == ',') {
                    state_ = open_.back() == '{' ? State::member : State::value;
                } else if ((c == '}' && open_.back() == '{') || (c == ']' && open_.back() == '[')) {
                    open_.pop_back();
                } else {
                    state_ = State::failed;
                }
                break;
            default:
                state_ = State::failed;
                break;
            }
            break;
        }
        if (state_ == State::failed)
            return false;
        keep();
    }
    size = written;
    return true;
}

bool CompactJson::finish()
{
    // A number at the very end ends with the text.
    if (state_ == State::zero || state_ == State::integer || state_ == State::fraction || state_ == State::exponent)
        endValue();
    return state_ == State::next && open_.empty();
}

}  // namespace tessary
