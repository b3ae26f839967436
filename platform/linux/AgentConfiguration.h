#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/Logger.h"
#include "platform/MainBundle.h"

namespace tessary {

// Where the agent connects, what it trusts beyond the system's CAs, how it keeps its credentials and
// where it looks for applications. A development build takes the overrides from its environment
// (TESSARY_SERVICE_URL, TESSARY_CA_FILE, TESSARY_SECRET_BACKEND). An installed agent, whose bundle
// names a configuration file, ignores them, since its environment is the child's to set: it reads
// the service address and an extra CA from that file, which counts only while root owns it and its
// folder and nobody else may write them, and it always searches the system's folders too.
class AgentConfiguration {
public:
    using Environment = std::function<std::optional<std::string>(const char* name)>;

    // The Info key an installed bundle carries: the path of its configuration file.
    static constexpr const char* kFileKey = "TessaryConfigurationFile";
    // Larger than any configuration a family writes.
    static constexpr std::uintmax_t kLargestFile = 64 * 1024;

    // Says what it refused through the logger; never fails.
    static AgentConfiguration load(const MainBundle& bundle, const Environment& environment, const Logger& logger);
    // The process's own environment, unset and empty variables absent.
    static Environment processEnvironment();

    const std::optional<std::string>& serviceURL() const { return serviceURL_; }
    const std::optional<std::filesystem::path>& extraCaFile() const { return extraCaFile_; }
    // Empty: the credential backend remembered or found.
    const std::string& secretBackend() const { return secretBackend_; }
    // The folders of desktop entries and programs to search, given the environment's.
    std::vector<std::filesystem::path> dataDirs(std::vector<std::filesystem::path> fromEnvironment) const;
    std::string searchPath(const std::optional<std::string>& fromEnvironment) const;

private:
    static void readFile(AgentConfiguration& configuration, const std::filesystem::path& file, const Logger& logger);

    bool installed_ = false;
    std::optional<std::string> serviceURL_;
    std::optional<std::filesystem::path> extraCaFile_;
    std::string secretBackend_;
};

}  // namespace tessary
