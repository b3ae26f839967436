#include <gtest/gtest.h>

#include <QMetaObject>
#include <QVariant>

#include <thread>

#include "agent/ui/UpdateLineModel.h"
#include "tests/support/FakePlatform.h"

namespace tessary {
namespace {

using namespace std::chrono_literals;
using testing::FakePlatform;
using Status = UpdateLineModel::Status;
using Variant = UpdateLineModel::Variant;

const std::string kVersionPath = "releases/version.json";
const std::string kPackageURL = "https://api.test/releases/Tessary.pkg";
const std::string kNewerRelease = R"({"version":"1.3.0","build":"43"})";
const std::string kSameRelease = R"({"version":"1.2.0","build":"42"})";

// Keeps every download until the test ends it; the completion then runs on a thread of its own, as
// the real downloader's does.
class FakePackageDownloader final : public PackageDownloader {
public:
    struct Request {
        std::string url;
        std::filesystem::path destination;
        Completion completion;
    };

    void download(std::string url, std::filesystem::path destination, Completion completion) override
    {
        requests.push_back({std::move(url), std::move(destination), std::move(completion)});
    }

    void succeed(std::size_t index) { finish(index, Download{requests.at(index).destination, 200, 4096}); }
    void fail(std::size_t index, const std::string& description) { finish(index, Error{description}); }

    std::vector<Request> requests;

private:
    void finish(std::size_t index, Expected<Download> outcome)
    {
        auto completion = std::move(requests.at(index).completion);
        std::thread([&completion, &outcome] { completion(std::move(outcome)); }).join();
    }
};

// What the line shows, property by property, read through the names the QML binds to.
struct Shown {
    std::string status;
    std::string actionText;
    bool busy;
    std::string actionTone;
    std::string versionText;
    std::string versionTone;

    bool operator==(const Shown&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Shown& shown)
{
    return out << "{" << shown.status << ", \"" << shown.actionText << "\", busy " << shown.busy << ", "
               << shown.actionTone << ", \"" << shown.versionText << "\", " << shown.versionTone << "}";
}

Shown shown(const QObject& model)
{
    const auto text = [&model](const char* name) { return model.property(name).toString().toStdString(); };
    return Shown{text("status"), text("actionText"), model.property("busy").toBool(),
                 text("actionTone"), text("versionText"), text("versionTone")};
}

class UpdateLineModelTest : public ::testing::Test {
protected:
    std::shared_ptr<APIClient> makeClient()
    {
        return std::make_shared<APIClient>(
            ServiceEndpoint::fromBaseURL("https://api.test").value(), fake.http, fake.mainQueue, fake.log,
            std::make_shared<MainBundle>(fake.bundlePath, fake.bundlePath / "Contents/bin/PellixApp"), fake.hostFacts);
    }

    std::unique_ptr<UpdateLineModel> make(Variant variant, std::shared_ptr<APIClient> client,
                                          std::optional<std::string> version = "1.2.0",
                                          std::optional<std::string> build = "42")
    {
        auto model = std::make_unique<UpdateLineModel>(variant, std::move(client), downloader, fake.launcher,
                                                       fake.mainQueue, fake.log, fake.paths.tempDir,
                                                       std::move(version), std::move(build));
        QObject::connect(model.get(), &UpdateLineModel::changed, [this] { ++changes; });
        return model;
    }
    std::unique_ptr<UpdateLineModel> make(Variant variant) { return make(variant, makeClient()); }

    // Taps the link and answers the version request.
    void checkAnswered(UpdateLineModel& model, const std::string& release)
    {
        model.activate();
        ASSERT_TRUE(fake.http->reply(kVersionPath, 200, release));
        fake.mainQueue->runUntilIdle();
    }
    void checkFailed(UpdateLineModel& model)
    {
        model.activate();
        ASSERT_TRUE(fake.http->fail(kVersionPath, "The Internet connection appears to be offline."));
        fake.mainQueue->runUntilIdle();
    }

    std::vector<LogRecord> logged(const std::string& prefix) const
    {
        std::vector<LogRecord> found;
        for (const auto& record : fake.log->records())
            if (record.message.starts_with(prefix))
                found.push_back(record);
        return found;
    }

    FakePlatform fake;
    std::shared_ptr<FakePackageDownloader> downloader = std::make_shared<FakePackageDownloader>();
    int changes = 0;
};

// --- What each state shows ---------------------------------------------------------------------

const Shown kIdle{"idle", "Check for Update", false, "accent", "v1.2.0 (42)", "secondary"};
const Shown kChecking{"checking", "", true, "accent", "Checking...", "secondary"};
const Shown kMenuUpToDate{"upToDate", "Check for Update", false, "accent", "v1.2.0 (42) \u2014 up to date", "green"};
const Shown kWizardUpToDate{"upToDate", "", false, "accent", "v1.2.0 (42) \u2014 up to date", "green"};
const Shown kAvailable{"available", "Install Update", false, "orange", "v1.2.0 (42) \u2014 update available", "orange"};
const Shown kDownloading{"downloading", "", true, "accent", "Downloading...", "secondary"};
const Shown kFailed{"failed", "Check for Update", false, "accent", "v1.2.0 (42) \u2014 check failed", "red"};

TEST_F(UpdateLineModelTest, EveryStateShowsItsRowInBothVariants)
{
    for (const auto variant : {Variant::menu, Variant::wizard}) {
        SCOPED_TRACE(variant == Variant::menu ? "menu" : "wizard");
        auto model = make(variant);
        EXPECT_EQ(shown(*model), kIdle);
        model->activate();
        EXPECT_EQ(shown(*model), kChecking);
        ASSERT_TRUE(fake.http->reply(kVersionPath, 200, kSameRelease));
        fake.mainQueue->runUntilIdle();
        EXPECT_EQ(shown(*model), variant == Variant::menu ? kMenuUpToDate : kWizardUpToDate);
        fake.mainQueue->advance(3s);
        EXPECT_EQ(shown(*model), kIdle);
        checkFailed(*model);
        EXPECT_EQ(shown(*model), kFailed);
        fake.mainQueue->advance(3s);
        checkAnswered(*model, kNewerRelease);
        EXPECT_EQ(shown(*model), kAvailable);
        if (variant == Variant::menu) {
            model->activate();
            EXPECT_EQ(shown(*model), kDownloading);
        }
    }
}

TEST_F(UpdateLineModelTest, TheEmDashSuffixFollowsTheBuildsClosingParenthesis)
{
    auto model = make(Variant::menu);
    checkAnswered(*model, kSameRelease);
    EXPECT_EQ(model->versionText(), QString::fromUtf8("v1.2.0 (42) \xE2\x80\x94 up to date"));
    EXPECT_EQ(model->versionText().at(12), QChar(0x2014));
}

TEST_F(UpdateLineModelTest, MissingVersionOrBuildShowsQuestionMarks)
{
    struct Row {
        const char* name;
        std::optional<std::string> version;
        std::optional<std::string> build;
        const char* idle;
    };
    const Row rows[] = {
        {"both missing", std::nullopt, std::nullopt, "v? (?)"},
        {"version missing", std::nullopt, "42", "v? (42)"},
        {"build missing", "1.2.0", std::nullopt, "v1.2.0 (?)"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        auto model = make(Variant::menu, nullptr, row.version, row.build);
        EXPECT_EQ(model->versionText().toStdString(), row.idle);
        model->activate();
        fake.mainQueue->runUntilIdle();
        EXPECT_EQ(model->versionText().toStdString(), std::string(row.idle) + " \u2014 up to date");
    }
}

TEST_F(UpdateLineModelTest, BundleValuesThatAreNotTextShowQuestionMarks)
{
    FakePlatform numbers(R"({"CFBundleShortVersionString":1.2,"CFBundleVersion":42})");
    const MainBundle bundle(numbers.bundlePath, numbers.bundlePath / "Contents/bin/PellixApp");
    auto model = make(Variant::wizard, makeClient(), bundle.infoString("CFBundleShortVersionString"),
                      bundle.infoString("CFBundleVersion"));
    EXPECT_EQ(model->versionText().toStdString(), "v? (?)");
}

TEST_F(UpdateLineModelTest, QmlSeesTheSameValuesAsTheAccessorsAndCanTapTheLink)
{
    auto model = make(Variant::menu);
    EXPECT_EQ(model->property("status").toString(), model->status());
    EXPECT_EQ(model->property("versionText").toString(), model->versionText());
    ASSERT_TRUE(QMetaObject::invokeMethod(model.get(), "activate"));
    EXPECT_EQ(model->state(), Status::checking);
}

// --- Menu ----------------------------------------------------------------------------------------

TEST_F(UpdateLineModelTest, MenuCheckShowsCheckingUntilTheReplyArrives)
{
    auto model = make(Variant::menu);
    model->activate();
    EXPECT_EQ(model->state(), Status::checking);
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(fake.http->count(kVersionPath), 1u);
    // A tap on the spinner does nothing.
    model->activate();
    EXPECT_EQ(fake.http->count(kVersionPath), 1u);
}

TEST_F(UpdateLineModelTest, MenuCheckReturningAURLOffersTheInstallUntilTapped)
{
    auto model = make(Variant::menu);
    checkAnswered(*model, kNewerRelease);
    EXPECT_EQ(model->state(), Status::available);
    EXPECT_EQ(model->availableURL(), kPackageURL);
    fake.mainQueue->advance(1h);
    EXPECT_EQ(model->state(), Status::available);
}

TEST_F(UpdateLineModelTest, MenuUpToDateShowsForThreeSecondsThenIdle)
{
    auto model = make(Variant::menu);
    checkAnswered(*model, kSameRelease);
    EXPECT_EQ(model->state(), Status::upToDate);
    fake.mainQueue->advance(2999ms);
    EXPECT_EQ(model->state(), Status::upToDate);
    fake.mainQueue->advance(1ms);
    EXPECT_EQ(model->state(), Status::idle);
    EXPECT_EQ(changes, 3);  // checking, upToDate, idle
}

TEST_F(UpdateLineModelTest, MenuWithoutAPIClientIsUpToDateWithoutAnyRequest)
{
    auto model = make(Variant::menu, nullptr);
    model->activate();
    EXPECT_EQ(model->state(), Status::checking);
    fake.mainQueue->runUntilIdle();
    EXPECT_EQ(model->state(), Status::upToDate);
    EXPECT_TRUE(fake.http->exchanges.empty());
    fake.mainQueue->advance(3s);
    EXPECT_EQ(model->state(), Status::idle);
}

TEST_F(UpdateLineModelTest, MenuFailedCheckIsLoggedShownRedForThreeSecondsThenIdle)
{
    auto model = make(Variant::menu);
    checkFailed(*model);
    EXPECT_EQ(model->state(), Status::failed);
    const auto records = logged("Update check failed");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].message, "Update check failed: The Internet connection appears to be offline.");
    EXPECT_EQ(records[0].level, LogLevel::error);
    EXPECT_EQ(records[0].subsystem, "app.brenmoor.tessary");
    EXPECT_EQ(records[0].category, "api");
    fake.mainQueue->advance(2999ms);
    EXPECT_EQ(model->state(), Status::failed);
    fake.mainQueue->advance(1ms);
    EXPECT_EQ(model->state(), Status::idle);
}

TEST_F(UpdateLineModelTest, MenuChecksAgainFromUpToDateAndFromFailed)
{
    auto model = make(Variant::menu);
    checkAnswered(*model, kSameRelease);
    model->activate();
    EXPECT_EQ(model->state(), Status::checking);
    EXPECT_EQ(fake.http->count(kVersionPath), 2u);
    ASSERT_TRUE(fake.http->fail(kVersionPath, "offline"));
    fake.mainQueue->runUntilIdle();
    ASSERT_EQ(model->state(), Status::failed);
    model->activate();
    EXPECT_EQ(model->state(), Status::checking);
    EXPECT_EQ(fake.http->count(kVersionPath), 3u);
}

TEST_F(UpdateLineModelTest, MenuInstallDownloadsToTessaryDebInTheTemporaryFolderAndOpensIt)
{
    auto model = make(Variant::menu);
    checkAnswered(*model, kNewerRelease);
    model->activate();
    EXPECT_EQ(model->state(), Status::downloading);
    ASSERT_EQ(downloader->requests.size(), 1u);
    EXPECT_EQ(downloader->requests[0].url, kPackageURL);
    const auto package = fake.paths.tempDir / "Tessary.deb";
    EXPECT_EQ(downloader->requests[0].destination, package);
    EXPECT_EQ(model->packagePath(), package);

    downloader->succeed(0);
    // The outcome is handed over on the main queue, never acted on from the transport thread.
    EXPECT_TRUE(fake.launcher->opened.empty());
    fake.mainQueue->runUntilIdle();
    EXPECT_EQ(fake.launcher->opened, std::vector<std::string>{package.string()});
    const auto records = logged("Update downloaded to");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].message, "Update downloaded to " + package.string());
    EXPECT_EQ(records[0].level, LogLevel::info);
    EXPECT_EQ(records[0].category, "app");
}

TEST_F(UpdateLineModelTest, MenuStaysDownloadingAfterTheInstallerOpened)
{
    auto model = make(Variant::menu);
    checkAnswered(*model, kNewerRelease);
    model->activate();
    downloader->succeed(0);
    fake.mainQueue->advance(1h);
    EXPECT_EQ(shown(*model), kDownloading);
    model->activate();
    EXPECT_EQ(downloader->requests.size(), 1u);
    EXPECT_EQ(fake.http->count(kVersionPath), 1u);
}

TEST_F(UpdateLineModelTest, MenuFailedUpdateIsLoggedAndStaysFailedUntilTheNextCheck)
{
    struct Row {
        const char* name;
        std::optional<std::string> downloadFailure;
        std::optional<std::string> openFailure;
        std::string logged;
    };
    const Row rows[] = {
        {"download refused", "The server answered the package download with HTTP status 404.", std::nullopt,
         "Update download failed: The server answered the package download with HTTP status 404."},
        {"installer cannot be opened", std::nullopt, "xdg-open ended with status 3",
         "Update download failed: xdg-open ended with status 3"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        fake.log->clear();
        fake.launcher->opened.clear();
        fake.launcher->failure = row.openFailure ? std::optional<Error>(Error{*row.openFailure}) : std::nullopt;
        auto model = make(Variant::menu);
        checkAnswered(*model, kNewerRelease);
        model->activate();
        const auto request = downloader->requests.size() - 1;
        if (row.downloadFailure)
            downloader->fail(request, *row.downloadFailure);
        else
            downloader->succeed(request);
        fake.mainQueue->runUntilIdle();
        EXPECT_EQ(shown(*model), kFailed);
        EXPECT_EQ(fake.launcher->opened.size(), row.downloadFailure ? 0U : 1U);
        EXPECT_EQ(logged("Update downloaded to").size(), row.downloadFailure ? 0U : 1U);
        const auto records = logged("Update download failed");
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].message, row.logged);
        EXPECT_EQ(records[0].level, LogLevel::error);
        EXPECT_EQ(records[0].subsystem, "app.brenmoor.tessary");
        EXPECT_EQ(records[0].category, "app");

        fake.mainQueue->advance(1h);
        EXPECT_EQ(model->state(), Status::failed);
        model->activate();
        EXPECT_EQ(model->state(), Status::checking);
        ASSERT_TRUE(fake.http->fail(kVersionPath, "offline"));
        fake.mainQueue->runUntilIdle();
    }
}

TEST_F(UpdateLineModelTest, ReturnToIdleIsUnconditionalWhateverTheLineShowsThen)
{
    auto model = make(Variant::menu);
    checkFailed(*model);  // idle due at 3 s
    fake.mainQueue->advance(1s);
    checkAnswered(*model, kNewerRelease);
    model->activate();
    ASSERT_EQ(model->state(), Status::downloading);
    fake.mainQueue->advance(2s);
    EXPECT_EQ(model->state(), Status::idle);
    // The download still ends as it would have.
    downloader->succeed(0);
    fake.mainQueue->runUntilIdle();
    EXPECT_EQ(fake.launcher->opened.size(), 1u);
    EXPECT_EQ(model->state(), Status::idle);
}

TEST_F(UpdateLineModelTest, OverlappingResultsEachReturnToIdleOnTheirOwnTime)
{
    auto model = make(Variant::menu);
    checkAnswered(*model, kSameRelease);  // idle due at 3 s
    fake.mainQueue->advance(2s);
    checkAnswered(*model, kSameRelease);  // idle due at 5 s
    fake.mainQueue->advance(1s);
    EXPECT_EQ(model->state(), Status::idle);
    model->activate();
    fake.mainQueue->advance(2s);
    EXPECT_EQ(model->state(), Status::idle) << "the earlier check's return also ends this one's spinner";
}

TEST_F(UpdateLineModelTest, TasksOutliveTheClosedPanel)
{
    auto model = make(Variant::menu);
    checkAnswered(*model, kNewerRelease);
    model->activate();
    model->activate();
    model.reset();
    downloader->succeed(0);
    fake.mainQueue->runUntilIdle();
    EXPECT_EQ(fake.launcher->opened.size(), 1u);
    EXPECT_EQ(logged("Update downloaded to").size(), 1u);

    auto checking = make(Variant::menu);
    checkAnswered(*checking, kSameRelease);
    checking->activate();
    checking.reset();
    ASSERT_TRUE(fake.http->fail(kVersionPath, "offline"));
    fake.mainQueue->advance(10s);
    EXPECT_EQ(logged("Update check failed").size(), 1u);
}

// --- Wizard --------------------------------------------------------------------------------------

TEST_F(UpdateLineModelTest, WizardUpToDateHidesTheActionRowForThreeSeconds)
{
    auto model = make(Variant::wizard);
    checkAnswered(*model, kSameRelease);
    EXPECT_EQ(shown(*model), kWizardUpToDate);
    // No link, so nothing to tap.
    model->activate();
    EXPECT_EQ(model->state(), Status::upToDate);
    EXPECT_EQ(fake.http->count(kVersionPath), 1u);
    fake.mainQueue->advance(3s);
    EXPECT_EQ(shown(*model), kIdle);
}

TEST_F(UpdateLineModelTest, WizardFailedCheckIsShownRedForThreeSecondsButNotLogged)
{
    auto model = make(Variant::wizard);
    checkFailed(*model);
    EXPECT_EQ(shown(*model), kFailed);
    EXPECT_TRUE(logged("Update check failed").empty());
    fake.mainQueue->advance(2999ms);
    EXPECT_EQ(model->state(), Status::failed);
    fake.mainQueue->advance(1ms);
    EXPECT_EQ(model->state(), Status::idle);
}

TEST_F(UpdateLineModelTest, WizardChecksAgainFromFailed)
{
    auto model = make(Variant::wizard);
    checkFailed(*model);
    model->activate();
    EXPECT_EQ(model->state(), Status::checking);
    EXPECT_EQ(fake.http->count(kVersionPath), 2u);
    model->activate();
    EXPECT_EQ(fake.http->count(kVersionPath), 2u);
}

TEST_F(UpdateLineModelTest, WizardKeepsTheInstallLinkAndEachTapDownloadsAgain)
{
    auto model = make(Variant::wizard);
    checkAnswered(*model, kNewerRelease);
    const int changesBefore = changes;
    model->activate();
    model->activate();
    EXPECT_EQ(shown(*model), kAvailable);
    EXPECT_EQ(changes, changesBefore);
    ASSERT_EQ(downloader->requests.size(), 2u);
    for (const auto& request : downloader->requests) {
        EXPECT_EQ(request.url, kPackageURL);
        EXPECT_EQ(request.destination, fake.paths.tempDir / "Tessary.deb");
    }
    downloader->succeed(0);
    downloader->succeed(1);
    fake.mainQueue->runUntilIdle();
    const auto package = (fake.paths.tempDir / "Tessary.deb").string();
    EXPECT_EQ(fake.launcher->opened, (std::vector<std::string>{package, package}));
    EXPECT_TRUE(logged("Update downloaded to").empty());
    EXPECT_EQ(shown(*model), kAvailable);
}

TEST_F(UpdateLineModelTest, WizardFailedDownloadIsLoggedWithoutChangingTheLine)
{
    auto model = make(Variant::wizard);
    checkAnswered(*model, kNewerRelease);
    model->activate();
    downloader->fail(0, "The server answered the package download with an empty body.");
    fake.mainQueue->runUntilIdle();
    EXPECT_EQ(shown(*model), kAvailable);
    EXPECT_TRUE(fake.launcher->opened.empty());
    const auto records = logged("Update download failed");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].message,
              "Update download failed: The server answered the package download with an empty body.");
    EXPECT_EQ(records[0].category, "app");
    // The link still works.
    model->activate();
    EXPECT_EQ(downloader->requests.size(), 2u);
}

}  // namespace
}  // namespace tessary
