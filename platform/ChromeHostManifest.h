#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/Expected.h"

namespace tessary {

// One Chromium-family browser's registration of the native-messaging host: one manifest file per
// user and browser.
class ChromeHostManifest {
public:
    virtual ~ChromeHostManifest() = default;

    // The browser's name as log lines show it: "Chrome", "Chromium", "Brave" ...
    virtual const std::string& browserName() const = 0;
    // The browser keeps its settings for this user, so it has run here and reads the manifest.
    virtual bool isBrowserPresent() = 0;
    // Replaces the manifest with these bytes, creating its folder. Absent on success.
    [[nodiscard]] virtual std::optional<Error> write(std::string_view content) = 0;
    // Deletes the manifest, leaving its folder; false when there was none.
    virtual bool remove() = 0;
};

}  // namespace tessary
