#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace tessary {

// The agent's installed folder: Contents/Info.json, Contents/bin, Contents/Helpers, Contents/PlugIns,
// Contents/Resources.
class MainBundle {
public:
    // Reads Contents/Info.json below bundlePath; an unreadable or malformed file gives an empty dictionary.
    MainBundle(std::filesystem::path bundlePath, std::filesystem::path executablePath);

    const std::filesystem::path& bundlePath() const { return bundlePath_; }
    const std::filesystem::path& executablePath() const { return executablePath_; }
    std::string bundleIdentifier() const;
    // The text value of an Info key; absent when the key is missing or not text.
    std::optional<std::string> infoString(const std::string& key) const;
    // Contents/Resources[/subdirectory]/name.extension when that file exists.
    std::optional<std::filesystem::path> resourcePath(const std::string& name, const std::string& extension,
                                                      const std::string& subdirectory = {}) const;
    // Contents/PlugIns/fileName, whether or not it exists.
    std::filesystem::path plugInPath(const std::string& fileName) const;

private:
    std::filesystem::path bundlePath_;
    std::filesystem::path executablePath_;
    nlohmann::json info_;
};

}  // namespace tessary
