#include "platform/linux/CachedSecureStore.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <pthread.h>
#include <thread>

namespace tessary {

namespace {
constexpr auto kLongestRetryDelay = std::chrono::seconds(60);
// Writes asked for just before the end normally take milliseconds; an unlock prompt left open
// must not hold the exit.
constexpr auto kDrainLimit = std::chrono::seconds(2);
}  // namespace

// One thread running the backend's calls in order; started by the first call.
class CachedSecureStore::Worker {
public:
    using Task = std::function<void()>;

    explicit Worker(std::shared_ptr<CredentialBackend> backend) : backend_(std::move(backend)) {}

    ~Worker()
    {
        {
            std::unique_lock lock(mutex_);
            idle_.wait_for(lock, kDrainLimit, [this] { return queue_.empty() && !busy_; });
            stopping_ = true;
        }
        backend_->stop();
        wake_.notify_all();
        if (thread_.joinable())
            thread_.join();
    }
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    void post(Task task)
    {
        {
            const std::lock_guard lock(mutex_);
            queue_.push_back(std::move(task));
            if (!thread_.joinable())
                thread_ = std::thread([this] {
                    ::pthread_setname_np(::pthread_self(), "keyring");
                    run();
                });
        }
        wake_.notify_one();
    }

private:
    void run()
    {
        while (true) {
            Task task;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
                if (queue_.empty())
                    return;
                task = std::move(queue_.front());
                queue_.pop_front();
                busy_ = true;
            }
            task();
            {
                const std::lock_guard lock(mutex_);
                busy_ = false;
            }
            idle_.notify_all();
        }
    }

    std::shared_ptr<CredentialBackend> backend_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<Task> queue_;
    bool busy_ = false;
    bool stopping_ = false;
    std::thread thread_;
};

CachedSecureStore::CachedSecureStore(std::shared_ptr<CredentialBackend> backend, std::shared_ptr<MainQueue> mainQueue,
                                     std::shared_ptr<LogSink> logSink)
    : backend_(std::move(backend)), mainQueue_(std::move(mainQueue)),
      logger_(std::move(logSink), "app.brenmoor.tessary", "app"), worker_(std::make_unique<Worker>(backend_))
{
}

CachedSecureStore::~CachedSecureStore()
{
    if (retry_)
        retry_->cancel();
    worker_.reset();
}

void CachedSecureStore::open(const std::string& service, OpenCompletion completion)
{
    if (opened_.contains(service)) {
        completion(std::nullopt);
        return;
    }
    worker_->post([backend = backend_, mainQueue = mainQueue_, weak = weak_from_this(), service,
                   completion = std::move(completion)] {
        auto items = backend->readAll(service);
        mainQueue->post([weak, service, items = std::move(items), completion] {
            auto self = weak.lock();
            if (!self)
                return;
            // Two opens may cross; the first read wins, as writes may have followed it.
            if (items)
                self->opened_.try_emplace(service, items.value());
            completion(items ? std::nullopt : std::optional<Error>(items.error()));
        });
    });
}

std::optional<std::string> CachedSecureStore::load(const std::string& service, const std::string& account)
{
    const auto items = opened_.find(service);
    if (items == opened_.end())
        return std::nullopt;
    const auto item = items->second.find(account);
    if (item == items->second.end())
        return std::nullopt;
    return item->second;
}

void CachedSecureStore::save(const std::string& service, const std::string& account, const std::string& bytes)
{
    const auto items = opened_.find(service);
    // Written blind, it could replace what the backend holds but has not yet shown.
    if (items == opened_.end()) {
        logger_.error("Credential %s not saved: the credential store has not been read yet", {account});
        return;
    }
    items->second[account] = bytes;
    sync({service, account});
}

void CachedSecureStore::remove(const std::string& service, const std::string& account)
{
    const auto items = opened_.find(service);
    if (items == opened_.end()) {
        logger_.error("Credential %s not deleted: the credential store has not been read yet", {account});
        return;
    }
    items->second.erase(account);
    sync({service, account});
}

void CachedSecureStore::sync(const Key& key)
{
    const auto generation = ++nextGeneration_;
    generations_[key] = generation;
    std::optional<std::string> value = load(key.first, key.second);
    worker_->post([backend = backend_, mainQueue = mainQueue_, weak = weak_from_this(), key, value, generation] {
        const auto failure =
            value ? backend->write(key.first, key.second, *value) : backend->erase(key.first, key.second);
        mainQueue->post([weak, key, generation, failure] {
            if (auto self = weak.lock())
                self->synced(key, generation, failure);
        });
    });
}

void CachedSecureStore::synced(const Key& key, std::uint64_t generation, const std::optional<Error>& failure)
{
    // A newer write of the same item is on its way; its outcome decides.
    if (generations_[key] != generation)
        return;
    if (!failure) {
        unsynced_.erase(key);
        if (unsynced_.empty())
            retryDelay_ = std::chrono::seconds(1);
        return;
    }
    unsynced_.insert(key);
    if (retry_)
        return;
    logger_.error("Credential store write failed — retrying in %ld s: %@", {retryDelay_.count(), *failure});
    retry_ = mainQueue_->postAfter(retryDelay_, [weak = weak_from_this()] {
        if (auto self = weak.lock())
            self->retryUnsynced();
    });
    retryDelay_ = std::min(retryDelay_ * 2, std::chrono::seconds(kLongestRetryDelay));
}

void CachedSecureStore::retryUnsynced()
{
    retry_.reset();
    const auto keys = unsynced_;
    for (const auto& key : keys)
        sync(key);
}

}  // namespace tessary
