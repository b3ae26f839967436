#pragma once

#include <cstdint>
#include <filesystem>

#include "platform/KeptFile.h"

namespace tessary {

// A kept file readable by the user alone (mode 0600), written atomically.
class PrivateKeptFile final : public KeptFile {
public:
    PrivateKeptFile(std::filesystem::path path, std::uintmax_t largestSize);

    std::optional<std::string> read() override;
    [[nodiscard]] std::optional<Error> write(std::string_view bytes) override;
    void remove() override;

private:
    std::filesystem::path path_;
    std::uintmax_t largestSize_;
};

}  // namespace tessary
