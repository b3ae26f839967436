#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Expected.h"

namespace tessary {

struct HttpRequest {
    std::string method;
    std::string url;
    // Sent in this order, after the transport's own headers.
    std::vector<std::pair<std::string, std::string>> headers;
    std::optional<std::string> body;
    // Absent: the transport's default.
    std::optional<std::chrono::seconds> timeout;
};

struct HttpReply {
    // The HTTP status, or -1 when the reply was not an HTTP reply.
    long status = -1;
    std::string body;
};

// HTTPS requests, never on the caller's thread. Redirects are followed and TLS is always
// verified. The completion runs on a transport thread; a failure there is a transport error.
class HttpTransport {
public:
    using Completion = std::function<void(Expected<HttpReply>)>;

    virtual ~HttpTransport() = default;
    virtual void send(HttpRequest request, Completion completion) = 0;
};

}  // namespace tessary
