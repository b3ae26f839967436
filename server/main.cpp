// tessary-server: the family server (the device API and channel, the parents' dashboard), over TLS.
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <grp.h>
#include <vector>

#include "platform/linux/FileDescriptorLimit.h"
#include "server/ServerConfiguration.h"
#include "server/dashboard/PasswordHash.h"
#include "server/storage/SqliteFamilyStore.h"
#include "server/storage/StateFileImport.h"
#include "server/service/ServerCertificates.h"
#include "server/service/HttpsServer.h"
#include "server/service/FamilyService.h"

using namespace tessary::server;

namespace {

using tessary::server::ServerConfiguration;

std::filesystem::path defaultStateFolder()
{
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state)
        return std::filesystem::path(state) / "tessary-server";
    if (const char* home = std::getenv("HOME"); home && *home)
        return std::filesystem::path(home) / ".local/state/tessary-server";
    return std::filesystem::temp_directory_path() / "tessary-server";
}

std::optional<std::string> fileBytes(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return std::nullopt;
    std::string bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    if (file.bad())
        return std::nullopt;
    return bytes;
}

int usage(const std::string& problem = {})
{
    if (!problem.empty())
        std::cerr << problem << "\n";
    std::cerr << "usage: tessary-server [--config FILE] [--listen ADDRESS] [--port N] [--state FOLDER]\n"
                 "                      [--retention-days N] [--issue-setup-code] [--package FILE]\n"
                 "                      [--firefox-extension FILE] [--admin-interface]\n"
                 "       tessary-server add-parent [--config FILE] [--state FOLDER] [--family ID] NAME\n"
                 "                      (the password on standard input)\n";
    return 2;
}

// The configuration file first (given by --config), then the other arguments over it.
std::optional<ServerConfiguration> configuration(std::vector<std::string> arguments)
{
    auto configuration = ServerConfiguration::defaults(defaultStateFolder());
    for (auto at = arguments.begin(); at != arguments.end(); ++at) {
        if (*at != "--config" || at + 1 == arguments.end())
            continue;
        if (auto problem = configuration.readFile(*(at + 1))) {
            std::cerr << problem->description << "\n";
            return std::nullopt;
        }
        arguments.erase(at, at + 2);
        break;
    }
    if (auto problem = configuration.readArguments(arguments)) {
        usage(problem->description);
        return std::nullopt;
    }
    return configuration;
}

// One line of standard input; typed at a terminal, asked for twice without being shown.
std::string readPassword(const std::string& name)
{
    std::string password;
    termios shown {};
    if (::isatty(STDIN_FILENO) == 0 || ::tcgetattr(STDIN_FILENO, &shown) != 0) {
        std::getline(std::cin, password);
        return password;
    }
    auto hidden = shown;
    hidden.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &hidden);
    std::string again;
    std::cerr << "Password for " << name << ": " << std::flush;
    std::getline(std::cin, password);
    std::cerr << "\nThe same again: " << std::flush;
    std::getline(std::cin, again);
    std::cerr << "\n";
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &shown);
    return password == again ? password : std::string();
}

// Works inside the data folder, and, run by root where the folder belongs to the service's user, as
// that user: every file it makes stays the service's to open. From inside, the folders above need
// not be open to that user (systemd keeps a dynamic user's under a folder only root may enter).
bool workInsideAsOwnerOf(const std::filesystem::path& folder)
{
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    struct stat status {};
    if (::chdir(folder.c_str()) != 0 || ::stat(".", &status) != 0)
        return false;
    if (::geteuid() != 0 || status.st_uid == 0)
        return true;
    return ::setgroups(0, nullptr) == 0 && ::setgid(status.st_gid) == 0 && ::setuid(status.st_uid) == 0;
}

// Adds (or replaces) a parent's sign-in to the dashboard. The password is read from standard
// input, one line, so it appears in no process listing or shell history.
int addParent(const std::vector<std::string>& arguments)
{
    std::optional<std::string> family;
    std::string name;
    std::vector<std::string> rest;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const auto& argument = arguments[i];
        if ((argument == "--state" || argument == "--config") && i + 1 < arguments.size()) {
            rest.push_back(argument);
            rest.push_back(arguments[++i]);
        }
        else if (argument == "--family" && i + 1 < arguments.size())
            family = arguments[++i];
        else if (name.empty() && !argument.empty() && argument[0] != '-')
            name = argument;
        else
            return usage();
    }
    if (name.empty() || name.size() > 200)
        return usage();
    const auto settings = configuration(rest);
    if (!settings)
        return 2;
    const auto& folder = settings->dataFolder;
    if (!workInsideAsOwnerOf(folder)) {
        std::cerr << "Cannot work in " << folder.string() << " as its owner\n";
        return 1;
    }
    const auto password = readPassword(name);
    if (password.size() < 8) {
        std::cerr << "The password must have at least 8 characters (and, typed, be the same twice)\n";
        return 1;
    }
    std::error_code error;
    std::filesystem::permissions(".", std::filesystem::perms::owner_all, error);
    auto store = tessary::server::SqliteFamilyStore::open("service.sqlite3");
    if (!store) {
        std::cerr << store.error().description << "\n";
        return 1;
    }
    // A parent added again (a new password) stays in their family unless told otherwise.
    if (!family) {
        const auto existing = store.value()->parent(name);
        if (!existing) {
            std::cerr << existing.error().description << "\n";
            return 1;
        }
        if (existing.value())
            family = existing.value()->familyId;
    }
    if (!family) {
        auto contents = store.value()->load();
        if (!contents) {
            std::cerr << contents.error().description << "\n";
            return 1;
        }
        family = "family-" + std::to_string(contents.value().nextFamily);
        if (auto failed = store.value()->putNextFamily(contents.value().nextFamily + 1)) {
            std::cerr << failed->description << "\n";
            return 1;
        }
    }
    const auto hash = tessary::server::PasswordHash::of(password);
    if (!hash) {
        std::cerr << "The password could not be hashed\n";
        return 1;
    }
    if (auto failed = store.value()->putParent({name, *family, *hash})) {
        std::cerr << failed->description << "\n";
        return 1;
    }
    std::cout << "Parent " << name << " signs in to family " << *family << "\n";
    return 0;
}

}  // namespace

int main(int argc, char* argv[])
{
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    if (!arguments.empty() && arguments.front() == "add-parent")
        return addParent({arguments.begin() + 1, arguments.end()});
    bool issueSetupCode = false;
    std::optional<std::filesystem::path> packageFile;
    std::optional<std::filesystem::path> firefoxExtensionFile;
    std::vector<std::string> rest;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const auto& argument = arguments[i];
        if (argument == "--issue-setup-code")
            issueSetupCode = true;
        else if (argument == "--package" && i + 1 < arguments.size())
            packageFile = arguments[++i];
        else if (argument == "--firefox-extension" && i + 1 < arguments.size())
            firefoxExtensionFile = arguments[++i];
        else
            rest.push_back(argument);
    }
    const auto settings = configuration(rest);
    if (!settings)
        return 2;
    const auto& folder = settings->dataFolder;
    // Each device holds a channel open: the usual 1,024 would cap a family server near a thousand.
    tessary::FileDescriptorLimit::raiseToHardLimit();

    // Blocked before any thread starts, so only the wait below receives them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    auto certificates = settings->certificateFile
                            ? ServerCertificates::load(*settings->certificateFile, *settings->keyFile)
                            : ServerCertificates::loadOrCreate(folder, settings->names);
    if (!certificates) {
        std::cerr << certificates.error().description << "\n";
        return 1;
    }
    auto store = tessary::server::SqliteFamilyStore::open(folder / "service.sqlite3");
    if (!store) {
        std::cerr << store.error().description << "\n";
        return 1;
    }
    const auto imported = tessary::server::StateFileImport::run(folder / "state.json", *store.value());
    if (imported.problem)
        std::cerr << *imported.problem << "\n";
    else if (imported.devices > 0)
        std::cerr << "Imported " << imported.devices << " devices from " << (folder / "state.json").string() << "\n";
    auto service = std::make_shared<FamilyService>(std::move(store).value(), settings->retention);
    if (settings->adminInterface)
        service->serveAdminInterface();
    for (const auto& [file, publish] : {std::pair{packageFile, &FamilyService::setPackage},
                                        std::pair{firefoxExtensionFile, &FamilyService::setFirefoxExtension}}) {
        if (!file)
            continue;
        auto bytes = fileBytes(*file);
        if (!bytes) {
            std::cerr << file->string() << ": cannot be read\n";
            return 1;
        }
        ((*service).*publish)(std::move(*bytes));
    }
    HttpsServer server(service, certificates.value());
    auto started = server.start(settings->port, settings->address);
    if (!started) {
        std::cerr << started.error().description << "\n";
        return 1;
    }
    const auto baseURL = settings->baseURL(server.port());
    service->setBaseURL(baseURL);
    std::cout << "Listening on " << settings->address << ":" << server.port() << " as " << baseURL << "\n"
              << "Certificate fingerprint (SHA-256): " << certificates.value().fingerprint() << "\n"
              << "TESSARY_SERVICE_URL=" << baseURL.substr(0, baseURL.size() - 1) << "\n";
    if (!certificates.value().caFile.empty())
        std::cout << "TESSARY_CA_FILE=" << certificates.value().caFile.string() << "\n";
    if (issueSetupCode)
        std::cout << "Setup code: " << service->issueSetupCode()["setupCode"].get<std::string>() << "\n";
    std::cout.flush();

    int received = 0;
    sigwait(&stopSignals, &received);
    server.stop();
    std::cout << "Stopped\n";
    return 0;
}
