#include <gtest/gtest.h>

#include <thread>

#include "agent/core/UpdateLine.h"
#include "tests/support/FakePlatform.h"

namespace tessary {
namespace {

using namespace std::chrono_literals;
using testing::FakePlatform;
using Variant = UpdateLine::Variant;

const std::string kVersionPath = "releases/version.json";
const std::string kPackageURL = "https://api.test/releases/Tessary.pkg";

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

    // Each ends the oldest download not yet ended.
    void succeed() { finish(Download{requests.at(ended_).destination, 200, 4096}); }
    void fail(const std::string& description) { finish(Error{description}); }

    std::vector<Request> requests;

private:
    void finish(Expected<Download> outcome)
    {
        auto completion = std::move(requests.at(ended_++).completion);
        std::thread([&completion, &outcome] { completion(std::move(outcome)); }).join();
    }

    std::size_t ended_ = 0;
};

// What the line shows.
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

Shown shown(const UpdateLine& line)
{
    return {line.status(), line.actionText(), line.busy(), line.actionTone(), line.versionText(), line.versionTone()};
}

const Shown kIdle{"idle", "Check for Update", false, "accent", "v1.2.0 (42)", "secondary"};
const Shown kChecking{"checking", "", true, "accent", "Checking...", "secondary"};
const Shown kMenuUpToDate{"upToDate", "Check for Update", false, "accent", "v1.2.0 (42) \u2014 up to date", "green"};
const Shown kWizardUpToDate{"upToDate", "", false, "accent", "v1.2.0 (42) \u2014 up to date", "green"};
const Shown kAvailable{"available", "Install Update", false, "orange", "v1.2.0 (42) \u2014 update available", "orange"};
const Shown kDownloading{"downloading", "", true, "accent", "Downloading...", "secondary"};
const Shown kFailed{"failed", "Check for Update", false, "accent", "v1.2.0 (42) \u2014 check failed", "red"};

// What the user or the world does next. Replies and download outcomes are run on the main queue.
enum class Kind { tap, sameRelease, newerRelease, offline, downloaded, unopenable, refused, after };
struct Act {
    Kind kind;
    std::chrono::milliseconds time{0};
};
constexpr Act tap{Kind::tap};
constexpr Act sameRelease{Kind::sameRelease};
constexpr Act newerRelease{Kind::newerRelease};
constexpr Act offline{Kind::offline};
// The download succeeds and the installer opens.
constexpr Act downloaded{Kind::downloaded};
// The download succeeds but the installer cannot be opened.
constexpr Act unopenable{Kind::unopenable};
constexpr Act refused{Kind::refused};
// Virtual time passes; after(0ms) only runs what was posted.
constexpr Act after(std::chrono::milliseconds time)
{
    return {Kind::after, time};
}

// One line over fakes, and everything it asked for, logged and told.
struct Fakes {
    std::shared_ptr<UpdateLine> make(Variant variant, bool withClient = true,
                                     std::optional<std::string> version = "1.2.0",
                                     std::optional<std::string> build = "42")
    {
        std::shared_ptr<APIClient> client;
        if (withClient)
            client = std::make_shared<APIClient>(
                ServiceEndpoint::fromBaseURL("https://api.test").value(), fake.http, fake.mainQueue, fake.log,
                std::make_shared<MainBundle>(fake.bundlePath, fake.bundlePath / "Contents/bin/PellixApp"),
                fake.hostFacts);
        auto line = std::make_shared<UpdateLine>(variant, std::move(client), downloader, fake.launcher,
                                                 fake.mainQueue, fake.log, fake.paths.tempDir, std::move(version),
                                                 std::move(build));
        line->setListener([this] { ++changes; });
        return line;
    }

    void perform(UpdateLine& line, const Act& act)
    {
        switch (act.kind) {
        case Kind::tap:
            line.activate();
            return;
        case Kind::sameRelease:
            EXPECT_TRUE(fake.http->reply(kVersionPath, 200, R"({"version":"1.2.0","build":"42"})"));
            break;
        case Kind::newerRelease:
            EXPECT_TRUE(fake.http->reply(kVersionPath, 200, R"({"version":"1.3.0","build":"43"})"));
            break;
        case Kind::offline:
            EXPECT_TRUE(fake.http->fail(kVersionPath, "The Internet connection appears to be offline."));
            break;
        case Kind::downloaded:
        case Kind::unopenable:
        case Kind::refused: {
            const auto status = line.status();
            const auto opened = fake.launcher->opened.size();
            if (act.kind == Kind::unopenable)
                fake.launcher->failure = Error{"xdg-open ended with status 3"};
            if (act.kind == Kind::refused)
                downloader->fail("The server answered the package download with HTTP status 404.");
            else
                downloader->succeed();
            // The outcome is handed over on the main queue, never acted on from the transport thread.
            EXPECT_EQ(line.status(), status);
            EXPECT_EQ(fake.launcher->opened.size(), opened);
            fake.mainQueue->runUntilIdle();
            fake.launcher->failure.reset();
            return;
        }
        case Kind::after:
            fake.mainQueue->advance(act.time);
            return;
        }
        fake.mainQueue->runUntilIdle();
    }

    // The line's own log lines as "<category> <level>: <message>", the package's path shown as <package>.
    std::vector<std::string> updateLog() const
    {
        const auto package = (fake.paths.tempDir / "Tessary.deb").string();
        std::vector<std::string> lines;
        for (const auto& record : fake.log->records()) {
            if (!record.message.starts_with("Update check failed") && !record.message.starts_with("Update download"))
                continue;
            EXPECT_EQ(record.subsystem, "app.brenmoor.tessary");
            auto message = record.message;
            if (const auto at = message.find(package); at != std::string::npos)
                message.replace(at, package.size(), "<package>");
            const char* level = record.level == LogLevel::error  ? "error"
                                : record.level == LogLevel::info ? "info"
                                                                 : "debug";
            lines.push_back(record.category + " " + level + ": " + message);
        }
        return lines;
    }

    FakePlatform fake;
    std::shared_ptr<FakePackageDownloader> downloader = std::make_shared<FakePackageDownloader>();
    int changes = 0;
};

const std::string kCheckFailed = "api error: Update check failed: The Internet connection appears to be offline.";
const std::string kDownloadedTo = "app info: Update downloaded to <package>";
const std::string kRefused =
    "app error: Update download failed: The server answered the package download with HTTP status 404.";
const std::string kUnopenable = "app error: Update download failed: xdg-open ended with status 3";

TEST(UpdateLineTest, EachScenarioShowsItsStepsAndAsksLogsAndTellsWhatItShould)
{
    struct Step {
        Act act;
        Shown shows;
    };
    struct Row {
        const char* name;
        Variant variant;
        std::vector<Step> steps;
        std::size_t checks;     // version requests
        std::size_t downloads;  // each of the package URL into <temporary folder>/Tessary.deb
        std::size_t opened;     // installers opened on the downloaded package
        std::vector<std::string> logged;
        int changes;
        bool withClient = true;
    };
    const Row rows[] = {
        {"menu: up to date for three seconds; a tap on the spinner does nothing",
         Variant::menu,
         {{tap, kChecking}, {tap, kChecking}, {sameRelease, kMenuUpToDate}, {after(2999ms), kMenuUpToDate},
          {after(1ms), kIdle}},
         1, 0, 0, {}, 3},
        {"menu: without an API client up to date without any request",
         Variant::menu,
         {{tap, kChecking}, {after(0ms), kMenuUpToDate}, {after(3s), kIdle}},
         0, 0, 0, {}, 3, false},
        {"menu: a failed check is logged and shown red for three seconds",
         Variant::menu,
         {{tap, kChecking}, {offline, kFailed}, {after(2999ms), kFailed}, {after(1ms), kIdle}},
         1, 0, 0, {kCheckFailed}, 3},
        {"menu: checks again from up to date and from failed",
         Variant::menu,
         {{tap, kChecking}, {sameRelease, kMenuUpToDate}, {tap, kChecking}, {offline, kFailed}, {tap, kChecking}},
         3, 0, 0, {kCheckFailed}, 5},
        {"menu: the install waits for a tap, then stays downloading after the installer opened",
         Variant::menu,
         {{tap, kChecking}, {newerRelease, kAvailable}, {after(1h), kAvailable}, {tap, kDownloading},
          {downloaded, kDownloading}, {after(1h), kDownloading}, {tap, kDownloading}},
         1, 1, 1, {kDownloadedTo}, 3},
        {"menu: a refused download is logged and stays failed until the next check",
         Variant::menu,
         {{tap, kChecking}, {newerRelease, kAvailable}, {tap, kDownloading}, {refused, kFailed},
          {after(1h), kFailed}, {tap, kChecking}},
         2, 1, 0, {kRefused}, 5},
        {"menu: an installer that cannot be opened is a failed update",
         Variant::menu,
         {{tap, kChecking}, {newerRelease, kAvailable}, {tap, kDownloading}, {unopenable, kFailed},
          {after(1h), kFailed}, {tap, kChecking}},
         2, 1, 1, {kDownloadedTo, kUnopenable}, 5},
        {"menu: the return to idle is unconditional, whatever the line shows then",
         Variant::menu,
         {{tap, kChecking}, {offline, kFailed}, {after(1s), kFailed}, {tap, kChecking}, {newerRelease, kAvailable},
          {tap, kDownloading}, {after(2s), kIdle}, {downloaded, kIdle}},
         2, 1, 1, {kCheckFailed, kDownloadedTo}, 6},
        {"menu: overlapping results each return to idle on their own time",
         Variant::menu,
         {{tap, kChecking}, {sameRelease, kMenuUpToDate}, {after(2s), kMenuUpToDate}, {tap, kChecking},
          {sameRelease, kMenuUpToDate}, {after(1s), kIdle}, {tap, kChecking}, {after(2s), kIdle}},
         3, 0, 0, {}, 7},
        {"wizard: up to date hides the action row, so a tap does nothing, for three seconds",
         Variant::wizard,
         {{tap, kChecking}, {sameRelease, kWizardUpToDate}, {tap, kWizardUpToDate}, {after(3s), kIdle}},
         1, 0, 0, {}, 3},
        {"wizard: a failed check is shown red for three seconds but not logged",
         Variant::wizard,
         {{tap, kChecking}, {offline, kFailed}, {after(2999ms), kFailed}, {after(1ms), kIdle}},
         1, 0, 0, {}, 3},
        {"wizard: checks again from failed",
         Variant::wizard,
         {{tap, kChecking}, {offline, kFailed}, {tap, kChecking}, {tap, kChecking}},
         2, 0, 0, {}, 3},
        {"wizard: keeps the install link and each tap downloads again",
         Variant::wizard,
         {{tap, kChecking}, {newerRelease, kAvailable}, {tap, kAvailable}, {tap, kAvailable},
          {downloaded, kAvailable}, {downloaded, kAvailable}},
         1, 2, 2, {}, 2},
        {"wizard: a failed update is logged without changing the line",
         Variant::wizard,
         {{tap, kChecking}, {newerRelease, kAvailable}, {tap, kAvailable}, {refused, kAvailable},
          {tap, kAvailable}, {unopenable, kAvailable}},
         1, 2, 1, {kRefused, kUnopenable}, 2},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Fakes fakes;
        auto line = fakes.make(row.variant, row.withClient);
        EXPECT_EQ(shown(*line), kIdle);
        for (std::size_t i = 0; i < row.steps.size(); ++i) {
            fakes.perform(*line, row.steps[i].act);
            EXPECT_EQ(shown(*line), row.steps[i].shows) << "after step " << i + 1;
        }
        EXPECT_EQ(fakes.fake.http->count(kVersionPath), row.checks);
        const auto package = fakes.fake.paths.tempDir / "Tessary.deb";
        EXPECT_EQ(fakes.downloader->requests.size(), row.downloads);
        for (const auto& request : fakes.downloader->requests) {
            EXPECT_EQ(request.url, kPackageURL);
            EXPECT_EQ(request.destination, package);
        }
        EXPECT_EQ(fakes.fake.launcher->opened, std::vector<std::string>(row.opened, package.string()));
        EXPECT_EQ(fakes.updateLog(), row.logged);
        EXPECT_EQ(fakes.changes, row.changes);
    }
}

TEST(UpdateLineTest, MissingVersionOrBuildShowsQuestionMarks)
{
    FakePlatform numbers(R"({"CFBundleShortVersionString":1.2,"CFBundleVersion":42})");
    const MainBundle bundle(numbers.bundlePath, numbers.bundlePath / "Contents/bin/PellixApp");
    struct Row {
        const char* name;
        std::optional<std::string> version;
        std::optional<std::string> build;
        std::string idle;
    };
    const Row rows[] = {
        {"both missing", std::nullopt, std::nullopt, "v? (?)"},
        {"version missing", std::nullopt, "42", "v? (42)"},
        {"build missing", "1.2.0", std::nullopt, "v1.2.0 (?)"},
        {"bundle values that are not text", bundle.infoString("CFBundleShortVersionString"),
         bundle.infoString("CFBundleVersion"), "v? (?)"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Fakes fakes;
        auto line = fakes.make(Variant::menu, false, row.version, row.build);
        EXPECT_EQ(line->versionText(), row.idle);
        fakes.perform(*line, tap);
        fakes.perform(*line, after(0ms));
        EXPECT_EQ(line->versionText(), row.idle + " \u2014 up to date");
    }
}

TEST(UpdateLineTest, WorkUnderWayFinishesWhenTheLineIsGoneWithoutTellingOfChanges)
{
    Fakes fakes;
    auto downloading = fakes.make(Variant::menu);
    for (const auto& act : {tap, newerRelease, tap, tap})
        fakes.perform(*downloading, act);
    auto checking = fakes.make(Variant::menu);
    for (const auto& act : {tap, sameRelease, tap})
        fakes.perform(*checking, act);
    const int changes = fakes.changes;
    downloading.reset();
    checking.reset();

    fakes.downloader->succeed();
    ASSERT_TRUE(fakes.fake.http->fail(kVersionPath, "The Internet connection appears to be offline."));
    fakes.fake.mainQueue->advance(10s);
    EXPECT_EQ(fakes.fake.launcher->opened.size(), 1u);
    EXPECT_EQ(fakes.updateLog(), (std::vector<std::string>{kDownloadedTo, kCheckFailed}));
    EXPECT_EQ(fakes.changes, changes);
}

}  // namespace
}  // namespace tessary
