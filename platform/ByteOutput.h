#pragma once

#include <string_view>

namespace tessary {

// A sink of bytes written whole.
class ByteOutput {
public:
    virtual ~ByteOutput() = default;
    // True when every byte was written.
    virtual bool writeAll(std::string_view bytes) = 0;
};

}  // namespace tessary
