#pragma once

#include <filesystem>
#include <memory>

#include "platform/Clock.h"
#include "platform/LogSink.h"
#include "platform/Logger.h"
#include "platform/linux/CredentialBackend.h"

namespace tessary {

// Secrets in one file readable by the user alone (mode 0600), replaced whole on every write. Used
// where no Secret Service answers. A file that exists but cannot be read, or holds an item that
// cannot be understood, is moved aside ("credentials.unreadable-<UTC time>") when it is read and
// is never written over: no write leaves a file with fewer items than one it failed to read.
class FileSecureStore final : public CredentialBackend {
public:
    // service → its items.
    using AllItems = std::map<std::string, CredentialItems>;

    explicit FileSecureStore(std::filesystem::path file, std::shared_ptr<const Clock> clock = nullptr,
                             std::shared_ptr<LogSink> logSink = nullptr);

    Reach reach() override { return Reach::answers; }
    Expected<CredentialItems> readAll(const std::string& service) override;
    [[nodiscard]] std::optional<Error> write(const std::string& service, const std::string& account,
                               const std::string& bytes) override;
    [[nodiscard]] std::optional<Error> erase(const std::string& service, const std::string& account) override;

    // Every item of every service (an unreadable file is moved aside first, as by readAll).
    Expected<AllItems> readEverything();
    bool exists() const;
    // Moves the file aside under "<name>.<reason>-<UTC time>"; returns the new path.
    Expected<std::filesystem::path> moveAside(const std::string& reason);
    // Deletes the file; a missing file is not an error.
    [[nodiscard]] std::optional<Error> removeFile();

    const std::filesystem::path& file() const { return file_; }

private:
    struct Content;
    Content readContent() const;
    Expected<AllItems> readRepairing();
    [[nodiscard]] std::optional<Error> writeItems(const AllItems& items);

    std::filesystem::path file_;
    std::shared_ptr<const Clock> clock_;
    Logger logger_;
};

}  // namespace tessary
