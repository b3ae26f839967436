// tessary-package-files STAGING INSTALL_FOLDER POLICY_FILE
// Writes the system-wide files of the Debian package into the staging root, from the agent's own
// code so they never drift from what the agent writes per user: the autostart entry, the keep-alive
// user unit enabled for every graphical session, for each Chromium-family browser the
// native-messaging host manifest and the browser policy, and Firefox's host manifest and policy in
// the folders Debian's Firefox reads.
#include <cstdio>
#include <filesystem>
#include <string>

#include "agent/bridge/NativeMessagingHost.h"
#include "agent/service/ServiceEndpoint.h"
#include "platform/linux/AtomicFile.h"
#include "platform/linux/AutostartLoginItem.h"
#include "platform/linux/ManagedBrowserPolicy.h"
#include "platform/linux/SystemdKeepAliveUnit.h"

using namespace tessary;

namespace {

bool write(const std::filesystem::path& path, const std::string& content)
{
    // Folders made here get the usual mode; the writer itself makes private ones.
    std::error_code error;
    std::filesystem::create_directories(path.parent_path(), error);
    if (auto failure = AtomicFile::write(path, content, 0644)) {
        std::fprintf(stderr, "%s: %s\n", path.c_str(), failure->description.c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char* argv[])
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s STAGING INSTALL_FOLDER POLICY_FILE\n", argv[0]);
        return 2;
    }
    const std::filesystem::path staging = argv[1];
    const std::filesystem::path installFolder = argv[2];
    const auto policy = AtomicFile::read(argv[3]);
    if (!policy) {
        std::fprintf(stderr, "%s: cannot be read\n", argv[3]);
        return 1;
    }

    const auto agent = installFolder / "Contents/bin/PellixApp";
    bool written = write(staging / "etc/xdg/autostart" / AutostartLoginItem::kEntryName,
                         AutostartLoginItem::entryContent(agent));

    // The agent finds this unit and hands over to it, so a killed agent comes back at once.
    const auto units = staging / "usr/lib/systemd/user";
    const auto unit = SystemdKeepAliveUnit::unitContent(agent);
    if (!unit) {
        std::fprintf(stderr, "%s: systemd cannot start it\n", agent.c_str());
        return 1;
    }
    written = write(units / SystemdKeepAliveUnit::kUnitName, *unit) && written;
    std::error_code error;
    std::filesystem::create_directories(units / "graphical-session.target.wants", error);
    if (auto failure = AtomicFile::writeLink(units / "graphical-session.target.wants" / SystemdKeepAliveUnit::kUnitName,
                                             std::filesystem::path("..") / SystemdKeepAliveUnit::kUnitName)) {
        std::fprintf(stderr, "%s\n", failure->description.c_str());
        written = false;
    }

    const auto manifest =
        NativeMessagingHost::chromeManifest(installFolder / "Contents/Helpers/tessary-chrome-host").dump(2);
    const std::string fileName = std::string(NativeMessagingHost::kChromeHostName) + ".json";
    for (const auto& browser : ManagedBrowserPolicy::browserFolders()) {
        written = write(staging / browser.manifests / fileName, manifest) && written;
        written = write(staging / browser.policies / ManagedBrowserPolicy::kPolicyFileName, *policy) && written;
    }
    const auto firefoxManifest =
        NativeMessagingHost::firefoxManifest(installFolder / "Contents/Helpers/tessary-firefox-host").dump(2);
    written = write(staging / "usr/lib/mozilla/native-messaging-hosts" / fileName, firefoxManifest) && written;
    // A conffile: a family's own Firefox policy has to be merged into it (README).
    const auto service = ServiceEndpoint::resolve(std::nullopt);
    if (!service) {
        std::fprintf(stderr, "the built-in service address: %s\n", service.error().description.c_str());
        return 1;
    }
    written = write(staging / ManagedBrowserPolicy::kFirefoxPolicyFile,
                    ManagedBrowserPolicy::firefoxPolicy(service.value().firefoxExtensionURL())) &&
              written;
    return written ? 0 : 1;
}
