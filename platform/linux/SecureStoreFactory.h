#pragma once

#include <memory>

#include "platform/Paths.h"
#include "platform/SecureStore.h"

namespace tessary {

// The Secret Service when one answers, else the private file. TESSARY_SECRET_BACKEND
// ("secret-service" or "file") forces one.
class SecureStoreFactory {
public:
    static std::shared_ptr<SecureStore> forEnvironment(const Paths& paths);
    static std::filesystem::path credentialsFile(const Paths& paths);
};

}  // namespace tessary
