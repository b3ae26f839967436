#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>

#include "platform/LogSink.h"
#include "platform/Logger.h"
#include "platform/linux/CredentialBackend.h"
#include "platform/linux/FileSecureStore.h"

namespace tessary {

// The credential backend chosen once and remembered in a small file ("secret-service" or "file"),
// so credentials are never split between two backends and an unreachable keyring is waited for
// rather than replaced by an empty file. The first choice is the Secret Service when it answers,
// the file when there is none; while the bus cannot tell, nothing is chosen and reads fail. When
// the keyring is first chosen on a computer whose credentials are in the file, they move into it:
// every item is written and read back before the choice is remembered and the file removed. A
// forced backend (the development override) is used as it is: nothing is remembered or moved.
// Worker thread only, like every backend.
class RememberedCredentialBackend final : public CredentialBackend {
public:
    enum class Kind { secretService, file };

    RememberedCredentialBackend(std::filesystem::path choiceFile, std::shared_ptr<CredentialBackend> keyring,
                                std::shared_ptr<FileSecureStore> file, std::optional<Kind> forced,
                                std::shared_ptr<LogSink> logSink);

    // "secret-service" or "file"; absent for anything else.
    static std::optional<Kind> parse(std::string_view name);
    static std::string_view name(Kind kind);

    // The chosen backend's reach (the keyring's while nothing is chosen).
    Reach reach() override;
    // Chooses first when nothing is chosen yet.
    Expected<CredentialItems> readAll(const std::string& service) override;
    // Refused while nothing is chosen.
    [[nodiscard]] std::optional<Error> write(const std::string& service, const std::string& account,
                               const std::string& bytes) override;
    [[nodiscard]] std::optional<Error> erase(const std::string& service, const std::string& account) override;
    void stop() override;

    std::optional<Kind> chosen() const { return chosen_; }

private:
    Expected<Kind> choose();
    Expected<std::optional<Kind>> remembered() const;
    [[nodiscard]] std::optional<Error> remember(Kind kind);
    [[nodiscard]] std::optional<Error> moveFileIntoKeyring();
    CredentialBackend& backend(Kind kind);

    std::filesystem::path choiceFile_;
    std::shared_ptr<CredentialBackend> keyring_;
    std::shared_ptr<FileSecureStore> file_;
    std::optional<Kind> forced_;
    std::optional<Kind> chosen_;
    Logger logger_;
};

}  // namespace tessary
