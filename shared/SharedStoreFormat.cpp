#include "shared/SharedStoreFormat.h"

namespace tessary {

std::filesystem::path SharedStoreFormat::storePath(const Paths& paths)
{
    return paths.dataHome / kSuiteName / kStoreFileName;
}

std::filesystem::path SharedStoreFormat::notificationSocketPath(const Paths& paths)
{
    std::error_code ignored;
    if (!paths.runtimeDir.empty() && std::filesystem::is_directory(paths.runtimeDir, ignored))
        return paths.runtimeDir / kNotificationName;
    return storePath(paths).parent_path() / kNotificationName;
}

}  // namespace tessary
