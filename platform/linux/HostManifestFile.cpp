#include "platform/linux/HostManifestFile.h"

#include "platform/linux/AtomicFile.h"

namespace tessary {

namespace {

std::shared_ptr<HostManifestFile> chromiumFamily(std::string browserName, std::filesystem::path configFolder,
                                                 const std::string& hostName)
{
    auto path = configFolder / "NativeMessagingHosts" / (hostName + ".json");
    return std::make_shared<HostManifestFile>(std::move(browserName), std::move(configFolder), std::move(path));
}

}  // namespace

HostManifestFile::HostManifestFile(std::string browserName, std::filesystem::path configFolder,
                                   std::filesystem::path path)
    : browserName_(std::move(browserName)), configFolder_(std::move(configFolder)), path_(std::move(path))
{
}

std::shared_ptr<HostManifestFile> HostManifestFile::chrome(const Paths& paths, const std::string& hostName)
{
    return chromiumFamily("Chrome", paths.configHome / "google-chrome", hostName);
}

std::vector<std::shared_ptr<HostManifestFile>> HostManifestFile::otherBrowsers(const Paths& paths,
                                                                               const std::string& hostName)
{
    return {
        chromiumFamily("Chromium", paths.configHome / "chromium", hostName),
        chromiumFamily("Brave", paths.configHome / "BraveSoftware" / "Brave-Browser", hostName),
        chromiumFamily("Microsoft Edge", paths.configHome / "microsoft-edge", hostName),
        chromiumFamily("Vivaldi", paths.configHome / "vivaldi", hostName),
    };
}

std::shared_ptr<HostManifestFile> HostManifestFile::firefox(const Paths& paths, const std::string& hostName)
{
    const auto mozilla = paths.home / ".mozilla";
    return std::make_shared<HostManifestFile>("Firefox", mozilla,
                                              mozilla / "native-messaging-hosts" / (hostName + ".json"));
}

bool HostManifestFile::isBrowserPresent()
{
    std::error_code error;
    return std::filesystem::is_directory(configFolder_, error);
}

std::optional<Error> HostManifestFile::write(std::string_view content)
{
    return AtomicFile::write(path_, content, 0644);
}

bool HostManifestFile::remove()
{
    std::error_code error;
    return std::filesystem::remove(path_, error) && !error;
}

}  // namespace tessary
