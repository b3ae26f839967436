#pragma once

#include <cstddef>
#include <string>

namespace tessary {

// A source of bytes read to exact counts.
class ByteInput {
public:
    virtual ~ByteInput() = default;
    // Up to count bytes; fewer only when the input ends (or fails) first.
    virtual std::string readUpTo(std::size_t count) = 0;
};

}  // namespace tessary
