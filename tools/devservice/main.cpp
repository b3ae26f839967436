// tessary-devservice: the local stand-in for the service, over TLS on loopback.
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>

#include "server/dashboard/PasswordHash.h"
#include "server/storage/SqliteFamilyStore.h"
#include "server/storage/StateFileImport.h"
#include "tools/devservice/DevCertificates.h"
#include "tools/devservice/DevServer.h"
#include "tools/devservice/DevService.h"

using namespace tessary::devservice;

namespace {

std::filesystem::path defaultStateFolder()
{
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state)
        return std::filesystem::path(state) / "tessary-devservice";
    if (const char* home = std::getenv("HOME"); home && *home)
        return std::filesystem::path(home) / ".local/state/tessary-devservice";
    return std::filesystem::temp_directory_path() / "tessary-devservice";
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

int usage()
{
    std::cerr << "usage: tessary-devservice [--port N] [--state FOLDER] [--issue-setup-code] [--package FILE]\n"
                 "                         [--firefox-extension FILE] [--retention-days N]\n"
                 "       tessary-devservice add-parent [--state FOLDER] [--family ID] NAME   (password on stdin)\n";
    return 2;
}

// Adds (or replaces) a parent's sign-in to the dashboard. The password is read from standard
// input, one line, so it appears in no process listing or shell history.
int addParent(int argc, char* argv[], std::filesystem::path folder)
{
    std::optional<std::string> family;
    std::string name;
    for (int i = 2; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--state" && i + 1 < argc)
            folder = argv[++i];
        else if (argument == "--family" && i + 1 < argc)
            family = argv[++i];
        else if (name.empty() && !argument.empty() && argument[0] != '-')
            name = argument;
        else
            return usage();
    }
    if (name.empty() || name.size() > 200)
        return usage();
    std::string password;
    std::getline(std::cin, password);
    if (password.size() < 8) {
        std::cerr << "The password must have at least 8 characters\n";
        return 1;
    }
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    std::filesystem::permissions(folder, std::filesystem::perms::owner_all, error);
    auto store = tessary::server::SqliteFamilyStore::open(folder / "service.sqlite3");
    if (!store) {
        std::cerr << store.error().description << "\n";
        return 1;
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
    std::uint16_t port = 8443;
    auto folder = defaultStateFolder();
    if (argc > 1 && std::string(argv[1]) == "add-parent")
        return addParent(argc, argv, folder);
    bool issueSetupCode = false;
    std::optional<std::filesystem::path> packageFile;
    std::optional<std::filesystem::path> firefoxExtensionFile;
    auto retention = DevService::kDefaultRetention;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--port" && i + 1 < argc) {
            const std::string number = argv[++i];
            if (number.empty() || number.size() > 5 || number.find_first_not_of("0123456789") != std::string::npos ||
                std::stoul(number) > 65535)
                return usage();
            port = static_cast<std::uint16_t>(std::stoul(number));
        }
        else if (argument == "--state" && i + 1 < argc)
            folder = argv[++i];
        else if (argument == "--issue-setup-code")
            issueSetupCode = true;
        else if (argument == "--package" && i + 1 < argc)
            packageFile = argv[++i];
        else if (argument == "--firefox-extension" && i + 1 < argc)
            firefoxExtensionFile = argv[++i];
        else if (argument == "--retention-days" && i + 1 < argc) {
            const std::string number = argv[++i];
            if (number.empty() || number.size() > 5 || number.find_first_not_of("0123456789") != std::string::npos ||
                std::stoul(number) == 0)
                return usage();
            retention = std::chrono::hours(24 * std::stoul(number));
        }
        else
            return usage();
    }

    // Blocked before any thread starts, so only the wait below receives them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    auto certificates = DevCertificates::loadOrCreate(folder);
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
    auto service = std::make_shared<DevService>(std::move(store).value(), retention);
    if (packageFile) {
        auto bytes = fileBytes(*packageFile);
        if (!bytes) {
            std::cerr << packageFile->string() << ": cannot be read\n";
            return 1;
        }
        service->setPackage(std::move(*bytes));
    }
    if (firefoxExtensionFile) {
        auto bytes = fileBytes(*firefoxExtensionFile);
        if (!bytes) {
            std::cerr << firefoxExtensionFile->string() << ": cannot be read\n";
            return 1;
        }
        service->setFirefoxExtension(std::move(*bytes));
    }
    DevServer server(service, certificates.value());
    auto started = server.start(port);
    if (!started) {
        std::cerr << started.error().description << "\n";
        return 1;
    }
    std::cout << "Listening on " << server.baseURL() << "\n"
              << "TESSARY_SERVICE_URL=https://127.0.0.1:" << server.port() << "\n"
              << "TESSARY_CA_FILE=" << certificates.value().caFile.string() << "\n";
    if (issueSetupCode)
        std::cout << "Setup code: " << service->issueSetupCode()["setupCode"].get<std::string>() << "\n";
    std::cout.flush();

    int received = 0;
    sigwait(&stopSignals, &received);
    server.stop();
    std::cout << "Stopped\n";
    return 0;
}
