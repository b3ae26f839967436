#pragma once

#include <filesystem>
#include <string>

#include "platform/LoginItem.h"
#include "platform/Paths.h"

namespace tessary {

// An XDG autostart entry for the agent in the user's configuration folder; the same entry in the
// system's configuration folder starts the agent for every user.
class AutostartLoginItem final : public LoginItem {
public:
    static constexpr const char* kEntryName = "app.brenmoor.tessary.desktop";

    AutostartLoginItem(const Paths& paths, std::filesystem::path executable);
    [[nodiscard]] std::optional<Error> registerAgent() override;
    bool isSystemWide() override;

    const std::filesystem::path& entryPath() const { return entryPath_; }
    const std::filesystem::path& systemWideEntryPath() const { return systemWideEntryPath_; }
    static std::string entryContent(const std::filesystem::path& executable);

private:
    std::filesystem::path entryPath_;
    std::filesystem::path systemWideEntryPath_;
    std::filesystem::path executable_;
};

}  // namespace tessary
