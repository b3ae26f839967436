#include <gtest/gtest.h>

#include "tests/support/MemoryLogSink.h"
#include "platform/linux/RememberedCredentialBackend.h"
#include "tests/support/FakeCredentialBackend.h"
#include "tests/support/TemporaryFolder.h"

namespace tessary {
namespace {

using Kind = RememberedCredentialBackend::Kind;
using Reach = CredentialBackend::Reach;
using testing::FakeCredentialBackend;
using testing::TemporaryFolder;

constexpr auto kService = "app.brenmoor.tessary.device";
const CredentialItems kPaired = {{"deviceId", "device-1"}, {"token", "token-1"}, {"familyId", "family-1"}};

// The choice between the keyring (scripted) and the real credentials file in a temporary folder.
class RememberedCredentialBackendTest : public ::testing::Test {
protected:
    RememberedCredentialBackend backend(std::optional<Kind> forced = std::nullopt)
    {
        return RememberedCredentialBackend(choiceFile, keyring, file, forced, log);
    }

    std::optional<std::string> remembered() const
    {
        if (!std::filesystem::exists(choiceFile))
            return std::nullopt;
        return TemporaryFolder::readFile(choiceFile);
    }

    void storeInFile(const CredentialItems& items)
    {
        for (const auto& [account, value] : items)
            ASSERT_FALSE(file->write(kService, account, value).has_value());
    }

    TemporaryFolder folder;
    std::filesystem::path dataFolder = folder.paths().dataHome / "app.brenmoor.tessary";
    std::filesystem::path choiceFile = dataFolder / "credential-backend";
    std::shared_ptr<MemoryLogSink> log = std::make_shared<MemoryLogSink>();
    std::shared_ptr<FakeCredentialBackend> keyring = std::make_shared<FakeCredentialBackend>();
    std::shared_ptr<FileSecureStore> file =
        std::make_shared<FileSecureStore>(dataFolder / "credentials", nullptr, log);
};

TEST_F(RememberedCredentialBackendTest, TheFirstChoiceIsTheFileWhenTheSessionHasNoSecretService)
{
    keyring->setReach(Reach::absent);
    for (const char* earlier : {"", "carrier pigeon\n"}) {
        SCOPED_TRACE(*earlier ? "an unknown choice is made afresh" : "nothing remembered");
        std::filesystem::remove_all(dataFolder);
        if (*earlier)
            TemporaryFolder::writeFile(choiceFile, earlier);
        auto chooser = backend();
        ASSERT_TRUE(chooser.readAll(kService).hasValue());
        EXPECT_EQ(chooser.chosen(), Kind::file);
        EXPECT_EQ(remembered(), "file\n");
        ASSERT_FALSE(chooser.write(kService, "token", "t").has_value());
        EXPECT_EQ(file->readAll(kService).value(), (CredentialItems{{"token", "t"}}));
    }
    EXPECT_TRUE(keyring->calls().empty());
}

TEST_F(RememberedCredentialBackendTest, WhileTheBusCannotTellNothingIsChosen)
{
    keyring->setReach(Reach::noAnswer);
    auto chooser = backend();
    EXPECT_FALSE(chooser.readAll(kService).hasValue());
    EXPECT_FALSE(chooser.chosen().has_value());
    EXPECT_FALSE(remembered().has_value());
    EXPECT_TRUE(chooser.write(kService, "deviceId", "device-new").has_value()) << "no write before a choice";
    EXPECT_FALSE(file->exists());

    keyring->setReach(Reach::answers);
    EXPECT_TRUE(chooser.readAll(kService).hasValue());
    EXPECT_EQ(chooser.chosen(), Kind::secretService);
}

// The remembered keyring is waited for whatever state it is in: the file is never used instead.
TEST_F(RememberedCredentialBackendTest, ARememberedKeyringThatCannotBeReadIsAFailureNeverTheFile)
{
    TemporaryFolder::writeFile(choiceFile, "secret-service\n");
    struct Row {
        const char* name;
        Reach reach;
        const char* failure;
    };
    const Row rows[] = {
        {"daemon not up", Reach::absent, "no Secret Service on the session bus"},
        {"bus not answering", Reach::noAnswer, "the Secret Service does not answer"},
        {"keyring locked", Reach::answers, "the keyring is locked"},
    };
    for (const auto& row : rows) {
        keyring->setReach(row.reach);
        keyring->failReads(Error{row.failure});
        auto chooser = backend();
        const auto items = chooser.readAll(kService);
        ASSERT_FALSE(items.hasValue()) << row.name;
        EXPECT_EQ(items.error().description, row.failure) << row.name;
        EXPECT_EQ(chooser.chosen(), Kind::secretService) << row.name;
        EXPECT_EQ(remembered(), "secret-service\n") << row.name;
        EXPECT_FALSE(file->exists()) << row.name;
    }
}

TEST_F(RememberedCredentialBackendTest, ARememberedFileStaysTheBackendWhenAKeyringAppears)
{
    TemporaryFolder::writeFile(choiceFile, "file\n");
    storeInFile(kPaired);
    auto chooser = backend();
    EXPECT_EQ(chooser.readAll(kService).value(), kPaired);
    EXPECT_EQ(chooser.chosen(), Kind::file);
    EXPECT_TRUE(keyring->items(kService).empty());
    EXPECT_EQ(keyring->reachQueries(), 0);
}

TEST_F(RememberedCredentialBackendTest, AForcedBackendIsUsedButNeverRemembered)
{
    storeInFile(kPaired);
    auto onFile = backend(Kind::file);
    EXPECT_EQ(onFile.readAll(kService).value(), kPaired);
    auto onKeyring = backend(Kind::secretService);
    EXPECT_TRUE(onKeyring.readAll(kService).value().empty());
    EXPECT_FALSE(remembered().has_value());
    EXPECT_TRUE(file->exists()) << "nothing is moved under an override";
}

TEST_F(RememberedCredentialBackendTest, CredentialsInTheFileMoveIntoTheKeyringChosenFirst)
{
    storeInFile(kPaired);
    ASSERT_FALSE(file->write("another.service", "token", "x").has_value());
    auto chooser = backend();
    const auto items = chooser.readAll(kService);
    ASSERT_TRUE(items.hasValue());
    EXPECT_EQ(items.value(), kPaired);
    EXPECT_EQ(keyring->items(kService), kPaired);
    EXPECT_EQ(keyring->items("another.service"), (CredentialItems{{"token", "x"}}));
    EXPECT_EQ(remembered(), "secret-service\n");
    EXPECT_FALSE(file->exists()) << "removed once every item was written and read back";
    EXPECT_TRUE(log->contains("Moved 4 credentials from " + file->file().string() + " into the keyring"));
}

TEST_F(RememberedCredentialBackendTest, AMoveThatFailsKeepsTheFileAsTheCredentialsOfRecord)
{
    storeInFile(kPaired);
    struct Row {
        const char* name;
        std::function<void()> fault;
    };
    const Row rows[] = {
        {"the keyring is locked", [this] { keyring->failReads(Error{"the keyring is locked"}); }},
        {"a write fails", [this] { keyring->failWrites(Error{"the item cannot be stored"}); }},
    };
    for (const auto& row : rows) {
        row.fault();
        auto chooser = backend();
        EXPECT_FALSE(chooser.readAll(kService).hasValue()) << row.name;
        EXPECT_FALSE(chooser.chosen().has_value()) << row.name;
        EXPECT_FALSE(remembered().has_value()) << row.name;
        EXPECT_EQ(file->readAll(kService).value(), kPaired) << row.name;
        keyring->failReads(std::nullopt);
        keyring->failWrites(std::nullopt);
    }
    auto chooser = backend();
    EXPECT_EQ(chooser.readAll(kService).value(), kPaired);
    EXPECT_FALSE(file->exists());
}

// Two half-sets are never mixed: a token stays with the identifier it was issued for.
TEST_F(RememberedCredentialBackendTest, WhenBothHoldCredentialsTheFullerSetWinsWhole)
{
    struct Row {
        const char* name;
        CredentialItems inKeyring;
        CredentialItems inFile;
        CredentialItems result;
        bool fileSetAside;
    };
    const Row rows[] = {
        {"a stale identifier in the keyring, the pairing in the file", {{"deviceId", "device-old"}}, kPaired, kPaired,
         false},
        {"the pairing in the keyring, a stale identifier in the file", kPaired, {{"deviceId", "device-2"}}, kPaired,
         true},
        {"a pairing in each: the keyring's", kPaired,
         {{"deviceId", "device-2"}, {"token", "token-2"}, {"familyId", "family-2"}}, kPaired, true},
    };
    for (const auto& row : rows) {
        std::filesystem::remove_all(dataFolder);
        keyring->setItems(kService, row.inKeyring);
        storeInFile(row.inFile);
        auto chooser = backend();
        EXPECT_EQ(chooser.readAll(kService).value(), row.result) << row.name;
        EXPECT_EQ(keyring->items(kService), row.result) << row.name;
        EXPECT_FALSE(file->exists()) << row.name;
        bool setAside = false;
        for (const auto& entry : std::filesystem::directory_iterator(dataFolder))
            setAside = setAside || entry.path().filename().string().starts_with("credentials.superseded-");
        EXPECT_EQ(setAside, row.fileSetAside) << row.name;
    }
}

}  // namespace
}  // namespace tessary
