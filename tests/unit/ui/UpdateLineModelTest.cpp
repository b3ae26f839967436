#include <gtest/gtest.h>

#include <QMetaObject>
#include <QStringList>
#include <QVariant>

#include "agent/ui/UpdateLineModel.h"
#include "tests/support/FakePlatform.h"

namespace tessary {
namespace {

using namespace std::chrono_literals;
using testing::FakePlatform;

// Without an API client the line never gets as far as a download.
class UnusedDownloader final : public PackageDownloader {
public:
    void download(std::string, std::filesystem::path, Completion) override { ADD_FAILURE() << "downloaded"; }
};

// The properties in the order the line's QML reads them, by the names it binds to.
QStringList shown(const QObject& model)
{
    QStringList values;
    for (const char* name : {"status", "actionText", "busy", "actionTone", "versionText", "versionTone"})
        values << model.property(name).toString();
    return values;
}

TEST(UpdateLineModelTest, QmlReadsTheLineAndHearsOfEachChangeAndCanTapTheLink)
{
    FakePlatform fake;
    UpdateLineModel model(UpdateLineModel::Variant::menu, nullptr, std::make_shared<UnusedDownloader>(),
                          fake.launcher, fake.mainQueue, fake.log, fake.paths.tempDir, "1.2.0", "42");
    int changes = 0;
    QObject::connect(&model, &UpdateLineModel::changed, [&changes] { ++changes; });
    EXPECT_EQ(shown(model), (QStringList{"idle", "Check for Update", "false", "accent", "v1.2.0 (42)", "secondary"}));

    ASSERT_TRUE(QMetaObject::invokeMethod(&model, "activate"));
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(shown(model), (QStringList{"checking", "", "true", "accent", "Checking...", "secondary"}));

    fake.mainQueue->runUntilIdle();
    EXPECT_EQ(changes, 2);
    const auto upToDate = QString::fromUtf8("v1.2.0 (42) \xE2\x80\x94 up to date");
    EXPECT_EQ(shown(model), (QStringList{"upToDate", "Check for Update", "false", "accent", upToDate, "green"}));
    EXPECT_EQ(model.versionText().at(12), QChar(0x2014)) << "one character, read as UTF-8";

    fake.mainQueue->advance(3s);
    EXPECT_EQ(changes, 3);
    EXPECT_EQ(model.status(), QStringLiteral("idle"));
}

}  // namespace
}  // namespace tessary
