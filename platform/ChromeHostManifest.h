#pragma once

#include <optional>
#include <string_view>

#include "platform/Expected.h"

namespace tessary {

// Chrome's registration of the native-messaging host: one manifest file per user.
class ChromeHostManifest {
public:
    virtual ~ChromeHostManifest() = default;

    // Replaces the manifest with these bytes, creating its folder. Absent on success.
    virtual std::optional<Error> write(std::string_view content) = 0;
    // Deletes the manifest, leaving its folder; false when there was none.
    virtual bool remove() = 0;
};

}  // namespace tessary
