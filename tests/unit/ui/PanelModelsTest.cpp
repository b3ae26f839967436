#include <gtest/gtest.h>

#include "agent/core/DeviceIdentifier.h"
#include "agent/ui/ContentModel.h"
#include "tests/support/FakePlatform.h"

namespace tessary {
namespace {

using testing::FakePlatform;

constexpr auto kService = "app.brenmoor.tessary.device";
constexpr auto kPairing = "api/use-setup-code";

class UnusedDownloader final : public PackageDownloader {
public:
    void download(std::string, std::filesystem::path, Completion) override { ADD_FAILURE() << "nothing downloads"; }
};

// The panel's models over an agent of fakes in virtual time.
class PanelModelsTest : public ::testing::Test {
protected:
    PanelModelsTest()
    {
        delegate = std::make_shared<AppDelegate>(fake.platform());
        delegate->applicationDidFinishLaunching();
        fake.mainQueue->runUntilIdle();
        content = std::make_unique<ContentModel>(delegate, fake.mainQueue, fake.log, [this](auto variant) {
            return new UpdateLineModel(variant, delegate->apiClient(), std::make_shared<UnusedDownloader>(),
                                       fake.launcher, fake.mainQueue, fake.log, fake.paths.tempDir, "1.2.0", "42");
        });
    }

    SetupWizardModel& wizard()
    {
        EXPECT_NE(content->wizard(), nullptr);
        return *content->wizard();
    }

    // Types a code, presses Connect and lets the request go out.
    void submitCode(const QString& code)
    {
        wizard().setShowingSetup(true);
        wizard().setCode(code);
        wizard().submit();
        fake.mainQueue->runUntilIdle();
    }

    bool answerPairing(long status, const std::string& body = {})
    {
        const bool answered = fake.http->reply(kPairing, status, body);
        fake.mainQueue->runUntilIdle();
        return answered;
    }

    std::optional<std::string> credential(const std::string& account) const
    {
        const auto found = fake.secureStore->items.find({kService, account});
        if (found == fake.secureStore->items.end())
            return std::nullopt;
        return found->second;
    }

    FakePlatform fake;
    std::shared_ptr<AppDelegate> delegate;
    std::unique_ptr<ContentModel> content;
};

TEST(SetupCodeFilterTest, KeepsTheFirstSixCharactersUnicodeClassesAsNumbers)
{
    const struct {
        const char* name;
        QString typed;
        QString kept;
    } rows[] = {
        {"pasted with separators", QStringLiteral("12-34 56"), QStringLiteral("123456")},
        {"ten digits", QStringLiteral("0123456789"), QStringLiteral("012345")},
        {"letters only", QStringLiteral("abcDEF"), QString()},
        {"Arabic-Indic digits", QStringLiteral("١٢٣٤٥٦"), QStringLiteral("١٢٣٤٥٦")},
        {"fullwidth digits", QStringLiteral("１２３ ４５６７"), QStringLiteral("１２３４５６")},
        {"Devanagari mixed with ASCII", QStringLiteral("१2३4५6"), QStringLiteral("१2३4५6")},
        {"a digit outside the basic plane counts once", QString::fromUcs4(U"𝟏𝟐𝟑𝟒𝟓𝟔𝟕"),
         QString::fromUcs4(U"𝟏𝟐𝟑𝟒𝟓𝟔")},
        {"other numbers (fractions, numerals)", QStringLiteral("½Ⅻ1234x"), QStringLiteral("½Ⅻ1234")},
        {"emoji and marks", QStringLiteral("1️⃣2"), QStringLiteral("12")},
    };
    for (const auto& row : rows)
        EXPECT_EQ(SetupWizardModel::filterCode(row.typed), row.kept) << row.name;
}

TEST_F(PanelModelsTest, SixDigitsOutsideTheBasicPlaneCanConnect)
{
    wizard().setCode(QString::fromUcs4(U"𝟏𝟐𝟑𝟒𝟓𝟔"));
    EXPECT_TRUE(wizard().canConnect()) << "six characters, twelve UTF-16 units";
}

TEST_F(PanelModelsTest, APairingStoresTheCredentialsAndSwitchesThePanelToTheMenu)
{
    fake.secureStore->items.erase({kService, "deviceId"});
    submitCode(QStringLiteral("12-34 56"));

    const auto deviceId = credential("deviceId");
    ASSERT_TRUE(deviceId);
    EXPECT_TRUE(DeviceIdentifier::isWellFormed(*deviceId));
    ASSERT_EQ(fake.http->exchanges.size(), 1U);
    const auto body = nlohmann::json::parse(*fake.http->exchanges[0].request.body);
    EXPECT_EQ(body["setupCode"], "123456");
    EXPECT_EQ(body["deviceId"], *deviceId);

    ASSERT_TRUE(answerPairing(200, R"({"success":false,"familyId":"family-7","token":"t-7"})"));
    EXPECT_EQ(credential("token"), "t-7");
    EXPECT_EQ(credential("familyId"), "family-7");
    EXPECT_TRUE(delegate->appState().isMonitoring()) << "onComplete started monitoring";
    EXPECT_EQ(content->wizard(), nullptr);
    ASSERT_NE(content->menu(), nullptr);
    EXPECT_EQ(content->menu()->statusText(), QStringLiteral("Monitoring active"));

    const std::vector<std::string> expected{
        "SetupWizard: submit() called with code length 6",
        "SetupWizard: calling useSetupCode API",
        "SetupWizard: deviceId = " + *deviceId,
        "SetupWizard: API success — familyId=family-7",
        "SetupWizard: credentials saved to Keychain",
        "SetupWizard: calling onComplete()",
        "SetupWizard: onComplete() returned",
    };
    std::vector<std::string> wizardLines;
    for (const auto& message : fake.log->messages())
        if (message.starts_with("SetupWizard: "))
            wizardLines.push_back(message);
    EXPECT_EQ(wizardLines, expected);
}

TEST_F(PanelModelsTest, ARejectedCodeShowsTheErrorKeepsTheCodeAndTheIdentifier)
{
    submitCode(QStringLiteral("654321"));
    const auto deviceId = credential("deviceId");
    ASSERT_TRUE(answerPairing(404));

    EXPECT_EQ(wizard().errorMessage(),
              QStringLiteral("Setup failed: The operation couldn’t be completed. "
                             "(APIError.requestFailed(statusCode: 404))"));
    EXPECT_FALSE(wizard().isSubmitting());
    EXPECT_TRUE(wizard().canConnect());
    EXPECT_EQ(wizard().code(), QStringLiteral("654321"));
    EXPECT_FALSE(credential("token"));
    EXPECT_TRUE(fake.log->contains(
        "SetupWizard: API failed — The operation couldn’t be completed. (APIError.requestFailed(statusCode: 404))"));

    // Back and forth keeps both; the next attempt clears the message first and reuses the identifier.
    wizard().setShowingSetup(false);
    wizard().setShowingSetup(true);
    EXPECT_FALSE(wizard().errorMessage().isEmpty());
    wizard().submit();
    EXPECT_TRUE(wizard().errorMessage().isEmpty());
    fake.mainQueue->runUntilIdle();
    const auto body = nlohmann::json::parse(*fake.http->exchanges.back().request.body);
    EXPECT_EQ(body["deviceId"], *deviceId);
}

TEST_F(PanelModelsTest, AReplyWithoutATokenIsAFailure)
{
    submitCode(QStringLiteral("111111"));
    ASSERT_TRUE(answerPairing(200, R"({"success":true,"familyId":"family-7"})"));
    EXPECT_TRUE(wizard().errorMessage().startsWith(QStringLiteral("Setup failed: ")));
    EXPECT_FALSE(credential("familyId"));
    EXPECT_FALSE(delegate->appState().isSetUp());
}

TEST_F(PanelModelsTest, APairingFinishesEvenWhenThePanelWasRebuiltMeanwhile)
{
    submitCode(QStringLiteral("222222"));
    content.reset();
    ASSERT_TRUE(answerPairing(200, R"({"success":true,"familyId":"family-7","token":"t-7"})"));
    EXPECT_EQ(credential("token"), "t-7");
    EXPECT_TRUE(delegate->appState().isMonitoring());
}

TEST_F(PanelModelsTest, TheMenuFollowsMonitoringLiveAndResetReturnsToAFreshWizard)
{
    submitCode(QStringLiteral("333333"));
    ASSERT_TRUE(answerPairing(200, R"({"success":true,"familyId":"family-7","token":"t-7"})"));
    auto* menu = content->menu();
    ASSERT_NE(menu, nullptr);
    int monitoringSignals = 0;
    QObject::connect(menu, &MenuModel::isMonitoringChanged, [&] { ++monitoringSignals; });

    // A device deleted by the parent: the menu turns red before the panel returns to the wizard.
    delegate->appState().setIsMonitoring(false);
    fake.mainQueue->runUntilIdle();
    EXPECT_EQ(monitoringSignals, 1);
    EXPECT_FALSE(menu->isMonitoring());
    EXPECT_EQ(menu->statusText(), QStringLiteral("Not connected"));

    int contentSignals = 0;
    QObject::connect(content.get(), &ContentModel::contentChanged, [&] { ++contentSignals; });
    menu->reset();
    fake.mainQueue->runUntilIdle();
    EXPECT_FALSE(credential("token"));
    EXPECT_EQ(contentSignals, 1);
    EXPECT_EQ(content->menu(), nullptr);
    ASSERT_NE(content->wizard(), nullptr);
    EXPECT_FALSE(content->wizard()->showingSetup());
    EXPECT_TRUE(content->wizard()->code().isEmpty());
}

TEST_F(PanelModelsTest, AStartWithStoredCredentialsShowsTheMenu)
{
    FakePlatform paired;
    paired.secureStore->items[{kService, "token"}] = "t";
    paired.secureStore->items[{kService, "familyId"}] = "f";
    auto pairedDelegate = std::make_shared<AppDelegate>(paired.platform());
    pairedDelegate->applicationDidFinishLaunching();
    ContentModel pairedContent(pairedDelegate, paired.mainQueue, paired.log, [&](auto variant) {
        return new UpdateLineModel(variant, nullptr, std::make_shared<UnusedDownloader>(), paired.launcher,
                                   paired.mainQueue, paired.log, paired.paths.tempDir, "1", "1");
    });
    EXPECT_TRUE(pairedContent.isSetUp());
    ASSERT_NE(pairedContent.menu(), nullptr);
    EXPECT_TRUE(pairedContent.menu()->isMonitoring());
    EXPECT_EQ(pairedContent.wizard(), nullptr);
}

}  // namespace
}  // namespace tessary
