#include "platform/linux/RememberedCredentialBackend.h"

#include "platform/linux/AtomicFile.h"

namespace tessary {

RememberedCredentialBackend::RememberedCredentialBackend(std::filesystem::path choiceFile,
                                                         std::shared_ptr<CredentialBackend> keyring,
                                                         std::shared_ptr<FileSecureStore> file,
                                                         std::optional<Kind> forced, std::shared_ptr<LogSink> logSink)
    : choiceFile_(std::move(choiceFile)), keyring_(std::move(keyring)), file_(std::move(file)), forced_(forced),
      logger_(std::move(logSink), "app.brenmoor.tessary", "app")
{
}

std::optional<RememberedCredentialBackend::Kind> RememberedCredentialBackend::parse(std::string_view name)
{
    while (!name.empty() && (name.back() == '\n' || name.back() == ' ' || name.back() == '\r'))
        name.remove_suffix(1);
    if (name == "secret-service")
        return Kind::secretService;
    if (name == "file")
        return Kind::file;
    return std::nullopt;
}

std::string_view RememberedCredentialBackend::name(Kind kind)
{
    return kind == Kind::secretService ? "secret-service" : "file";
}

CredentialBackend& RememberedCredentialBackend::backend(Kind kind)
{
    if (kind == Kind::secretService)
        return *keyring_;
    return *file_;
}

Expected<std::optional<RememberedCredentialBackend::Kind>> RememberedCredentialBackend::remembered() const
{
    std::error_code ec;
    if (!std::filesystem::exists(choiceFile_, ec)) {
        if (ec)
            return Error{"the credential backend choice " + choiceFile_.string() + " cannot be read: " + ec.message()};
        return std::optional<Kind>();
    }
    const auto text = AtomicFile::read(choiceFile_);
    if (!text)
        return Error{"the credential backend choice " + choiceFile_.string() + " cannot be read"};
    // Anything else is chosen afresh below, exactly as on a first start.
    return parse(*text);
}

std::optional<Error> RememberedCredentialBackend::remember(Kind kind)
{
    if (auto failure = AtomicFile::write(choiceFile_, std::string(name(kind)) + "\n", 0600))
        return Error{"the credential backend choice cannot be kept: " + failure->description};
    return std::nullopt;
}

Expected<RememberedCredentialBackend::Kind> RememberedCredentialBackend::choose()
{
    if (forced_)
        return *forced_;
    auto known = remembered();
    if (!known)
        return known.error();
    if (known.value())
        return *known.value();

    switch (keyring_->reach()) {
    case Reach::absent:
        if (auto failure = remember(Kind::file))
            return *failure;
        logger_.info("No Secret Service answers — credentials are kept in %s", {file_->file().string()});
        return Kind::file;
    case Reach::noAnswer:
        // Choosing the file now could hide a keyring that holds the credentials: wait for an answer.
        return Error{"the Secret Service does not answer"};
    case Reach::answers:
        break;
    }
    if (file_->exists()) {
        if (auto failure = moveFileIntoKeyring())
            return *failure;
        return Kind::secretService;
    }
    if (auto failure = remember(Kind::secretService))
        return *failure;
    return Kind::secretService;
}

std::optional<Error> RememberedCredentialBackend::moveFileIntoKeyring()
{
    auto everything = file_->readEverything();
    if (!everything)
        return everything.error();
    bool keyringKept = false;
    std::size_t moved = 0;
    for (const auto& [service, inFile] : everything.value()) {
        const auto inKeyring = keyring_->readAll(service);
        if (!inKeyring)
            return inKeyring.error();
        // One side's items are the whole truth for a service: mixing them could pair a token with
        // another device's identifier. The side holding more wins; on a tie, the keyring.
        if (!inKeyring.value().empty() && inKeyring.value().size() >= inFile.size()) {
            keyringKept = true;
            continue;
        }
        for (const auto& [account, bytes] : inFile)
            if (auto failure = keyring_->write(service, account, bytes))
                return failure;
        for (const auto& [account, bytes] : inKeyring.value())
            if (!inFile.contains(account))
                if (auto failure = keyring_->erase(service, account))
                    return failure;
        const auto readBack = keyring_->readAll(service);
        if (!readBack)
            return readBack.error();
        if (readBack.value() != inFile)
            return Error{"the keyring did not keep the credentials moved into it"};
        moved += inFile.size();
    }

    // The choice is the commit: until it is kept, the file stays the credentials of record.
    if (auto failure = remember(Kind::secretService))
        return failure;
    if (keyringKept) {
        auto aside = file_->moveAside("superseded");
        if (aside)
            logger_.info("Credentials in the keyring kept — those in the file set aside in %s",
                         {aside.value().string()});
        else
            logger_.error("Credentials file not set aside: %@", {aside.error()});
    } else if (auto failure = file_->removeFile()) {
        logger_.error("Credentials file not removed: %@", {*failure});
    }
    logger_.info("Moved %ld credentials from %s into the keyring", {moved, file_->file().string()});
    return std::nullopt;
}

CredentialBackend::Reach RememberedCredentialBackend::reach()
{
    return chosen_ ? backend(*chosen_).reach() : keyring_->reach();
}

Expected<CredentialItems> RememberedCredentialBackend::readAll(const std::string& service)
{
    if (!chosen_) {
        auto kind = choose();
        if (!kind)
            return kind.error();
        chosen_ = kind.value();
    }
    return backend(*chosen_).readAll(service);
}

std::optional<Error> RememberedCredentialBackend::write(const std::string& service, const std::string& account,
                                                        const std::string& bytes)
{
    if (!chosen_)
        return Error{"no credential backend is chosen yet"};
    return backend(*chosen_).write(service, account, bytes);
}

std::optional<Error> RememberedCredentialBackend::erase(const std::string& service, const std::string& account)
{
    if (!chosen_)
        return Error{"no credential backend is chosen yet"};
    return backend(*chosen_).erase(service, account);
}

void RememberedCredentialBackend::stop()
{
    keyring_->stop();
    file_->stop();
}

}  // namespace tessary
