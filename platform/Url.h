#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tessary {

// An absolute URL of the form scheme://host[:port][/path]; enough for the service's addresses.
struct Url {
    std::string scheme;
    std::string host;
    std::optional<std::uint16_t> port;
    std::string path;  // begins with "/", or is empty

    // Lower-cases scheme and host; rejects user info, queries, fragments and bad ports.
    static std::optional<Url> parse(std::string_view text);
    // The port, or the scheme's default (443 for https and wss, 80 for http and ws).
    std::uint16_t effectivePort() const;
    // host, or host:port when a port was given.
    std::string authority() const;
    std::string text() const;
};

}  // namespace tessary
