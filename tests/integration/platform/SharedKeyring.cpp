#include "tests/integration/platform/SharedKeyring.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

namespace tessary::testing {

namespace {

class KeyringEnvironment final : public ::testing::Environment {
public:
    void SetUp() override
    {
        keyring = std::make_unique<PrivateSecretService>();
        for (const auto& [name, value] : keyring->environment())
            ::setenv(name.c_str(), value.c_str(), 1);
    }
    void TearDown() override { keyring.reset(); }

    std::unique_ptr<PrivateSecretService> keyring;
};

KeyringEnvironment* const environment =
    static_cast<KeyringEnvironment*>(::testing::AddGlobalTestEnvironment(new KeyringEnvironment));

}  // namespace

PrivateSecretService& sharedKeyring()
{
    return *environment->keyring;
}

}  // namespace tessary::testing
