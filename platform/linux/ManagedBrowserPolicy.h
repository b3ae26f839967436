#pragma once

#include <filesystem>
#include <span>
#include <string>

#include "platform/BrowserPolicy.h"

namespace tessary {

// The Chromium family's managed policy files under /etc, as the package installs them.
class ManagedBrowserPolicy final : public BrowserPolicy {
public:
    struct BrowserFolders {
        const char* manifests;  // system-wide native-messaging host manifests
        const char* policies;   // managed policy
    };
    // Relative to the root, for each browser the package serves.
    static std::span<const BrowserFolders> browserFolders();
    static constexpr const char* kPolicyFileName = "app.brenmoor.tessary.json";
    // The one policy file Debian's Firefox reads (not /etc/firefox-esr/), relative to the root.
    static constexpr const char* kFirefoxPolicyFile = "etc/firefox/policies/policies.json";
    // Firefox's policy: the extension force-installed from extensionURL, also in private windows,
    // and private browsing off, as the Chromium policy turns incognito off.
    static std::string firefoxPolicy(const std::string& extensionURL);

    explicit ManagedBrowserPolicy(std::filesystem::path root = "/") : root_(std::move(root)) {}

    // A policy file of ours that only root can change, for any browser.
    bool isInstalledSystemWide() override;

private:
    std::filesystem::path root_;
};

}  // namespace tessary
