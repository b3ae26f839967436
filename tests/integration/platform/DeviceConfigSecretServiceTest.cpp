#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "agent/core/DeviceConfig.h"
#include "platform/linux/SecretServiceStore.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TemporaryFolder.h"

namespace tessary {
namespace {

using testing::ChildProcess;
using testing::TemporaryFolder;

constexpr auto kService = "app.brenmoor.tessary.device";

// A private session bus with gnome-keyring's Secret Service on it, in a temporary HOME. One per
// test program: the keyring library binds to the first bus it reaches for the life of the process.
class PrivateKeyring {
public:
    PrivateKeyring()
    {
        const auto paths = folder.paths();
        std::filesystem::permissions(paths.runtimeDir, std::filesystem::perms::owner_all);
        environment = {{"HOME", paths.home.string()},
                       {"XDG_DATA_HOME", paths.dataHome.string()},
                       {"XDG_CONFIG_HOME", paths.configHome.string()},
                       {"XDG_RUNTIME_DIR", paths.runtimeDir.string()}};

        // No service activation: only the keyring started here may own the Secret Service name.
        const auto busConfig = folder.path() / "session-bus.conf";
        TemporaryFolder::writeFile(busConfig, "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
                                              "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                                              "<busconfig><type>session</type><listen>unix:dir=" +
                                                  paths.runtimeDir.string() +
                                                  "</listen><policy context=\"default\"><allow send_destination=\"*\"/>"
                                                  "<allow receive_sender=\"*\"/><allow own=\"*\"/></policy></busconfig>\n");
        bus = std::make_unique<ChildProcess>(std::vector<std::string>{"dbus-daemon", "--config-file=" + busConfig.string(),
                                                                      "--nofork", "--print-address=1"},
                                             environment);
        const auto address = bus->started() ? bus->readLine() : std::nullopt;
        if (!address || address->empty()) {
            whyUnavailable = "no session bus could be started (dbus-daemon missing?)";
            return;
        }
        ::setenv("DBUS_SESSION_BUS_ADDRESS", address->c_str(), 1);
        environment["DBUS_SESSION_BUS_ADDRESS"] = *address;

        keyring = std::make_unique<ChildProcess>(
            std::vector<std::string>{"gnome-keyring-daemon", "--foreground", "--unlock", "--components=secrets"},
            environment, std::string("test-password"));
        if (!keyring->started()) {
            whyUnavailable = "gnome-keyring-daemon could not be started";
            return;
        }
        // Waiting, bounded, for the real daemon to come up with its login collection unlocked.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        SecretServiceStore probe;
        while (!SecretServiceStore::isAvailable() ||
               (probe.save("tessary.test", "probe", "ready"), probe.load("tessary.test", "probe") != "ready")) {
            if (std::chrono::steady_clock::now() > deadline) {
                whyUnavailable = "the Secret Service did not answer on the private bus";
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        probe.remove("tessary.test", "probe");
    }

    TemporaryFolder folder;
    std::map<std::string, std::string> environment;
    std::unique_ptr<ChildProcess> bus;
    std::unique_ptr<ChildProcess> keyring;
    std::string whyUnavailable;
};

class DeviceConfigSecretServiceTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { keyringInstance = new PrivateKeyring(); }
    static void TearDownTestSuite()
    {
        delete keyringInstance;
        keyringInstance = nullptr;
    }

    void SetUp() override
    {
        if (!keyringInstance->whyUnavailable.empty())
            GTEST_SKIP() << keyringInstance->whyUnavailable;
        for (const auto* account : {"deviceId", "token", "familyId"})
            config.remove(account);
    }

    std::pair<int, std::string> secretTool(std::vector<std::string> arguments,
                                           std::optional<std::string> input = std::nullopt)
    {
        arguments.insert(arguments.begin(), "secret-tool");
        return ChildProcess::run(std::move(arguments), keyringInstance->environment, std::move(input));
    }

    std::size_t itemCount(const std::string& account)
    {
        const auto [status, output] =
            secretTool({"search", "--all", "service", kService, "account", account});
        std::size_t count = 0;
        for (std::size_t at = output.find("label = "); at != std::string::npos; at = output.find("label = ", at + 1))
            ++count;
        return count;
    }

    static inline PrivateKeyring* keyringInstance = nullptr;
    DeviceConfig config{std::make_shared<SecretServiceStore>(), kService};
};

TEST_F(DeviceConfigSecretServiceTest, ItemStoredBySecretToolIsLoaded)
{
    const auto [status, output] =
        secretTool({"store", "--label=Tessary token", "service", kService, "account", "token"}, "tok-€-1");
    ASSERT_EQ(status, 0) << output;
    EXPECT_EQ(config.load("token"), "tok-€-1");
    EXPECT_FALSE(config.load("familyId").has_value());
}

TEST_F(DeviceConfigSecretServiceTest, ItemSavedByTheAgentIsReadBySecretTool)
{
    config.save("family 日本 👩‍👧", "familyId");
    const auto [status, output] = secretTool({"lookup", "service", kService, "account", "familyId"});
    EXPECT_EQ(status, 0);
    EXPECT_EQ(output, "family 日本 👩‍👧");
}

TEST_F(DeviceConfigSecretServiceTest, SavingTwiceLeavesExactlyOneItem)
{
    config.save("first", "token");
    config.save("second", "token");
    EXPECT_EQ(config.load("token"), "second");
    EXPECT_EQ(itemCount("token"), 1U);
}

TEST_F(DeviceConfigSecretServiceTest, EmptyValueIsPresentAndDeleteRemovesIt)
{
    config.save("", "token");
    EXPECT_EQ(config.load("token"), "");
    config.remove("token");
    EXPECT_FALSE(config.load("token").has_value());
    EXPECT_EQ(itemCount("token"), 0U);
    config.remove("token");
}

}  // namespace
}  // namespace tessary
