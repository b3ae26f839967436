#include <gtest/gtest.h>

#include "agent/service/ServiceEndpoint.h"

namespace tessary {
namespace {

TEST(ServiceEndpointTest, AddressesFollowTheBaseURL)
{
    struct Row {
        const char* name;
        std::optional<std::string> overrideURL;
        const char* base;
        const char* ws;
    };
    const Row rows[] = {
        {"built-in host", std::nullopt, "https://api.tessary.app/", "wss://api.tessary.app/ws/device"},
        {"override with port", "https://127.0.0.1:8443", "https://127.0.0.1:8443/", "wss://127.0.0.1:8443/ws/device"},
        {"trailing slash and upper case", "HTTPS://LocalHost:9000/", "https://localhost:9000/",
         "wss://localhost:9000/ws/device"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto endpoint = ServiceEndpoint::resolve(row.overrideURL);
        ASSERT_TRUE(endpoint) << endpoint.error().description;
        EXPECT_EQ(endpoint.value().baseURL(), row.base);
        EXPECT_EQ(endpoint.value().wsURL(), row.ws);
        EXPECT_EQ(endpoint.value().versionURL(), std::string(row.base) + "releases/version.json");
        EXPECT_EQ(endpoint.value().packageURL(), std::string(row.base) + "releases/Tessary.pkg");
    }
}

TEST(ServiceEndpointTest, RejectsAnythingButAnHttpsHost)
{
    for (const char* url : {"http://api.tessary.app", "https://api.tessary.app/api", "https://", "api.tessary.app",
                            "https://user@host", "https://host:0", "https://host:70000", "https://host:12ab",
                            "https://host/?q", "https://ho st"}) {
        SCOPED_TRACE(url);
        EXPECT_FALSE(ServiceEndpoint::fromBaseURL(url));
    }
}

}  // namespace
}  // namespace tessary
