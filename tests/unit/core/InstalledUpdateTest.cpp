#include <gtest/gtest.h>

#include "agent/core/AppDelegate.h"
#include "tests/support/FakePlatform.h"

namespace tessary {
namespace {

using namespace std::chrono_literals;
using testing::FakePlatform;

constexpr auto kRestarting = "A new version was installed — restarting to run it";
constexpr auto kNextStart = "A new version was installed — it runs from the next start";

// An update installed over the running agent, in virtual time: the program file is checked every
// 5 s, and only a replacement that has stood for a whole interval counts.
class InstalledUpdateTest : public ::testing::Test {
protected:
    std::shared_ptr<AppDelegate> launch(LaunchOrigin origin)
    {
        fake.launchOrigin = origin;
        auto delegate = std::make_shared<AppDelegate>(fake.platform());
        delegate->applicationDidFinishLaunching();
        fake.mainQueue->runUntilIdle();
        fake.log->clear();
        return delegate;
    }

    FakePlatform fake;
};

TEST_F(InstalledUpdateTest, UnderTheKeepAliveAgentTheAgentEndsSoTheNewProgramIsStarted)
{
    auto delegate = launch(LaunchOrigin::keepAliveAgent);
    fake.mainQueue->advance(60s);
    EXPECT_EQ(fake.terminateRequests, 0) << "nothing installed";

    fake.installedProgram->replaced = true;
    fake.mainQueue->advance(5s);
    EXPECT_EQ(fake.terminateRequests, 0) << "the installer may not be done with the other files";
    fake.mainQueue->advance(5s);
    EXPECT_EQ(fake.terminateRequests, 1);
    EXPECT_EQ(fake.exitStatus, 0) << "any status but the duplicate's has the unit start it again";
    EXPECT_EQ(fake.log->messages(), std::vector<std::string>{kRestarting});

    fake.mainQueue->advance(60s);
    EXPECT_EQ(fake.terminateRequests, 1) << "asked once";
}

TEST_F(InstalledUpdateTest, ACopyNothingWouldStartAgainKeepsRunningAndSaysSoOnce)
{
    for (const auto origin : {LaunchOrigin::person, LaunchOrigin::session}) {
        FakePlatform other;
        other.launchOrigin = origin;
        auto delegate = std::make_shared<AppDelegate>(other.platform());
        delegate->applicationDidFinishLaunching();
        other.mainQueue->runUntilIdle();
        other.log->clear();

        other.installedProgram->replaced = true;
        other.mainQueue->advance(120s);
        EXPECT_EQ(other.terminateRequests, 0);
        EXPECT_EQ(other.log->messages(), std::vector<std::string>{kNextStart});
    }
}

TEST_F(InstalledUpdateTest, AReplacementSeenAtOnlyOneCheckIsNotAnUpdate)
{
    auto delegate = launch(LaunchOrigin::keepAliveAgent);
    fake.installedProgram->replaced = true;
    fake.mainQueue->advance(5s);
    fake.installedProgram->replaced = false;
    fake.mainQueue->advance(5s);
    fake.installedProgram->replaced = true;
    fake.mainQueue->advance(5s);
    EXPECT_EQ(fake.terminateRequests, 0);
    fake.mainQueue->advance(5s);
    EXPECT_EQ(fake.terminateRequests, 1);
}

}  // namespace
}  // namespace tessary
