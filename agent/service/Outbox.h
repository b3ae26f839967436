#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/Expected.h"
#include "platform/Logger.h"

struct sqlite3;

namespace tessary {

// The channel's messages that have not reached the service yet, oldest first, in an SQLite file of
// the agent's own so that they outlive a lost connection and a restart. A message leaves only when
// it has been written to the connection, when it is older than the longest stay, when the box is
// full (the oldest first), or when the pairing it belongs to ends. The file is opened at first use;
// a damaged one is moved aside, never deleted. Main thread only.
//
// Only the agent writes the file. Schema objects it never creates (a trigger that swallows every
// insert, a view in the table's place, the table made again differently) are taken out again
// without losing a message, and each is a finding for tamperingDetected.
class Outbox {
public:
    using TamperingDetected = std::function<void(const std::string& finding)>;

    struct Message {
        std::int64_t id = 0;
        std::string text;
    };

    static constexpr std::size_t kCapacity = 50'000;
    static constexpr auto kLongestStay = std::chrono::hours(24 * 7);

    Outbox(std::filesystem::path file, std::shared_ptr<const Clock> clock, Logger logger,
           TamperingDetected tamperingDetected, std::size_t capacity = kCapacity);
    ~Outbox();
    Outbox(const Outbox&) = delete;
    Outbox& operator=(const Outbox&) = delete;

    // False when the message could not be kept; the caller then has only its own copy. A message
    // drained from another queue carries a receipt for what it came from, kept in the same write,
    // so that the drain, run again after the agent was killed before it removed the source, can
    // tell that the box already holds it.
    bool add(const std::string& text, const std::string& receipt = {});
    // Whether the last message added with a receipt carried this one.
    bool keptLast(const std::string& receipt);
    // Up to limit messages queued after the one with this id, oldest first.
    std::vector<Message> after(std::int64_t id, std::size_t limit);
    void remove(std::int64_t id);
    // Drops every message: they belonged to a pairing that has ended.
    void clear();
    // Drops what has waited longer than kLongestStay.
    void dropExpired();
    std::size_t size();
    // Looks for another process's changes to the file since the last look; cheap when there are none.
    void lookForTampering();

private:
    sqlite3* connection();
    Expected<sqlite3*> openFile();
    // Takes out every schema object the outbox never creates; the messages of a table set aside or
    // renamed are copied into the outbox first.
    void removeForeignObjects();
    Error failure(const std::string& what) const;
    void report(const Error& error);
    void dropOldest(std::size_t count);
    std::int64_t secondsSinceEpoch() const { return clock_->secondsSinceEpoch(); }

    std::filesystem::path file_;
    std::shared_ptr<const Clock> clock_;
    Logger logger_;
    TamperingDetected tamperingDetected_;
    std::size_t capacity_;
    sqlite3* connection_ = nullptr;
    // The connection's data version when it last looked.
    std::int64_t dataVersion_ = -1;
    std::size_t size_ = 0;
    std::string lastFailure_;
};

}  // namespace tessary
