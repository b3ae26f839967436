#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/ChromeHostManifest.h"
#include "platform/Paths.h"

namespace tessary {

// A browser's native-messaging host manifest for the user on Linux, readable by everyone as the
// browser expects: <host name>.json in the NativeMessagingHosts folder of a Chromium-family
// browser's configuration folder, or in Firefox's ~/.mozilla/native-messaging-hosts.
class HostManifestFile final : public ChromeHostManifest {
public:
    // The browser is present where configFolder exists.
    HostManifestFile(std::string browserName, std::filesystem::path configFolder, std::filesystem::path path);

    // $XDG_CONFIG_HOME/google-chrome.
    static std::shared_ptr<HostManifestFile> chrome(const Paths& paths, const std::string& hostName);
    // Chromium, Brave, Microsoft Edge and Vivaldi, each in its own folder under $XDG_CONFIG_HOME.
    static std::vector<std::shared_ptr<HostManifestFile>> otherBrowsers(const Paths& paths,
                                                                        const std::string& hostName);
    // ~/.mozilla/native-messaging-hosts: Firefox reads the user's manifests there.
    static std::shared_ptr<HostManifestFile> firefox(const Paths& paths, const std::string& hostName);

    const std::string& browserName() const override { return browserName_; }
    bool isBrowserPresent() override;
    [[nodiscard]] std::optional<Error> write(std::string_view content) override;
    bool remove() override;

    const std::filesystem::path& path() const { return path_; }
    const std::filesystem::path& configFolder() const { return configFolder_; }

private:
    std::string browserName_;
    std::filesystem::path configFolder_;
    std::filesystem::path path_;
};

}  // namespace tessary
