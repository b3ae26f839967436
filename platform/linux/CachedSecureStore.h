#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <utility>

#include "platform/Logger.h"
#include "platform/MainQueue.h"
#include "platform/SecureStore.h"
#include "platform/linux/CredentialBackend.h"

namespace tessary {

// The SecureStore port over a backend whose calls may block. The items of each opened service are
// kept in memory on the main thread; every backend call runs on this store's one worker thread,
// in the order it was asked for, and reports back through the main queue. A write that fails is
// tried again after 1, 2, 4 ... 60 s, so the backend catches up with what the agent believes.
class CachedSecureStore final : public SecureStore, public std::enable_shared_from_this<CachedSecureStore> {
public:
    CachedSecureStore(std::shared_ptr<CredentialBackend> backend, std::shared_ptr<MainQueue> mainQueue,
                      std::shared_ptr<LogSink> logSink);
    // Waits a little for queued writes, then stops the backend and joins the worker.
    ~CachedSecureStore() override;
    CachedSecureStore(const CachedSecureStore&) = delete;
    CachedSecureStore& operator=(const CachedSecureStore&) = delete;

    void open(const std::string& service, OpenCompletion completion) override;
    void save(const std::string& service, const std::string& account, const std::string& bytes) override;
    std::optional<std::string> load(const std::string& service, const std::string& account) override;
    void remove(const std::string& service, const std::string& account) override;

private:
    class Worker;
    using Key = std::pair<std::string, std::string>;

    void sync(const Key& key);
    void synced(const Key& key, std::uint64_t generation, const std::optional<Error>& failure);
    void retryUnsynced();

    std::shared_ptr<CredentialBackend> backend_;
    std::shared_ptr<MainQueue> mainQueue_;
    Logger logger_;
    std::unique_ptr<Worker> worker_;

    std::map<std::string, CredentialItems> opened_;
    // The newest write of each item, and the items whose newest write failed.
    std::map<Key, std::uint64_t> generations_;
    std::uint64_t nextGeneration_ = 0;
    std::set<Key> unsynced_;
    std::shared_ptr<ScheduledWork> retry_;
    std::chrono::seconds retryDelay_{1};
};

}  // namespace tessary
