#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/ChromeHostManifest.h"
#include "platform/Paths.h"

namespace tessary {

// A Chromium-family browser's host manifest for the user on Linux: <host name>.json in the
// NativeMessagingHosts folder of the browser's configuration folder, readable by everyone as the
// browser expects.
class ChromeManifestFile final : public ChromeHostManifest {
public:
    ChromeManifestFile(std::string browserName, std::filesystem::path configFolder, const std::string& hostName);

    // $XDG_CONFIG_HOME/google-chrome.
    static std::shared_ptr<ChromeManifestFile> chrome(const Paths& paths, const std::string& hostName);
    // Chromium, Brave, Microsoft Edge and Vivaldi, each in its own folder under $XDG_CONFIG_HOME.
    static std::vector<std::shared_ptr<ChromeManifestFile>> otherBrowsers(const Paths& paths,
                                                                          const std::string& hostName);

    const std::string& browserName() const override { return browserName_; }
    bool isBrowserPresent() override;
    std::optional<Error> write(std::string_view content) override;
    bool remove() override;

    const std::filesystem::path& path() const { return path_; }
    const std::filesystem::path& configFolder() const { return configFolder_; }

private:
    std::string browserName_;
    std::filesystem::path configFolder_;
    std::filesystem::path path_;
};

}  // namespace tessary
