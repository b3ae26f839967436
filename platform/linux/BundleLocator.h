#pragma once

#include "platform/MainBundle.h"

namespace tessary {

// The bundle this process runs from: the folder above Contents/ of /proc/self/exe.
class BundleLocator {
public:
    static MainBundle running();
};

}  // namespace tessary
