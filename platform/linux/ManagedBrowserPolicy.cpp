#include "platform/linux/ManagedBrowserPolicy.h"

#include <sys/stat.h>

#include <nlohmann/json.hpp>

namespace tessary {
namespace {

// Where each browser reads system-wide host manifests and managed policy on Linux.
constexpr ManagedBrowserPolicy::BrowserFolders kBrowsers[] = {
    {"etc/opt/chrome/native-messaging-hosts", "etc/opt/chrome/policies/managed"},    // Chrome
    {"etc/chromium/native-messaging-hosts", "etc/chromium/policies/managed"},        // Chromium
    {"etc/brave/native-messaging-hosts", "etc/brave/policies/managed"},              // Brave
    {"etc/opt/edge/native-messaging-hosts", "etc/opt/edge/policies/managed"},        // Microsoft Edge
    {"etc/opt/vivaldi/native-messaging-hosts", "etc/opt/vivaldi/policies/managed"},  // Vivaldi
};

}  // namespace

std::span<const ManagedBrowserPolicy::BrowserFolders> ManagedBrowserPolicy::browserFolders()
{
    return kBrowsers;
}

std::string ManagedBrowserPolicy::firefoxPolicy(const std::string& extensionURL)
{
    const nlohmann::ordered_json policy = {
        {"policies",
         {{"ExtensionSettings",
           {{"web-extension@tessary.brenmoor.app",
             {{"installation_mode", "force_installed"}, {"install_url", extensionURL}, {"private_browsing", true}}}}},
          {"DisablePrivateBrowsing", true}}}};
    return policy.dump(2) + "\n";
}

bool ManagedBrowserPolicy::isInstalledSystemWide()
{
    for (const auto& browser : kBrowsers) {
        const auto file = root_ / browser.policies / kPolicyFileName;
        struct stat status {};
        if (::lstat(file.c_str(), &status) == 0 && S_ISREG(status.st_mode) && status.st_uid == 0 &&
            (status.st_mode & (S_IWGRP | S_IWOTH)) == 0)
            return true;
    }
    return false;
}

}  // namespace tessary
