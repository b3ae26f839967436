#include "tests/support/TemporaryFolder.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace tessary::testing {

TemporaryFolder::TemporaryFolder()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && base[0] == '/' ? base : "/tmp") + "/tessary-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TemporaryFolder::~TemporaryFolder()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

Paths TemporaryFolder::paths() const
{
    Paths paths;
    paths.home = path_ / "home";
    paths.configHome = paths.home / ".config";
    paths.dataHome = paths.home / ".local" / "share";
    paths.runtimeDir = path_ / "run";
    paths.tempDir = path_ / "tmp";
    paths.systemConfigDir = path_ / "etc" / "xdg";
    paths.systemUserUnitDir = path_ / "usr" / "lib" / "systemd" / "user";
    paths.dataDirs = {path_ / "usr" / "share"};
    paths.procRoot = path_ / "proc";
    paths.cgroupRoot = path_ / "cgroup";
    for (const auto& folder : {paths.home, paths.configHome, paths.dataHome, paths.runtimeDir, paths.tempDir})
        std::filesystem::create_directories(folder);
    return paths;
}

void TemporaryFolder::writeFile(const std::filesystem::path& file, const std::string& content)
{
    std::filesystem::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string TemporaryFolder::readFile(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<std::string> TemporaryFolder::namesIn(const std::filesystem::path& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::filesystem::perms TemporaryFolder::modeOf(const std::filesystem::path& path)
{
    return std::filesystem::status(path).permissions() & std::filesystem::perms::all;
}

}  // namespace tessary::testing
