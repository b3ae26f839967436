#pragma once

#include <cstdlib>
#include <cstring>

#include <gtest/gtest.h>

namespace tessary::testing {

// CI runs on a disposable machine (TESSARY_DISPOSABLE_MACHINE=1) whose setup installs everything
// every test needs: there a missing prerequisite is a fault of the setup, not a reason to skip.
inline bool onDisposableMachine()
{
    const char* value = std::getenv("TESSARY_DISPOSABLE_MACHINE");
    return value != nullptr && std::strcmp(value, "1") == 0;
}

}  // namespace tessary::testing

// Skips the test for want of something this machine lacks; fails it on a disposable machine.
#define TESSARY_SKIP_WITHOUT(why)                                                              \
    do {                                                                                       \
        if (::tessary::testing::onDisposableMachine())                                         \
            FAIL() << "a prerequisite is missing on a disposable machine: " << (why);          \
        GTEST_SKIP() << (why);                                                                 \
    } while (false)
