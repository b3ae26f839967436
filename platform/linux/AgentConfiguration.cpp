#include "platform/linux/AgentConfiguration.h"

#include <algorithm>
#include <cstdlib>
#include <sys/stat.h>

#include "platform/JsonText.h"
#include "platform/linux/AtomicFile.h"

namespace tessary {

namespace {

const std::vector<std::filesystem::path> kSystemDataDirs = {"/usr/local/share", "/usr/share"};
const std::vector<std::string> kSystemProgramFolders = {"/usr/local/bin", "/usr/bin", "/bin", "/usr/local/games",
                                                        "/usr/games"};

// Why a file (or folder) root configured cannot be trusted; absent when it can.
std::optional<std::string> untrusted(const std::filesystem::path& path)
{
    struct stat status {};
    // Not followed: a link is only as safe as whoever can change what it points to.
    if (::lstat(path.c_str(), &status) != 0)
        return "it cannot be read";
    if (S_ISLNK(status.st_mode))
        return "it is a symbolic link";
    if (status.st_uid != 0 || (status.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return "it must be owned by root and writable by no one else";
    return std::nullopt;
}

std::optional<std::string> untrustedFileOrFolder(const std::filesystem::path& file)
{
    if (auto why = untrusted(file))
        return why;
    if (auto why = untrusted(file.parent_path()))
        return "its folder " + file.parent_path().string() + " is not safe: " + *why;
    return std::nullopt;
}

}  // namespace

AgentConfiguration::Environment AgentConfiguration::processEnvironment()
{
    return [](const char* name) -> std::optional<std::string> {
        const char* value = std::getenv(name);
        if (value == nullptr || *value == '\0')
            return std::nullopt;
        return std::string(value);
    };
}

AgentConfiguration AgentConfiguration::load(const MainBundle& bundle, const Environment& environment,
                                            const Logger& logger)
{
    AgentConfiguration configuration;
    const auto file = bundle.infoString(kFileKey);
    if (!file) {
        configuration.serviceURL_ = environment("TESSARY_SERVICE_URL");
        if (auto ca = environment("TESSARY_CA_FILE"))
            configuration.extraCaFile_ = *ca;
        configuration.secretBackend_ = environment("TESSARY_SECRET_BACKEND").value_or("");
        return configuration;
    }
    configuration.installed_ = true;
    std::error_code error;
    const auto status = std::filesystem::symlink_status(*file, error);
    // No file: the built-in service, as most families use it.
    if (status.type() == std::filesystem::file_type::not_found)
        return configuration;
    if (error) {
        logger.error("Ignoring the configuration %s: %s", {*file, "it cannot be read"});
        return configuration;
    }
    readFile(configuration, *file, logger);
    return configuration;
}

void AgentConfiguration::readFile(AgentConfiguration& configuration, const std::filesystem::path& file,
                                  const Logger& logger)
{
    const auto refuse = [&](const std::string& why) {
        logger.error("Ignoring the configuration %s: %s", {file.string(), why});
    };
    if (auto why = untrustedFileOrFolder(file))
        return refuse(*why);
    std::error_code error;
    const auto size = std::filesystem::file_size(file, error);
    if (error || size > kLargestFile)
        return refuse("it is not a file of at most 64 KiB");
    const auto bytes = AtomicFile::read(file);
    if (!bytes)
        return refuse("it cannot be read");
    auto parsed = JsonText::parse(*bytes);
    if (!parsed || !parsed.value().is_object())
        return refuse("it is not a JSON object");
    const auto& object = parsed.value();
    const auto text = [&](const char* key) -> std::optional<std::string> {
        const auto found = object.find(key);
        if (found == object.end() || !found->is_string() || found->get<std::string>().empty())
            return std::nullopt;
        return found->get<std::string>();
    };
    for (const char* key : {"serviceURL", "caFile"}) {
        const auto found = object.find(key);
        if (found != object.end() && !text(key))
            return refuse(std::string("\"") + key + "\" is not a text");
    }
    if (const auto ca = text("caFile")) {
        if (auto why = untrustedFileOrFolder(*ca))
            return refuse("the CA file " + *ca + ": " + *why);
        configuration.extraCaFile_ = *ca;
    }
    configuration.serviceURL_ = text("serviceURL");
}

std::vector<std::filesystem::path> AgentConfiguration::dataDirs(std::vector<std::filesystem::path> fromEnvironment) const
{
    if (installed_) {
        for (const auto& folder : kSystemDataDirs)
            if (std::ranges::find(fromEnvironment, folder) == fromEnvironment.end())
                fromEnvironment.push_back(folder);
    }
    return fromEnvironment;
}

std::string AgentConfiguration::searchPath(const std::optional<std::string>& fromEnvironment) const
{
    std::string path = fromEnvironment.value_or("/usr/local/bin:/usr/bin:/bin");
    if (!installed_)
        return path;
    const auto listed = ":" + path + ":";
    for (const auto& folder : kSystemProgramFolders)
        if (listed.find(":" + folder + ":") == std::string::npos)
            path += (path.empty() ? "" : ":") + folder;
    return path;
}

}  // namespace tessary
