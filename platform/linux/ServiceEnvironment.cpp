#include "platform/linux/ServiceEnvironment.h"

#include <cstdlib>

namespace tessary {

namespace {

std::optional<std::string> variable(const char* name)
{
    const char* value = std::getenv(name);
    if (!value || *value == '\0')
        return std::nullopt;
    return std::string(value);
}

}  // namespace

std::optional<std::string> ServiceEnvironment::serviceURL()
{
    return variable("TESSARY_SERVICE_URL");
}

std::optional<std::filesystem::path> ServiceEnvironment::extraCaFile()
{
    auto file = variable("TESSARY_CA_FILE");
    if (!file)
        return std::nullopt;
    return std::filesystem::path(*file);
}

}  // namespace tessary
