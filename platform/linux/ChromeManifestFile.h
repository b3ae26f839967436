#pragma once

#include <filesystem>
#include <string>

#include "platform/ChromeHostManifest.h"
#include "platform/Paths.h"

namespace tessary {

// Chrome's host manifest for the user on Linux: <host name>.json in
// $XDG_CONFIG_HOME/google-chrome/NativeMessagingHosts, readable by everyone as Chrome expects.
class ChromeManifestFile final : public ChromeHostManifest {
public:
    ChromeManifestFile(const Paths& paths, const std::string& hostName);

    std::optional<Error> write(std::string_view content) override;
    bool remove() override;

    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

}  // namespace tessary
