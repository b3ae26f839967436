#include "agent/ui/UpdateLineModel.h"

#include <utility>

namespace tessary {

UpdateLineModel::UpdateLineModel(Variant variant, std::shared_ptr<APIClient> apiClient,
                                 std::shared_ptr<PackageDownloader> downloader, std::shared_ptr<Launcher> launcher,
                                 std::shared_ptr<MainQueue> mainQueue, std::shared_ptr<LogSink> logSink,
                                 std::filesystem::path tempDir, std::optional<std::string> version,
                                 std::optional<std::string> build, QObject* parent)
    : QObject(parent),
      line_(std::make_shared<UpdateLine>(variant, std::move(apiClient), std::move(downloader), std::move(launcher),
                                         std::move(mainQueue), std::move(logSink), std::move(tempDir),
                                         std::move(version), std::move(build)))
{
    line_->setListener([this] { emit changed(); });
}

QString UpdateLineModel::status() const
{
    return QString::fromStdString(line_->status());
}

QString UpdateLineModel::actionText() const
{
    return QString::fromStdString(line_->actionText());
}

bool UpdateLineModel::busy() const
{
    return line_->busy();
}

QString UpdateLineModel::actionTone() const
{
    return QString::fromStdString(line_->actionTone());
}

QString UpdateLineModel::versionText() const
{
    return QString::fromStdString(line_->versionText());
}

QString UpdateLineModel::versionTone() const
{
    return QString::fromStdString(line_->versionTone());
}

void UpdateLineModel::activate()
{
    line_->activate();
}

}  // namespace tessary
