#include <gtest/gtest.h>
#include <sys/stat.h>

#include "agent/core/DeviceConfig.h"
#include "agent/core/DeviceIdentifier.h"
#include "platform/linux/FileSecureStore.h"
#include "tests/support/TemporaryFolder.h"

namespace tessary {
namespace {

using testing::TemporaryFolder;

class DeviceConfigFileStoreTest : public ::testing::Test {
protected:
    DeviceConfig config() { return DeviceConfig(std::make_shared<FileSecureStore>(file), DeviceConfig::kServiceName); }

    TemporaryFolder folder;
    std::filesystem::path file = folder.paths().dataHome / "app.brenmoor.tessary" / "credentials";
};

TEST_F(DeviceConfigFileStoreTest, ValuesSurviveANewStoreAndKeepTheirBytes)
{
    for (const std::string value : {"", "plain-token", "Zoë's Mäc 👩‍👧 日本語", "line\nbreak"}) {
        config().save(value, "token");
        EXPECT_EQ(config().load("token"), value) << value;
    }
    EXPECT_FALSE(config().load("familyId").has_value());
}

TEST_F(DeviceConfigFileStoreTest, SavingTwiceLeavesOneItemWithTheSecondValue)
{
    auto store = config();
    store.save("first", "token");
    store.save("second", "token");
    EXPECT_EQ(store.load("token"), "second");
    const auto content = TemporaryFolder::readFile(file);
    EXPECT_EQ(content.find("Zmlyc3Q="), std::string::npos) << "the old value must be gone";
}

TEST_F(DeviceConfigFileStoreTest, AccountsAndServicesAreKeptApart)
{
    auto store = config();
    store.save("t", "token");
    store.save("f", "familyId");
    DeviceConfig other(std::make_shared<FileSecureStore>(file), "another.service");
    other.save("x", "token");
    store.remove("token");
    EXPECT_FALSE(store.load("token").has_value());
    EXPECT_EQ(store.load("familyId"), "f");
    EXPECT_EQ(other.load("token"), "x");
    store.remove("never-saved");
}

TEST_F(DeviceConfigFileStoreTest, FileIsPrivateToTheUser)
{
    config().save("secret", "token");
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600U);
}

TEST_F(DeviceConfigFileStoreTest, DeletedIdentifierIsReplacedByANewOne)
{
    auto store = config();
    const auto first = DeviceIdentifier::loadOrCreate(store);
    EXPECT_EQ(DeviceIdentifier::loadOrCreate(store), first);
    store.remove("deviceId");
    const auto second = DeviceIdentifier::loadOrCreate(store);
    EXPECT_NE(second, first);
    EXPECT_TRUE(DeviceIdentifier::isWellFormed(second));
}

TEST_F(DeviceConfigFileStoreTest, DamagedFileReadsAsAbsentAndIsKeptAsideOnTheNextSave)
{
    TemporaryFolder::writeFile(file, "\x01garbage{{");
    auto store = config();
    EXPECT_FALSE(store.load("token").has_value());
    store.save("fresh", "token");
    EXPECT_EQ(store.load("token"), "fresh");
    auto aside = file;
    aside += ".unreadable";
    EXPECT_EQ(TemporaryFolder::readFile(aside), "\x01garbage{{");
}

TEST_F(DeviceConfigFileStoreTest, StoredBytesThatAreNotUtf8LoadAsAbsent)
{
    FileSecureStore raw(file);
    raw.save(DeviceConfig::kServiceName, "token", "\xff\xfe");
    EXPECT_EQ(raw.load(DeviceConfig::kServiceName, "token"), "\xff\xfe");
    EXPECT_FALSE(config().load("token").has_value());
}

}  // namespace
}  // namespace tessary
