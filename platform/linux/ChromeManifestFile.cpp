#include "platform/linux/ChromeManifestFile.h"

#include "platform/linux/AtomicFile.h"

namespace tessary {

ChromeManifestFile::ChromeManifestFile(std::string browserName, std::filesystem::path configFolder,
                                       const std::string& hostName)
    : browserName_(std::move(browserName)), configFolder_(std::move(configFolder)),
      path_(configFolder_ / "NativeMessagingHosts" / (hostName + ".json"))
{
}

std::shared_ptr<ChromeManifestFile> ChromeManifestFile::chrome(const Paths& paths, const std::string& hostName)
{
    return std::make_shared<ChromeManifestFile>("Chrome", paths.configHome / "google-chrome", hostName);
}

std::vector<std::shared_ptr<ChromeManifestFile>> ChromeManifestFile::otherBrowsers(const Paths& paths,
                                                                                   const std::string& hostName)
{
    return {
        std::make_shared<ChromeManifestFile>("Chromium", paths.configHome / "chromium", hostName),
        std::make_shared<ChromeManifestFile>("Brave", paths.configHome / "BraveSoftware" / "Brave-Browser", hostName),
        std::make_shared<ChromeManifestFile>("Microsoft Edge", paths.configHome / "microsoft-edge", hostName),
        std::make_shared<ChromeManifestFile>("Vivaldi", paths.configHome / "vivaldi", hostName),
    };
}

bool ChromeManifestFile::isBrowserPresent()
{
    std::error_code error;
    return std::filesystem::is_directory(configFolder_, error);
}

std::optional<Error> ChromeManifestFile::write(std::string_view content)
{
    return AtomicFile::write(path_, content, 0644);
}

bool ChromeManifestFile::remove()
{
    std::error_code error;
    return std::filesystem::remove(path_, error) && !error;
}

}  // namespace tessary
