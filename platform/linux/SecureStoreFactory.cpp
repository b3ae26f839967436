#include "platform/linux/SecureStoreFactory.h"

#include <cstdlib>
#include <string_view>

#include "platform/linux/FileSecureStore.h"
#include "platform/linux/SecretServiceStore.h"

namespace tessary {

std::filesystem::path SecureStoreFactory::credentialsFile(const Paths& paths)
{
    return paths.dataHome / "app.brenmoor.tessary" / "credentials";
}

std::shared_ptr<SecureStore> SecureStoreFactory::forEnvironment(const Paths& paths)
{
    const char* forced = std::getenv("TESSARY_SECRET_BACKEND");
    const std::string_view backend = forced == nullptr ? "" : forced;
    if (backend == "secret-service")
        return std::make_shared<SecretServiceStore>();
    if (backend != "file" && SecretServiceStore::isAvailable())
        return std::make_shared<SecretServiceStore>();
    return std::make_shared<FileSecureStore>(credentialsFile(paths));
}

}  // namespace tessary
