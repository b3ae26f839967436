#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tessary::server {

struct HttpQuery {
    std::string method;
    std::string target;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;

    // The first header of that name, compared without regard to case.
    std::optional<std::string> header(const std::string& name) const;
};

struct HttpAnswer {
    int status = 200;
    std::string contentType = "application/json";
    std::string body;
    // Sent as the Location header when not empty.
    std::string location = {};
    // Further headers, sent as they are (Set-Cookie, security policies).
    std::vector<std::pair<std::string, std::string>> headers = {};
};

}  // namespace tessary::server
