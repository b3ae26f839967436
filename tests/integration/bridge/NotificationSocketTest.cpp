#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "platform/linux/DatagramNotificationListener.h"
#include "platform/linux/DatagramNotificationPoster.h"
#include "shared/SharedStoreFormat.h"
#include "tests/support/ManualMainQueue.h"
#include "tests/support/TemporaryFolder.h"

namespace tessary {
namespace {

using testing::ManualMainQueue;
using testing::TemporaryFolder;

class NotificationSocketTest : public ::testing::Test {
protected:
    // Runs what the reader thread posted until `count` callbacks ran or a real-time bound passed.
    void deliver(int count)
    {
        mainQueue->runUntil([&] { return calls >= count; }, std::chrono::seconds(2));
    }

    TemporaryFolder folder;
    Paths paths = folder.paths();
    std::filesystem::path socketPath = SharedStoreFormat::notificationSocketPath(paths);
    std::shared_ptr<ManualMainQueue> mainQueue = std::make_shared<ManualMainQueue>();
    DatagramNotificationListener listener{socketPath, mainQueue};
    DatagramNotificationPoster poster{socketPath};
    int calls = 0;
};

TEST_F(NotificationSocketTest, EveryPostReachesTheCallbackOnTheMainQueue)
{
    ASSERT_FALSE(listener.start([this] { ++calls; }));
    struct stat status {};
    ASSERT_EQ(::lstat(socketPath.c_str(), &status), 0);
    EXPECT_TRUE(S_ISSOCK(status.st_mode));

    for (int i = 0; i < 3; ++i)
        poster.post();
    deliver(3);
    EXPECT_EQ(calls, 3);
    // Nothing runs on the reader thread itself: without the main queue draining, no calls.
    poster.post();
    EXPECT_TRUE(mainQueue->waitForPosted(std::chrono::milliseconds(1000)));
    EXPECT_EQ(calls, 3);
    mainQueue->runUntilIdle();
    EXPECT_EQ(calls, 4);
}

TEST_F(NotificationSocketTest, PostingWithoutAListenerNeitherFailsNorBlocks)
{
    poster.post();
    DatagramNotificationPoster(folder.path() / "missing" / "socket").post();
    DatagramNotificationPoster(folder.path() / std::string(200, 'x')).post();
    // A bound socket that nobody reads fills up; posting then drops wake-ups instead of waiting.
    ASSERT_FALSE(listener.start([this] { ++calls; }));
    for (int i = 0; i < 5000; ++i)
        poster.post();
    listener.stop();
    poster.post();
    SUCCEED();
}

TEST_F(NotificationSocketTest, StopSilencesPostsAlreadyQueuedAndRemovesTheSocket)
{
    ASSERT_FALSE(listener.start([this] { ++calls; }));
    poster.post();
    ASSERT_TRUE(mainQueue->waitForPosted(std::chrono::milliseconds(1000)));
    listener.stop();
    mainQueue->runUntilIdle();
    EXPECT_EQ(calls, 0);
    EXPECT_FALSE(std::filesystem::exists(socketPath));
}

TEST_F(NotificationSocketTest, StartReplacesAStaleSocketButNeverAnotherFile)
{
    // What an agent that died leaves behind: the socket file, with nobody bound to it.
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof(address.sun_path) - 1);
    const int dead = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    ASSERT_EQ(::bind(dead, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
    ::close(dead);
    ASSERT_TRUE(std::filesystem::exists(socketPath));

    ASSERT_FALSE(listener.start([this] { ++calls; }));
    poster.post();
    deliver(1);
    EXPECT_EQ(calls, 1);
    listener.stop();

    TemporaryFolder::writeFile(socketPath, "not a socket");
    EXPECT_TRUE(listener.start([this] { ++calls; }).has_value());
    EXPECT_EQ(TemporaryFolder::readFile(socketPath), "not a socket");
}

TEST_F(NotificationSocketTest, TooLongAPathIsAnError)
{
    DatagramNotificationListener tooLong(folder.path() / std::string(120, 'x'), mainQueue);
    const auto error = tooLong.start([] {});
    ASSERT_TRUE(error.has_value());
    EXPECT_NE(error->description.find("too long"), std::string::npos);
}

}  // namespace
}  // namespace tessary
