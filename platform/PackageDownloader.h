#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "platform/Expected.h"

namespace tessary {

// Fetches an installer package over HTTPS into a file, never on the caller's thread and never
// holding the package in memory. TLS is always verified; redirects are followed, never to http.
class PackageDownloader {
public:
    struct Download {
        std::filesystem::path file;  // the destination
        long status = 0;             // the HTTP status of the final reply (2xx)
        std::uintmax_t bytes = 0;    // never zero
    };
    // Runs exactly once, on a transport thread.
    using Completion = std::function<void(Expected<Download>)>;

    virtual ~PackageDownloader() = default;

    // Streams the body to a temporary file in destination's folder and renames it over
    // `destination` (replacing any older file) only when the reply is a 2xx with a non-empty body.
    // Anything else, an error status or an empty body included, is an error: the temporary file is
    // removed and `destination` is left as it was.
    virtual void download(std::string url, std::filesystem::path destination, Completion completion) = 0;
};

}  // namespace tessary
