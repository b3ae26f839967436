#include "platform/linux/SecureStoreFactory.h"

#include "platform/linux/CachedSecureStore.h"
#include "platform/linux/FileSecureStore.h"
#include "platform/linux/RememberedCredentialBackend.h"
#include "platform/linux/SecretServiceStore.h"

namespace tessary {

std::filesystem::path SecureStoreFactory::credentialsFile(const Paths& paths)
{
    return paths.dataHome / "app.brenmoor.tessary" / "credentials";
}

std::filesystem::path SecureStoreFactory::choiceFile(const Paths& paths)
{
    return paths.dataHome / "app.brenmoor.tessary" / "credential-backend";
}

std::shared_ptr<SecureStore> SecureStoreFactory::forAgent(const Paths& paths, std::string_view forcedBackend,
                                                          std::shared_ptr<MainQueue> mainQueue,
                                                          std::shared_ptr<LogSink> logSink)
{
    auto backend = std::make_shared<RememberedCredentialBackend>(
        choiceFile(paths), std::make_shared<SecretServiceStore>(),
        std::make_shared<FileSecureStore>(credentialsFile(paths), std::make_shared<SystemClock>(), logSink),
        RememberedCredentialBackend::parse(forcedBackend), logSink);
    return std::make_shared<CachedSecureStore>(std::move(backend), std::move(mainQueue), std::move(logSink));
}

}  // namespace tessary
