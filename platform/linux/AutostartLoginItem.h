#pragma once

#include <filesystem>

#include "platform/LoginItem.h"

namespace tessary {

// An XDG autostart entry for the agent in the user's configuration folder.
class AutostartLoginItem final : public LoginItem {
public:
    AutostartLoginItem(std::filesystem::path entryFile, std::filesystem::path executable);
    std::optional<Error> registerAgent() override;

    static std::string entryContent(const std::filesystem::path& executable);

private:
    std::filesystem::path entryFile_;
    std::filesystem::path executable_;
};

}  // namespace tessary
