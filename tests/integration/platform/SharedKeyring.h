#pragma once

#include "tests/support/PrivateSecretService.h"

namespace tessary::testing {

// The one private Secret Service of this test program, whose bus this process talks to itself:
// the keyring library binds to the first session bus it reaches for the life of the process, so
// every test of the program shares it. Started before the first test, ended after the last.
PrivateSecretService& sharedKeyring();

}  // namespace tessary::testing
