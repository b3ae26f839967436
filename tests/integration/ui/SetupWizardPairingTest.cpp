#include <gtest/gtest.h>

#include "agent/core/AppDelegate.h"
#include "agent/ui/SetupWizardModel.h"
#include "platform/linux/BeastHttpTransport.h"
#include "tests/integration/service/StandInService.h"
#include "tests/support/FakePlatform.h"

namespace tessary {
namespace {

using testing::FakePlatform;
using testing::StandInService;

constexpr auto kService = "app.brenmoor.tessary.device";

class NoDownloads final : public PackageDownloader {
public:
    void download(std::string, std::filesystem::path, Completion) override {}
};

// The wizard's pairing over real TLS against the stand-in service, the agent's credentials in
// memory and its monitoring over fakes.
class SetupWizardPairingTest : public ::testing::Test {
protected:
    SetupWizardPairingTest()
    {
        stand.start();
        auto platform = fake.platform();
        platform.serviceURL = stand.baseURL();
        platform.httpSession = std::make_shared<BeastHttpTransport>(stand.caFile());
        delegate = std::make_shared<AppDelegate>(platform);
        delegate->applicationDidFinishLaunching();
        fake.mainQueue->runUntilIdle();
        wizard = std::make_unique<SetupWizardModel>(
            delegate->deviceConfig(), delegate->apiClient(), [this] { delegate->setupCompleted(); }, fake.mainQueue,
            fake.log,
            new UpdateLineModel(UpdateLineModel::Variant::wizard, delegate->apiClient(),
                                std::make_shared<NoDownloads>(), fake.launcher, fake.mainQueue, fake.log,
                                fake.paths.tempDir, "1.0.0", "1"));
    }

    // The heartbeat and rules fetch a pairing starts hold the agent until their replies are in.
    ~SetupWizardPairingTest() override
    {
        wizard.reset();
        delegate->manualReset();
        EXPECT_TRUE(fake.mainQueue->runUntil([this] { return delegate.use_count() == 1; }));
    }

    void enterAndConnect(const std::string& code)
    {
        wizard->setShowingSetup(true);
        wizard->setCode(QString::fromStdString(code));
        wizard->returnPressed();
    }

    StandInService stand;
    FakePlatform fake;
    std::shared_ptr<AppDelegate> delegate;
    std::unique_ptr<SetupWizardModel> wizard;
};

TEST_F(SetupWizardPairingTest, AnIssuedCodePairsTheComputerAndStartsMonitoring)
{
    const auto issued = stand.service().issueSetupCode("family-42");
    enterAndConnect(issued.at("setupCode").get<std::string>());
    ASSERT_TRUE(fake.mainQueue->runUntil([this] { return delegate->appState().isMonitoring(); }));

    const auto deviceId = fake.secureStore->items.at({kService, "deviceId"});
    EXPECT_EQ(fake.secureStore->items.at({kService, "familyId"}), "family-42");
    EXPECT_FALSE(fake.secureStore->items.at({kService, "token"}).empty());
    EXPECT_TRUE(delegate->appState().isSetUp());
    const auto devices = stand.service().handle({"GET", "/admin/devices", {}, {}}).body;
    EXPECT_NE(devices.find(deviceId), std::string::npos);
}

TEST_F(SetupWizardPairingTest, AnUnknownCodeShowsTheServicesRefusal)
{
    enterAndConnect("000000");
    ASSERT_TRUE(fake.mainQueue->runUntil([this] { return !wizard->isSubmitting(); }));
    EXPECT_EQ(wizard->errorMessage(), QStringLiteral("Setup failed: The operation couldn’t be completed. "
                                                     "(APIError.requestFailed(statusCode: 404))"));
    EXPECT_EQ(wizard->code(), QStringLiteral("000000"));
    EXPECT_FALSE(fake.secureStore->items.contains({kService, "token"}));
    EXPECT_FALSE(delegate->appState().isSetUp());
}

}  // namespace
}  // namespace tessary
