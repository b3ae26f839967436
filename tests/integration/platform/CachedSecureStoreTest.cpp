#include <gtest/gtest.h>

#include "tests/support/MemoryLogSink.h"
#include "platform/linux/CachedSecureStore.h"
#include "tests/support/FakeCredentialBackend.h"
#include "tests/support/ManualMainQueue.h"
#include "tests/support/WaitUntil.h"

namespace tessary {
namespace {

using testing::FakeCredentialBackend;
using testing::ManualMainQueue;

constexpr auto kService = "app.brenmoor.tessary.device";
constexpr auto kWorkerLimit = std::chrono::seconds(10);

// The store over a scripted backend: its worker thread is real, the main queue is virtual.
class CachedSecureStoreTest : public ::testing::Test {
protected:
    std::optional<Error> openAndWait()
    {
        std::optional<std::optional<Error>> outcome;
        store->open(kService, [&outcome](std::optional<Error> failure) { outcome = std::move(failure); });
        EXPECT_TRUE(mainQueue->runUntil([&] { return outcome.has_value(); })) << "the open never completed";
        return outcome.value_or(Error{"no outcome"});
    }

    bool waitForCalls(std::size_t count)
    {
        return mainQueue->runUntil([&] { return backend->calls().size() >= count; });
    }

    std::shared_ptr<ManualMainQueue> mainQueue = std::make_shared<ManualMainQueue>();
    std::shared_ptr<MemoryLogSink> log = std::make_shared<MemoryLogSink>();
    std::shared_ptr<FakeCredentialBackend> backend = std::make_shared<FakeCredentialBackend>();
    std::shared_ptr<CachedSecureStore> store = std::make_shared<CachedSecureStore>(backend, mainQueue, log);
};

TEST_F(CachedSecureStoreTest, OpenReadsOnTheWorkerAndLoadsAreAnsweredFromMemory)
{
    backend->setItems(kService, {{"token", "t"}, {"familyId", "f"}});
    bool completed = false;
    store->open(kService, [&completed](std::optional<Error> failure) { completed = !failure; });
    EXPECT_FALSE(completed) << "the result arrives through the main queue";
    ASSERT_TRUE(mainQueue->runUntil([&] { return completed; }));

    ASSERT_EQ(backend->readThreads().size(), 1U);
    EXPECT_NE(backend->readThreads()[0], std::this_thread::get_id());
    backend->setItems(kService, {});
    EXPECT_EQ(store->load(kService, "token"), "t");
    EXPECT_EQ(store->load(kService, "familyId"), "f");
    EXPECT_FALSE(store->load(kService, "deviceId").has_value());
    EXPECT_FALSE(store->load("another.service", "token").has_value());
    EXPECT_EQ(backend->readThreads().size(), 1U);
}

TEST_F(CachedSecureStoreTest, NothingIsReadOrWrittenBeforeAnOpenSucceeds)
{
    backend->setItems(kService, {{"deviceId", "device-stored"}});
    backend->failReads(Error{"the keyring is locked"});
    const auto failure = openAndWait();
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->description, "the keyring is locked");

    EXPECT_FALSE(store->load(kService, "deviceId").has_value());
    store->save(kService, "deviceId", "device-new");
    store->remove(kService, "token");
    EXPECT_TRUE(log->contains("Credential deviceId not saved: the credential store has not been read yet"));
    EXPECT_TRUE(log->contains("Credential token not deleted: the credential store has not been read yet"));

    backend->failReads(std::nullopt);
    EXPECT_FALSE(openAndWait().has_value());
    EXPECT_EQ(store->load(kService, "deviceId"), "device-stored");
    EXPECT_TRUE(backend->calls().empty()) << "nothing was written blind";
}

TEST_F(CachedSecureStoreTest, WritesTakeEffectAtOnceAndReachTheBackendInOrder)
{
    ASSERT_FALSE(openAndWait().has_value());
    store->save(kService, "token", "t1");
    store->save(kService, "familyId", "f");
    store->save(kService, "token", "t2");
    store->remove(kService, "familyId");
    EXPECT_EQ(store->load(kService, "token"), "t2");
    EXPECT_FALSE(store->load(kService, "familyId").has_value());

    ASSERT_TRUE(waitForCalls(4));
    EXPECT_EQ(backend->calls(),
              (std::vector<std::string>{"write token=t1", "write familyId=f", "write token=t2", "erase familyId"}));
    EXPECT_EQ(backend->items(kService), (CredentialItems{{"token", "t2"}}));
}

TEST_F(CachedSecureStoreTest, AFailedWriteIsRetriedAfter1Then2SecondsUntilItLands)
{
    ASSERT_FALSE(openAndWait().has_value());
    backend->failWrites(Error{"the keyring is locked"});
    store->save(kService, "token", "t");
    ASSERT_TRUE(mainQueue->runUntil([&] { return mainQueue->pendingTimers() == 1; }));
    EXPECT_TRUE(log->contains("Credential store write failed — retrying in 1 s: the keyring is locked"));
    EXPECT_EQ(store->load(kService, "token"), "t") << "the agent goes on with the value it saved";

    mainQueue->advance(std::chrono::milliseconds(999));
    EXPECT_EQ(backend->calls().size(), 1U);
    mainQueue->advance(std::chrono::milliseconds(1));
    ASSERT_TRUE(waitForCalls(2));
    ASSERT_TRUE(mainQueue->runUntil([&] { return mainQueue->pendingTimers() == 1; }));
    EXPECT_TRUE(log->contains("Credential store write failed — retrying in 2 s: the keyring is locked"));

    backend->failWrites(std::nullopt);
    mainQueue->advance(std::chrono::milliseconds(1999));
    EXPECT_EQ(backend->calls().size(), 2U);
    mainQueue->advance(std::chrono::milliseconds(1));
    ASSERT_TRUE(waitForCalls(3));
    EXPECT_EQ(backend->items(kService), (CredentialItems{{"token", "t"}}));
    mainQueue->runUntilIdle();
    mainQueue->advance(std::chrono::minutes(5));
    EXPECT_EQ(backend->calls().size(), 3U) << "nothing more once it landed";
}

TEST_F(CachedSecureStoreTest, TheRetryWritesTheNewestValue)
{
    ASSERT_FALSE(openAndWait().has_value());
    backend->failWrites(Error{"gone"});
    store->save(kService, "token", "old");
    ASSERT_TRUE(mainQueue->runUntil([&] { return mainQueue->pendingTimers() == 1; }));
    store->remove(kService, "token");
    ASSERT_TRUE(waitForCalls(2));
    mainQueue->runUntilIdle();
    backend->failWrites(std::nullopt);
    backend->setItems(kService, {{"token", "old"}});
    mainQueue->advance(std::chrono::seconds(1));
    ASSERT_TRUE(waitForCalls(3));
    EXPECT_EQ(backend->calls().back(), "erase token");
    EXPECT_TRUE(backend->items(kService).empty());
}

TEST_F(CachedSecureStoreTest, EndingTheStoreStopsACallThatNeverReturns)
{
    // As an unlock prompt nobody answers.
    backend->setGateOpen(false);
    store->open(kService, [](std::optional<Error>) {});
    ASSERT_TRUE(testing::waitUntil([&] { return !backend->readThreads().empty(); }, kWorkerLimit));
    store.reset();
    EXPECT_TRUE(backend->stopped());
}

}  // namespace
}  // namespace tessary
