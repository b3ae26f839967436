#pragma once

#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/CredentialBackend.h"

namespace tessary::testing {

// A keyring in memory whose answers the test scripts: its reach, failing reads or writes (a
// daemon that is locked, gone or broken), and a gate that holds reads as a slow bus or an open
// unlock prompt would, until opened or stopped. Safe to script and inspect from the test's thread
// while a store's worker thread calls it.
class FakeCredentialBackend final : public CredentialBackend {
public:
    Reach reach() override
    {
        const std::lock_guard lock(mutex_);
        ++reachQueries_;
        return reach_;
    }

    Expected<CredentialItems> readAll(const std::string& service) override
    {
        std::unique_lock lock(mutex_);
        readThreads_.push_back(std::this_thread::get_id());
        changed_.wait(lock, [this] { return gateOpen_ || stopped_; });
        if (stopped_)
            return Error{"stopped"};
        if (readFailure_)
            return *readFailure_;
        return items_[service];
    }

    std::optional<Error> write(const std::string& service, const std::string& account,
                               const std::string& bytes) override
    {
        const std::lock_guard lock(mutex_);
        calls_.push_back("write " + account + "=" + bytes);
        if (writeFailure_)
            return writeFailure_;
        items_[service][account] = bytes;
        changed_.notify_all();
        return std::nullopt;
    }

    std::optional<Error> erase(const std::string& service, const std::string& account) override
    {
        const std::lock_guard lock(mutex_);
        calls_.push_back("erase " + account);
        if (writeFailure_)
            return writeFailure_;
        items_[service].erase(account);
        changed_.notify_all();
        return std::nullopt;
    }

    void stop() override
    {
        const std::lock_guard lock(mutex_);
        stopped_ = true;
        changed_.notify_all();
    }

    void setReach(Reach reach)
    {
        const std::lock_guard lock(mutex_);
        reach_ = reach;
    }
    void setItems(const std::string& service, CredentialItems items)
    {
        const std::lock_guard lock(mutex_);
        items_[service] = std::move(items);
    }
    CredentialItems items(const std::string& service) const
    {
        const std::lock_guard lock(mutex_);
        const auto found = items_.find(service);
        return found == items_.end() ? CredentialItems{} : found->second;
    }
    // Every read fails with this until cleared.
    void failReads(std::optional<Error> failure)
    {
        const std::lock_guard lock(mutex_);
        readFailure_ = std::move(failure);
    }
    void failWrites(std::optional<Error> failure)
    {
        const std::lock_guard lock(mutex_);
        writeFailure_ = std::move(failure);
    }
    void setGateOpen(bool open)
    {
        const std::lock_guard lock(mutex_);
        gateOpen_ = open;
        changed_.notify_all();
    }
    // Writes and erases in the order they were asked for, as "write account=value" or "erase account".
    std::vector<std::string> calls() const
    {
        const std::lock_guard lock(mutex_);
        return calls_;
    }
    std::vector<std::thread::id> readThreads() const
    {
        const std::lock_guard lock(mutex_);
        return readThreads_;
    }
    int reachQueries() const
    {
        const std::lock_guard lock(mutex_);
        return reachQueries_;
    }
    bool stopped() const
    {
        const std::lock_guard lock(mutex_);
        return stopped_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    Reach reach_ = Reach::answers;
    std::map<std::string, CredentialItems> items_;
    std::optional<Error> readFailure_;
    std::optional<Error> writeFailure_;
    bool gateOpen_ = true;
    bool stopped_ = false;
    std::vector<std::string> calls_;
    std::vector<std::thread::id> readThreads_;
    int reachQueries_ = 0;
};

}  // namespace tessary::testing
