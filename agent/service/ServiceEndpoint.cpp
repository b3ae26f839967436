#include "agent/service/ServiceEndpoint.h"

#include "platform/Url.h"

namespace tessary {

ServiceEndpoint::ServiceEndpoint(std::string baseURL, std::string wsURL)
    : baseURL_(std::move(baseURL)), wsURL_(std::move(wsURL))
{
}

Expected<ServiceEndpoint> ServiceEndpoint::fromBaseURL(std::string_view baseURL)
{
    auto url = Url::parse(baseURL);
    if (!url || url->scheme != "https" || !(url->path.empty() || url->path == "/"))
        return Error{"The service URL must be https://host[:port]: " + std::string(baseURL)};
    url->path = "/";
    Url channel = *url;
    channel.scheme = "wss";
    channel.path = "/ws/device";
    return ServiceEndpoint(url->text(), channel.text());
}

Expected<ServiceEndpoint> ServiceEndpoint::resolve(const std::optional<std::string>& overrideURL)
{
    return fromBaseURL(overrideURL ? *overrideURL : kDefaultBaseURL);
}

}  // namespace tessary
