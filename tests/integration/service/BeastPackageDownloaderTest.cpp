#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/linux/BeastPackageDownloader.h"
#include "tests/integration/service/StandInService.h"

namespace tessary {
namespace {

using testing::StandInService;
using testing::TemporaryFolder;
using Download = PackageDownloader::Download;

// Collects completions from the downloader's thread; the test waits for them with a deadline. The
// completions share its state, so one arriving after a timed-out wait touches nothing freed.
class Outcomes {
public:
    PackageDownloader::Completion completion()
    {
        return [state = state_](Expected<Download> outcome) {
            const std::lock_guard lock(state->mutex);
            state->results.push_back(std::move(outcome));
            state->threads.push_back(std::this_thread::get_id());
            state->arrived.notify_all();
        };
    }

    // The first `count` outcomes, or none when they did not all arrive in time.
    std::vector<Expected<Download>> await(std::size_t count = 1)
    {
        std::unique_lock lock(state_->mutex);
        if (!state_->arrived.wait_for(lock, std::chrono::seconds(20),
                                      [&] { return state_->results.size() >= count; }))
            return {};
        return state_->results;
    }
    std::vector<std::thread::id> threads() const
    {
        const std::lock_guard lock(state_->mutex);
        return state_->threads;
    }

private:
    struct State {
        std::mutex mutex;
        std::condition_variable arrived;
        std::vector<Expected<Download>> results;
        std::vector<std::thread::id> threads;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

// Bytes of every value, NUL included, a few megabytes long: larger than any single network read.
std::string packageBytes(std::size_t size)
{
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 7919u + i / 251u) & 0xFFu);
    return bytes;
}

class BeastPackageDownloaderTest : public ::testing::Test {
protected:
    std::string packageURL() const { return stand.baseURL() + "/releases/Tessary.pkg"; }
    std::filesystem::path destination() const { return folder.path() / "Tessary.deb"; }

    Expected<Download> download(PackageDownloader& through, const std::string& url)
    {
        Outcomes outcomes;
        through.download(url, destination(), outcomes.completion());
        auto results = outcomes.await();
        if (results.empty())
            return Error{"no completion in time"};
        return std::move(results.front());
    }

    void scriptPackageReply(int status, const std::string& body)
    {
        stand.service().scriptReply("GET", "/releases/Tessary.pkg",
                                    server::HttpAnswer{status, "application/octet-stream", body});
    }

    StandInService stand;
    TemporaryFolder folder;
    BeastPackageDownloader downloader{stand.caFile()};
};

TEST_F(BeastPackageDownloaderTest, PackageLandsInTheFolderOverVerifiedTlsReplacingAnOlderOne)
{
    const auto bytes = packageBytes(3 * 1024 * 1024 + 17);
    stand.service().setPackage(bytes);
    TemporaryFolder::writeFile(destination(), packageBytes(4 * 1024 * 1024));

    const auto result = download(downloader, packageURL());
    ASSERT_TRUE(result) << result.error().description;
    EXPECT_EQ(result.value().file, destination());
    EXPECT_EQ(result.value().status, 200);
    EXPECT_EQ(result.value().bytes, bytes.size());
    EXPECT_TRUE(TemporaryFolder::readFile(destination()) == bytes);
    // Nothing else is left behind in the folder.
    EXPECT_EQ(TemporaryFolder::namesIn(folder.path()), std::vector<std::string>{"Tessary.deb"});
}

TEST_F(BeastPackageDownloaderTest, AnErrorStatusOrAnEmptyBodyIsAFailureAndLeavesAnOlderPackageUntouched)
{
    const std::string status = "The server answered the package download with HTTP status ";
    const std::string empty = "The server answered the package download with an empty body.";
    struct Row {
        const char* name;
        int status;
        std::string body;
        std::string error;
    };
    const Row rows[] = {
        {"nothing published yet (first: nothing scripted)", 0, "", status + "404."},
        {"not found", 404, "<html>Not Found</html>", status + "404."},
        {"server error", 500, "{\"error\":\"internal\"}", status + "500."},
        {"not modified", 304, "", status + "304."},
        {"ok but empty", 200, "", empty},
        {"no content", 204, "", empty},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TemporaryFolder::writeFile(destination(), "older package");
        if (row.status != 0)
            scriptPackageReply(row.status, row.body);
        const auto result = download(downloader, packageURL());
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().description, row.error);
        EXPECT_EQ(TemporaryFolder::readFile(destination()), "older package");
        EXPECT_EQ(TemporaryFolder::namesIn(folder.path()), std::vector<std::string>{"Tessary.deb"});
    }
}

TEST_F(BeastPackageDownloaderTest, RedirectsAreFollowedToHttpsAddressesOnly)
{
    const auto bytes = packageBytes(200 * 1024);
    stand.service().setPackage(bytes);
    const auto origin = stand.baseURL();
    const auto schemeRelative = origin.substr(origin.find("//"));
    const std::string loop = "The server redirected more than 10 times.";
    struct Row {
        const char* name;
        int status;
        std::string location;
        std::string error;  // empty: the package arrives
    };
    const Row rows[] = {
        {"found, absolute path", 302, "/releases/Tessary.pkg", ""},
        {"moved, whole address", 301, origin + "/releases/Tessary.pkg", ""},
        {"see other, relative to the folder", 303, "Tessary.pkg", ""},
        {"permanent, scheme-relative", 308, schemeRelative + "/releases/Tessary.pkg", ""},
        {"temporary, to plain http", 307, "http://127.0.0.1:" + std::to_string(stand.port()) + "/releases/Tessary.pkg",
         "The address http://127.0.0.1:" + std::to_string(stand.port()) + "/releases/Tessary.pkg is not an https address."},
        {"to itself, endlessly", 302, "/releases/latest", loop},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        stand.service().scriptReply("GET", "/releases/latest",
                                    server::HttpAnswer{row.status, "text/plain", "moved", row.location});
        const auto result = download(downloader, origin + "/releases/latest");
        if (row.error.empty()) {
            ASSERT_TRUE(result) << result.error().description;
            EXPECT_EQ(result.value().status, 200);
            EXPECT_TRUE(TemporaryFolder::readFile(destination()) == bytes);
        } else {
            ASSERT_FALSE(result);
            EXPECT_EQ(result.error().description, row.error);
        }
        EXPECT_EQ(TemporaryFolder::namesIn(folder.path()).size(), row.error.empty() ? 1u : 0u);
        std::filesystem::remove(destination());
    }
}

TEST_F(BeastPackageDownloaderTest, UntrustedOrMisnamedCertificatesFail)
{
    stand.service().setPackage("package");
    BeastPackageDownloader untrusting;
    const auto untrusted = download(untrusting, packageURL());
    ASSERT_FALSE(untrusted);
    EXPECT_TRUE(TemporaryFolder::namesIn(folder.path()).empty());
    EXPECT_TRUE(stand.service().requests().empty());

    StandInService misnamed({"service.example"});
    misnamed.service().setPackage("package");
    BeastPackageDownloader checking(misnamed.caFile());
    const auto wrongName = download(checking, misnamed.baseURL() + "/releases/Tessary.pkg");
    ASSERT_FALSE(wrongName);
    EXPECT_TRUE(TemporaryFolder::namesIn(folder.path()).empty());
    EXPECT_TRUE(misnamed.service().requests().empty());
}

TEST_F(BeastPackageDownloaderTest, PlainHttpIsRefused)
{
    const auto plain = "http://127.0.0.1:" + std::to_string(stand.port()) + "/releases/Tessary.pkg";
    const auto result = download(downloader, plain);
    ASSERT_FALSE(result);
    EXPECT_TRUE(TemporaryFolder::namesIn(folder.path()).empty());
    EXPECT_TRUE(stand.service().requests().empty());
}

TEST_F(BeastPackageDownloaderTest, AMissingFolderIsAFailure)
{
    stand.service().setPackage("package");
    Outcomes outcomes;
    downloader.download(packageURL(), folder.path() / "missing" / "Tessary.deb", outcomes.completion());
    const auto results = outcomes.await();
    ASSERT_EQ(results.size(), 1u);
    ASSERT_FALSE(results[0]);
    EXPECT_NE(results[0].error().description.find("missing"), std::string::npos) << results[0].error().description;
}

TEST_F(BeastPackageDownloaderTest, CompletionsRunOnTheTransportThread)
{
    stand.service().setPackage("package");
    Outcomes outcomes;
    downloader.download(packageURL(), destination(), outcomes.completion());
    ASSERT_EQ(outcomes.await().size(), 1u);
    EXPECT_NE(outcomes.threads().front(), std::this_thread::get_id());
}

TEST_F(BeastPackageDownloaderTest, EveryDownloadEndsOnceWhenTheDownloaderGoesAway)
{
    stand.service().setPackage(packageBytes(1024 * 1024));
    Outcomes outcomes;
    {
        BeastPackageDownloader leaving(stand.caFile());
        for (int i = 0; i < 3; ++i)
            leaving.download(packageURL(), destination(), outcomes.completion());
    }
    // The destructor has joined the worker: every completion has run, each exactly once.
    const auto results = outcomes.await(3);
    ASSERT_EQ(results.size(), 3u);
    EXPECT_EQ(outcomes.threads().size(), 3u);
    for (const auto& result : results)
        EXPECT_TRUE(result || result.error().description == "cancelled") << result.error().description;
    for (const auto& name : TemporaryFolder::namesIn(folder.path()))
        EXPECT_EQ(name, "Tessary.deb");
}

}  // namespace
}  // namespace tessary
