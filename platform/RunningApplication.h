#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tessary {

// A running application of the login session, as a workspace notification hands it over.
class RunningApplication {
public:
    virtual ~RunningApplication() = default;
    virtual std::optional<std::string> bundleIdentifier() const = 0;
    virtual std::optional<std::string> localizedName() const = 0;
    // The other identifiers its processes carry (the program's, the unit's, the sandbox's): an
    // application started under another's unit is still the one its program is.
    virtual std::vector<std::string> otherIdentifiers() const = 0;
    // Kills every process of the application at once. Returns false when none could be signalled.
    virtual bool forceTerminate() = 0;
};

}  // namespace tessary
