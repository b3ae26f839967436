#pragma once

#include "platform/Paths.h"

namespace tessary {

// The roots of the running user's session, from HOME, the XDG variables and TMPDIR.
class EnvironmentPaths {
public:
    static Paths current();
};

}  // namespace tessary
