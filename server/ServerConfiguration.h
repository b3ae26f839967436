#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/Expected.h"

namespace tessary::server {

// How tessary-server runs: from its configuration file (server.json), then its command line.
struct ServerConfiguration {
    // An address to listen on: "127.0.0.1", "0.0.0.0" (every IPv4 one), "::" (every one).
    std::string address = "127.0.0.1";
    std::uint16_t port = 8443;
    std::filesystem::path dataFolder;
    // A certificate chain and its key (PEM); without them the server makes its own CA and a
    // certificate for `names`, kept in the data folder.
    std::optional<std::filesystem::path> certificateFile;
    std::optional<std::filesystem::path> keyFile;
    std::vector<std::string> names;
    // Where devices reach the server ("https://host:port/"), for the update links it hands out;
    // by default the first name and the port.
    std::optional<std::string> publicURL;
    std::chrono::hours retention{30 * 24};
    // The admin interface, without credentials: tests and development only.
    bool adminInterface = false;

    // The defaults: loopback, names localhost and the host's own name, `dataFolder` as given.
    static ServerConfiguration defaults(std::filesystem::path dataFolder);
    // Reads the members a server.json sets over these; an unknown member or one of the wrong kind
    // is refused with its name.
    [[nodiscard]] std::optional<Error> readFile(const std::filesystem::path& file);
    // Applies the command line (after the program's name); a problem says which argument.
    [[nodiscard]] std::optional<Error> readArguments(const std::vector<std::string>& arguments);
    std::string baseURL(std::uint16_t boundPort) const;
};

}  // namespace tessary::server
