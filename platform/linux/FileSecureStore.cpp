#include "platform/linux/FileSecureStore.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>

#include <nlohmann/json.hpp>

#include "platform/FileAside.h"
#include "platform/linux/AtomicFile.h"
#include "platform/linux/Base64.h"

namespace tessary {

namespace {

constexpr mode_t kPrivate = 0600;

std::string utcStamp(std::chrono::system_clock::time_point at)
{
    const std::time_t seconds = std::chrono::system_clock::to_time_t(at);
    std::tm parts{};
    ::gmtime_r(&seconds, &parts);
    char text[32] = {};
    std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &parts);
    return text;
}

}  // namespace

// What the file held when it was last read: its items, and whether they are all of it.
struct FileSecureStore::Content {
    enum class State { missing, complete, damaged, unreadable };
    State state = State::missing;
    std::string bytes;  // as read, when damaged
    AllItems items;     // every item that could be understood
    std::string why;
};

FileSecureStore::FileSecureStore(std::filesystem::path file, std::shared_ptr<const Clock> clock,
                                 std::shared_ptr<LogSink> logSink)
    : file_(std::move(file)), clock_(clock ? std::move(clock) : std::make_shared<SystemClock>()),
      logger_(std::move(logSink), "app.brenmoor.tessary", "app")
{
}

// {"items":[{"service":..., "account":..., "value": base64 of the bytes}]}: values stay bytes.
FileSecureStore::Content FileSecureStore::readContent() const
{
    Content content;
    std::error_code ec;
    const auto status = std::filesystem::status(file_, ec);
    if (status.type() == std::filesystem::file_type::not_found && !std::filesystem::is_symlink(file_, ec))
        return content;
    if (status.type() != std::filesystem::file_type::regular) {
        content.state = Content::State::unreadable;
        content.why = ec ? ec.message() : "not a regular file";
        return content;
    }
    std::ifstream stream(file_, std::ios::binary);
    if (!stream) {
        content.state = Content::State::unreadable;
        content.why = std::strerror(errno);
        return content;
    }
    content.bytes.assign(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
    if (stream.bad()) {
        content.state = Content::State::unreadable;
        content.why = "read error";
        return content;
    }
    content.state = Content::State::complete;
    // An empty file holds nothing that could be lost.
    if (content.bytes.empty())
        return content;

    const auto document = nlohmann::json::parse(content.bytes, nullptr, /*allow_exceptions=*/false);
    if (!document.is_object() || !document.contains("items") || !document["items"].is_array()) {
        content.state = Content::State::damaged;
        content.why = "no list of items";
        return content;
    }
    for (const auto& item : document["items"]) {
        const auto field = [&item](const char* name) -> std::optional<std::string> {
            if (!item.is_object() || !item.contains(name) || !item[name].is_string())
                return std::nullopt;
            return item[name].get<std::string>();
        };
        const auto service = field("service");
        const auto account = field("account");
        const auto encoded = field("value");
        const auto value = encoded ? Base64::decode(*encoded) : std::nullopt;
        if (!service || !account || !value) {
            content.state = Content::State::damaged;
            content.why = "an item that cannot be read";
            continue;
        }
        content.items[*service][*account] = *value;
    }
    return content;
}

Expected<std::filesystem::path> FileSecureStore::moveAside(const std::string& reason)
{
    return FileAside::move(file_, "." + reason + "-", utcStamp(clock_->now()));
}

std::optional<Error> FileSecureStore::removeFile()
{
    std::error_code ec;
    std::filesystem::remove(file_, ec);
    if (ec)
        return Error{"Could not remove " + file_.string() + ": " + ec.message()};
    return std::nullopt;
}

bool FileSecureStore::exists() const
{
    std::error_code ignored;
    return std::filesystem::exists(file_, ignored) || std::filesystem::is_symlink(file_, ignored);
}

Expected<FileSecureStore::AllItems> FileSecureStore::readRepairing()
{
    auto content = readContent();
    switch (content.state) {
    case Content::State::missing:
    case Content::State::complete:
        return std::move(content.items);
    case Content::State::unreadable: {
        // Its owner may still recover it; a later write must never take its place unseen.
        auto aside = moveAside("unreadable");
        if (!aside)
            return Error{"The credentials file cannot be read (" + content.why + ") and " + aside.error().description};
        logger_.error("Credentials file unreadable (%s) — moved aside to %s", {content.why, aside.value().string()});
        return AllItems{};
    }
    case Content::State::damaged: {
        // A copy of every byte goes aside first; only then are the items understood written back.
        const auto aside = FileAside::unusedName(file_, ".unreadable-", utcStamp(clock_->now()));
        if (!aside)
            return Error{"The credentials file is damaged (" + content.why + ") and " + aside.error().description};
        if (auto failure = AtomicFile::write(aside.value(), content.bytes, kPrivate))
            return Error{"The credentials file is damaged (" + content.why + ") and " + failure->description};
        if (auto failure = writeItems(content.items))
            return Error{"The credentials file is damaged (" + content.why + ") and " + failure->description};
        logger_.error("Credentials file unreadable (%s) — moved aside to %s", {content.why, aside.value().string()});
        return std::move(content.items);
    }
    }
    return AllItems{};
}

Expected<CredentialItems> FileSecureStore::readAll(const std::string& service)
{
    auto all = readRepairing();
    if (!all)
        return all.error();
    const auto found = all.value().find(service);
    if (found == all.value().end())
        return CredentialItems{};
    return found->second;
}

Expected<FileSecureStore::AllItems> FileSecureStore::readEverything()
{
    return readRepairing();
}

std::optional<Error> FileSecureStore::writeItems(const AllItems& items)
{
    auto list = nlohmann::json::array();
    for (const auto& [service, accounts] : items)
        for (const auto& [account, bytes] : accounts)
            list.push_back({{"service", service}, {"account", account}, {"value", Base64::encode(bytes)}});
    const nlohmann::json document{{"items", list}};
    return AtomicFile::write(file_, document.dump(2), kPrivate);
}

std::optional<Error> FileSecureStore::write(const std::string& service, const std::string& account,
                                            const std::string& bytes)
{
    auto content = readContent();
    if (content.state == Content::State::unreadable || content.state == Content::State::damaged)
        return Error{"Not written: the credentials file cannot be read completely (" + content.why + ")"};
    content.items[service][account] = bytes;
    return writeItems(content.items);
}

std::optional<Error> FileSecureStore::erase(const std::string& service, const std::string& account)
{
    auto content = readContent();
    if (content.state == Content::State::unreadable || content.state == Content::State::damaged)
        return Error{"Not written: the credentials file cannot be read completely (" + content.why + ")"};
    const auto found = content.items.find(service);
    if (found == content.items.end() || found->second.erase(account) == 0)
        return std::nullopt;
    if (found->second.empty())
        content.items.erase(found);
    return writeItems(content.items);
}

}  // namespace tessary
