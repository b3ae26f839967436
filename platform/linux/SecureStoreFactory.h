#pragma once

#include <memory>
#include <string_view>

#include "platform/LogSink.h"
#include "platform/MainQueue.h"
#include "platform/Paths.h"
#include "platform/SecureStore.h"

namespace tessary {

// The agent's credential store: the backend remembered in choiceFile() (the Secret Service, else
// the private file credentialsFile()), read and written on a worker thread and served from memory.
// A forced backend ("secret-service" or "file") is used without remembering it. Building the
// store touches neither the keyring nor the disk; its first open() does.
class SecureStoreFactory {
public:
    static std::shared_ptr<SecureStore> forAgent(const Paths& paths, std::string_view forcedBackend,
                                                 std::shared_ptr<MainQueue> mainQueue,
                                                 std::shared_ptr<LogSink> logSink);
    static std::filesystem::path credentialsFile(const Paths& paths);
    static std::filesystem::path choiceFile(const Paths& paths);
};

}  // namespace tessary
