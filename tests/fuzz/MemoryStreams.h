#pragma once

#include <string>
#include <string_view>

#include "platform/ByteInput.h"
#include "platform/ByteOutput.h"

namespace tessary::fuzzing {

// A host's standard input and output in memory: the fuzz input read to its end, the replies kept.
class MemoryInput final : public ByteInput {
public:
    explicit MemoryInput(std::string_view bytes) : bytes_(bytes) {}
    std::string readUpTo(std::size_t count) override
    {
        auto chunk = bytes_.substr(0, count);
        bytes_.remove_prefix(chunk.size());
        return std::string(chunk);
    }

private:
    std::string_view bytes_;
};

class MemoryOutput final : public ByteOutput {
public:
    bool writeAll(std::string_view bytes) override
    {
        written += bytes;
        return true;
    }
    std::string written;
};

}  // namespace tessary::fuzzing
