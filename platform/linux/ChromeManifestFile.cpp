#include "platform/linux/ChromeManifestFile.h"

#include "platform/linux/AtomicFile.h"

namespace tessary {

ChromeManifestFile::ChromeManifestFile(const Paths& paths, const std::string& hostName)
    : path_(paths.configHome / "google-chrome" / "NativeMessagingHosts" / (hostName + ".json"))
{
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
