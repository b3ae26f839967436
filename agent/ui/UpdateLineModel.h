#pragma once

#include <QObject>
#include <QString>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "agent/core/UpdateLine.h"

namespace tessary {

// The update line as the panels' QML reads it: the core's UpdateLine, its texts as QStrings and
// each change as changed(). Main thread only.
class UpdateLineModel final : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString status READ status NOTIFY changed)
    Q_PROPERTY(QString actionText READ actionText NOTIFY changed)
    Q_PROPERTY(bool busy READ busy NOTIFY changed)
    Q_PROPERTY(QString actionTone READ actionTone NOTIFY changed)
    Q_PROPERTY(QString versionText READ versionText NOTIFY changed)
    Q_PROPERTY(QString versionTone READ versionTone NOTIFY changed)

public:
    using Variant = UpdateLine::Variant;

    // As UpdateLine's constructor.
    UpdateLineModel(Variant variant, std::shared_ptr<APIClient> apiClient,
                    std::shared_ptr<PackageDownloader> downloader, std::shared_ptr<Launcher> launcher,
                    std::shared_ptr<MainQueue> mainQueue, std::shared_ptr<LogSink> logSink,
                    std::filesystem::path tempDir, std::optional<std::string> version,
                    std::optional<std::string> build, QObject* parent = nullptr);

    QString status() const;
    QString actionText() const;
    bool busy() const;
    QString actionTone() const;
    QString versionText() const;
    QString versionTone() const;

    Q_INVOKABLE void activate();

signals:
    void changed();

private:
    // Its only owner: work pending when the model is gone finds the line gone too, so the listener,
    // which holds the model, is never called after it.
    const std::shared_ptr<UpdateLine> line_;
};

}  // namespace tessary
