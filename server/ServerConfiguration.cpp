#include "server/ServerConfiguration.h"

#include <fstream>
#include <iterator>
#include <unistd.h>

#include <nlohmann/json.hpp>

namespace tessary::server {

namespace {

std::optional<std::uint64_t> number(const std::string& text, std::uint64_t low, std::uint64_t high)
{
    if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const auto value = std::stoull(text);
    if (value < low || value > high)
        return std::nullopt;
    return value;
}

std::string hostName()
{
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        return {};
    return name;
}

}  // namespace

ServerConfiguration ServerConfiguration::defaults(std::filesystem::path dataFolder)
{
    ServerConfiguration configuration;
    configuration.dataFolder = std::move(dataFolder);
    configuration.names = {"localhost", "127.0.0.1", "::1"};
    if (const auto host = hostName(); !host.empty() && host != "localhost")
        configuration.names.insert(configuration.names.begin(), host);
    return configuration;
}

std::optional<Error> ServerConfiguration::readFile(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return Error{file.string() + ": cannot be read"};
    const std::string contents{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const auto json = nlohmann::json::parse(contents, nullptr, false);
    if (json.is_discarded() || !json.is_object())
        return Error{file.string() + ": not a JSON object"};
    const auto wrong = [&](const std::string& key, const char* expected) {
        return Error{file.string() + ": \"" + key + "\" must be " + expected};
    };
    for (const auto& [key, value] : json.items()) {
        if (key == "listen") {
            // "address:port", the address of an IPv6 one in brackets.
            const auto text = value.is_string() ? value.get<std::string>() : std::string();
            const auto colon = text.rfind(':');
            const auto listenPort = colon == std::string::npos ? std::nullopt : number(text.substr(colon + 1), 0, 65535);
            if (!listenPort || colon == 0)
                return wrong(key, "\"address:port\"");
            address = text.substr(0, colon);
            if (address.size() > 2 && address.front() == '[' && address.back() == ']')
                address = address.substr(1, address.size() - 2);
            port = static_cast<std::uint16_t>(*listenPort);
        }
        else if (key == "dataFolder" || key == "certificate" || key == "key" || key == "publicURL") {
            if (!value.is_string() || value.get<std::string>().empty())
                return wrong(key, "a non-empty string");
            const auto path = value.get<std::string>();
            if (key == "dataFolder")
                dataFolder = path;
            else if (key == "certificate")
                certificateFile = path;
            else if (key == "key")
                keyFile = path;
            else if (path.rfind("https://", 0) != 0)
                return wrong(key, "an https:// address");
            else
                publicURL = path.back() == '/' ? path : path + "/";
        }
        else if (key == "names") {
            if (!value.is_array() || value.empty())
                return wrong(key, "a list of host names and addresses");
            names.clear();
            for (const auto& name : value) {
                if (!name.is_string() || name.get<std::string>().empty())
                    return wrong(key, "a list of host names and addresses");
                names.push_back(name.get<std::string>());
            }
        }
        else if (key == "retentionDays") {
            if (!value.is_number_unsigned() || value.get<std::uint64_t>() == 0 || value.get<std::uint64_t>() > 36500)
                return wrong(key, "a number of days from 1 to 36500");
            retention = std::chrono::hours(24 * value.get<std::uint64_t>());
        }
        else
            return Error{file.string() + ": unknown setting \"" + key + "\""};
    }
    if (certificateFile.has_value() != keyFile.has_value())
        return Error{file.string() + ": \"certificate\" and \"key\" go together"};
    return std::nullopt;
}

std::optional<Error> ServerConfiguration::readArguments(const std::vector<std::string>& arguments)
{
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const auto& argument = arguments[i];
        const bool hasValue = i + 1 < arguments.size();
        if (argument == "--port" && hasValue) {
            const auto value = number(arguments[++i], 0, 65535);
            if (!value)
                return Error{"--port takes a number from 0 to 65535"};
            port = static_cast<std::uint16_t>(*value);
        }
        else if (argument == "--listen" && hasValue)
            address = arguments[++i];
        else if (argument == "--state" && hasValue)
            dataFolder = arguments[++i];
        else if (argument == "--retention-days" && hasValue) {
            const auto value = number(arguments[++i], 1, 36500);
            if (!value)
                return Error{"--retention-days takes a number from 1 to 36500"};
            retention = std::chrono::hours(24 * *value);
        }
        else if (argument == "--admin-interface")
            adminInterface = true;
        else
            return Error{"unexpected argument " + argument};
    }
    return std::nullopt;
}

std::string ServerConfiguration::baseURL(std::uint16_t boundPort) const
{
    if (publicURL)
        return *publicURL;
    const bool everyAddress = address == "0.0.0.0" || address == "::";
    auto host = everyAddress ? names.front() : address;
    if (host.find(':') != std::string::npos)
        host = "[" + host + "]";
    return "https://" + host + ":" + std::to_string(boundPort) + "/";
}

}  // namespace tessary::server
