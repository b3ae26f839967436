#pragma once

#include <chrono>

namespace tessary {

// Asks the session bus about a name over a connection of its own, so it can be asked before the
// process has an application object (QtDBus needs one).
class SessionBusName {
public:
    // False also when no bus answers within the limit.
    static bool hasOwner(const char* name, std::chrono::milliseconds limit);
};

}  // namespace tessary
