#include "platform/MainBundle.h"

#include <fstream>

namespace tessary {

namespace {
constexpr auto kDefaultIdentifier = "app.brenmoor.tessary";
}

MainBundle::MainBundle(std::filesystem::path bundlePath, std::filesystem::path executablePath)
    : bundlePath_(std::move(bundlePath)), executablePath_(std::move(executablePath)), info_(nlohmann::json::object())
{
    std::ifstream file(bundlePath_ / "Contents" / "Info.json", std::ios::binary);
    if (!file)
        return;
    auto parsed = nlohmann::json::parse(file, nullptr, /*allow_exceptions=*/false);
    if (parsed.is_object())
        info_ = std::move(parsed);
}

std::string MainBundle::bundleIdentifier() const
{
    return infoString("CFBundleIdentifier").value_or(kDefaultIdentifier);
}

std::optional<std::string> MainBundle::infoString(const std::string& key) const
{
    const auto found = info_.find(key);
    if (found == info_.end() || !found->is_string())
        return std::nullopt;
    return found->get<std::string>();
}

std::optional<std::filesystem::path> MainBundle::resourcePath(const std::string& name, const std::string& extension,
                                                              const std::string& subdirectory) const
{
    auto path = bundlePath_ / "Contents" / "Resources";
    if (!subdirectory.empty())
        path /= subdirectory;
    path /= extension.empty() ? name : name + "." + extension;
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error))
        return std::nullopt;
    return path;
}

std::filesystem::path MainBundle::plugInPath(const std::string& fileName) const
{
    return bundlePath_ / "Contents" / "PlugIns" / fileName;
}

}  // namespace tessary
