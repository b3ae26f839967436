#include "platform/FileAside.h"

#include <string>

namespace tessary {

namespace {

constexpr int kMostCopies = 1000;

std::filesystem::path withSuffix(const std::filesystem::path& file, std::string_view suffix)
{
    return std::filesystem::path(file.string() + std::string(suffix));
}

bool taken(const std::filesystem::path& name)
{
    std::error_code ignored;
    return std::filesystem::exists(std::filesystem::symlink_status(name, ignored));
}

}  // namespace

Expected<std::filesystem::path> FileAside::unusedName(const std::filesystem::path& file, std::string_view tag,
                                                      std::string_view stamp,
                                                      std::span<const std::string_view> companions)
{
    const auto base = file.string() + std::string(tag) + std::string(stamp);
    const auto free = [&](const std::filesystem::path& name) {
        if (taken(name))
            return false;
        for (const auto companion : companions)
            if (taken(withSuffix(name, companion)))
                return false;
        return true;
    };
    std::filesystem::path name = base;
    for (int copy = 2; !free(name); ++copy) {
        if (copy > kMostCopies)
            return Error{file.string() + " could not be moved aside: too many copies"};
        name = base + "-" + std::to_string(copy);
    }
    return name;
}

Expected<std::filesystem::path> FileAside::move(const std::filesystem::path& file, std::string_view tag,
                                                std::string_view stamp, std::span<const std::string_view> companions)
{
    auto copy = unusedName(file, tag, stamp, companions);
    if (!copy)
        return copy.error();
    std::error_code error;
    std::filesystem::rename(file, copy.value(), error);
    if (error)
        return Error{file.string() + " could not be moved aside: " + error.message()};
    if (auto failure = moveCompanions(file, copy.value(), companions))
        return *failure;
    return copy;
}

std::optional<Error> FileAside::moveCompanions(const std::filesystem::path& file, const std::filesystem::path& copy,
                                               std::span<const std::string_view> companions)
{
    for (const auto companion : companions) {
        const auto from = withSuffix(file, companion);
        if (!taken(from))
            continue;
        std::error_code error;
        std::filesystem::rename(from, withSuffix(copy, companion), error);
        if (error)
            return Error{from.string() + " could not be moved aside: " + error.message()};
    }
    return std::nullopt;
}

}  // namespace tessary
