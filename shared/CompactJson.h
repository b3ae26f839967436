#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessary {

// Checks a JSON text and drops its insignificant whitespace in one pass, without building a
// document, so a large stored value is passed on quickly and exactly as it was written. The text
// may come whole or in pieces: a value read piece by piece is checked without ever being held whole.
class CompactJson {
public:
    // Rewrites text as the compact form of the one JSON value it holds (RFC 8259: UTF-8, no byte
    // order mark, no lone surrogate escapes, any nesting depth) and returns true; returns false,
    // with text in an unspecified state, when it is not exactly one such value. Works in place:
    // a large value is never copied.
    // Only text from `from` on is the JSON text; what precedes it is left as it is.
    static bool compactInPlace(std::string& text, std::size_t from = 0);
    // The compact text, or absent when text is not one JSON value.
    static std::optional<std::string> compact(std::string_view text);

    // The next piece of a text, compacted in place: size becomes its compact length. False once
    // the text so far cannot begin a JSON value, and from then on.
    bool compactPiece(char* data, std::size_t& size);
    // Whether the pieces together were exactly one JSON value.
    bool finish();

private:
    enum class State : std::uint8_t {
        value,          // a value must come
        valueOrClose,   // after '[': a value or ']'
        memberOrClose,  // after '{': a member's name or '}'
        member,         // after ',' in an object: a member's name
        colon,          // after a member's name
        next,           // after a value: ',', its container's close, or (at the top) the end
        string,
        utf8,           // within a multi-byte character of a string
        escape,         // after a backslash in a string
        hex,            // within the four digits of \u
        lowBackslash,   // after a high surrogate's escape: its low half's backslash
        lowU,           // ... and its 'u'
        minus,
        zero,
        integer,
        point,
        fraction,
        exponentMark,
        exponentSign,
        exponent,
        literal,        // within true, false or null
        failed,
    };

    bool startValue(char c);
    void endValue() { state_ = State::next; }

    State state_ = State::value;
    std::vector<char> open_;  // '{' or '[' for each container not yet closed
    bool name_ = false;       // the string being read is a member's name
    bool lowHalf_ = false;    // the \u being read must be a low surrogate
    std::uint8_t digitsLeft_ = 0;
    std::uint32_t unit_ = 0;
    std::uint8_t continuationsLeft_ = 0;
    unsigned char continuationLow_ = 0x80;
    unsigned char continuationHigh_ = 0xBF;
    const char* literalRest_ = nullptr;
};

}  // namespace tessary
