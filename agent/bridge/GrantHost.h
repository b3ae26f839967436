#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tessary {

// The site a grant is for: the host of a granted address, as the browsers match it.
class GrantHost {
public:
    // The address's host without one leading "www." (exact case). An address that does not parse
    // as a URL, or parses without a host (a bare "example.com"), is kept unchanged.
    static std::string normalise(std::string_view address);
    // The host of a URL with an authority ("scheme://host..." or "//host..."), percent escapes
    // decoded and IPv6 brackets removed; absent when there is none or the text is not a URL.
    static std::optional<std::string> hostOf(std::string_view address);
};

}  // namespace tessary
