#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/resource.h>

#include "agent/core/DeviceIdentifier.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TemporaryFolder.h"

namespace tessary {
namespace {

using testing::ChildProcess;
using testing::TemporaryFolder;

// The real agent, headless, in a temporary HOME with the file credential store.
class AgentLaunchTest : public ::testing::Test {
protected:
    AgentLaunchTest()
    {
        const char* build = std::getenv("TESSARY_BUILD_DIR");
        agent = std::filesystem::path(build != nullptr ? build : ".") / "Tessary" / "Contents" / "bin" / "PellixApp";
        const auto paths = folder.paths();
        std::filesystem::permissions(paths.runtimeDir, std::filesystem::perms::owner_all);
        environment = {{"HOME", paths.home.string()},
                       {"XDG_CONFIG_HOME", paths.configHome.string()},
                       {"XDG_DATA_HOME", paths.dataHome.string()},
                       {"XDG_RUNTIME_DIR", paths.runtimeDir.string()},
                       {"QT_QPA_PLATFORM", "offscreen"},
                       {"TESSARY_SECRET_BACKEND", "file"},
                       {"TESSARY_LOG_STDERR", "1"}};
    }

    std::unique_ptr<ChildProcess> start()
    {
        return std::make_unique<ChildProcess>(std::vector<std::string>{agent.string()}, environment, std::nullopt,
                                              ChildProcess::Capture::standardOutputAndError);
    }

    // Lines until one contains the marker (or the output ends).
    static std::vector<std::string> linesUntil(ChildProcess& process, const std::string& marker)
    {
        std::vector<std::string> lines;
        while (auto line = process.readLine()) {
            lines.push_back(*line);
            if (line->find(marker) != std::string::npos)
                break;
        }
        return lines;
    }

    static std::string after(const std::string& line, const std::string& marker)
    {
        const auto at = line.find(marker);
        return at == std::string::npos ? std::string() : line.substr(at + marker.size());
    }

    TemporaryFolder folder;
    std::filesystem::path agent;
    std::map<std::string, std::string> environment;
};

TEST_F(AgentLaunchTest, SecondInstanceExitsAndTheIdentifierSurvivesRestarts)
{
    auto first = start();
    ASSERT_TRUE(first->started());
    const auto lines = linesUntil(*first, "App launched — version:");
    ASSERT_GE(lines.size(), 4U);
    std::string deviceId;
    for (const auto& line : lines)
        if (auto value = after(line, "App launched — deviceId: "); !value.empty())
            deviceId = value;
    EXPECT_TRUE(DeviceIdentifier::isWellFormed(deviceId)) << deviceId;
    EXPECT_NE(lines.back().find("App launched — version: 1.0.0 build: 1"), std::string::npos) << lines.back();

    auto second = start();
    const auto secondOutput = second->readAll();
    EXPECT_EQ(second->wait(), 0);
    EXPECT_NE(secondOutput.find("Another instance already running — exiting"), std::string::npos) << secondOutput;
    EXPECT_EQ(secondOutput.find("App launched"), std::string::npos);

    first->kill();
    auto third = start();
    const auto again = linesUntil(*third, "App launched — deviceId: ");
    ASSERT_FALSE(again.empty());
    EXPECT_EQ(after(again.back(), "App launched — deviceId: "), deviceId);
}

// The agent holds a process descriptor per running application: it takes the whole descriptor
// allowance the session grants, whatever soft limit it was started with.
TEST_F(AgentLaunchTest, TheDescriptorSoftLimitIsRaisedToTheHardLimit)
{
    rlimit original{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &original), 0);
    if (original.rlim_max <= 256)
        GTEST_SKIP() << "the hard limit leaves nothing to raise";
    rlimit lowered = original;
    lowered.rlim_cur = 256;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
    auto agentProcess = start();
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &original), 0);
    ASSERT_TRUE(agentProcess->started());
    ASSERT_FALSE(linesUntil(*agentProcess, "App launched — version:").empty());

    std::ifstream limits("/proc/" + std::to_string(agentProcess->pid()) + "/limits");
    std::string line;
    std::string soft;
    std::string hard;
    while (std::getline(limits, line))
        if (line.starts_with("Max open files")) {
            std::istringstream fields(line.substr(std::string("Max open files").size()));
            fields >> soft >> hard;
        }
    const auto expected = original.rlim_max == RLIM_INFINITY ? std::string("unlimited") : std::to_string(original.rlim_max);
    EXPECT_EQ(soft, expected);
    EXPECT_EQ(hard, expected);
}

TEST_F(AgentLaunchTest, ASecondStartShowsThePanelUnlessTheSessionStartedIt)
{
    auto first = start();
    ASSERT_TRUE(first->started());
    linesUntil(*first, "Device not set up — showing setup wizard");

    // As systemd's keep-alive restart or the session's autostart would start it: no panel.
    environment["INVOCATION_ID"] = "0123456789abcdef";
    auto bySystemd = start();
    EXPECT_NE(bySystemd->readAll().find("Another instance already running — exiting"), std::string::npos);
    EXPECT_EQ(bySystemd->wait(), 0);

    // As a person starts it from its command or its desktop entry (whatever started this test).
    environment["INVOCATION_ID"] = "";
    environment["DESKTOP_AUTOSTART_ID"] = "";
    auto byPerson = start();
    EXPECT_NE(byPerson->readAll().find("Another instance already running — exiting"), std::string::npos);
    EXPECT_EQ(byPerson->wait(), 0);

    linesUntil(*first, "Showing the panel for a second start of the agent");
    // Everything the first agent said afterwards: no request but the person's reached it.
    first->kill();
    EXPECT_EQ(first->readAll().find("Showing the panel"), std::string::npos);
}

}  // namespace
}  // namespace tessary
