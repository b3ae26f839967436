#include "agent/ui/PanelProcess.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QSocketNotifier>

#include "agent/ui/PanelChannel.h"
#include "agent/ui/PanelModelPublisher.h"
#include "platform/linux/ChannelledProcess.h"

namespace tessary {

namespace {

// A panel told to go that has not gone by then is ended.
constexpr std::chrono::seconds kExitGrace{5};

// Collects a panel process that was told to go (or went), and then itself.
class EndingProcess final : public QObject {
public:
    EndingProcess(std::unique_ptr<ChannelledProcess> process, QObject* parent)
        : QObject(parent), process_(std::move(process)),
          exited_(process_->process().descriptor(), QSocketNotifier::Read)
    {
        connect(&exited_, &QSocketNotifier::activated, this, [this] {
            if (process_->reap())
                deleteLater();
        });
        QTimer::singleShot(kExitGrace, this, [this] { process_->process().kill(); });
    }

private:
    std::unique_ptr<ChannelledProcess> process_;
    QSocketNotifier exited_;
};

}  // namespace

PanelProcess::PanelProcess(QObject& content, std::filesystem::path program, Logger logger,
                           std::chrono::milliseconds idleLifetime, QObject* parent)
    : QObject(parent), content_(content), program_(std::move(program)), logger_(std::move(logger))
{
    idle_.setSingleShot(true);
    idle_.setInterval(idleLifetime);
    connect(&idle_, &QTimer::timeout, this, [this] {
        closingOnPurpose_ = true;
        channel_->close();
    });
}

// A panel left open ends with the agent: its process reads the channel's end.
PanelProcess::~PanelProcess()
{
    if (channel_)
        disconnect(channel_.get(), nullptr, this, nullptr);
}

bool PanelProcess::ensureRunning()
{
    if (channel_ && channel_->isOpen())
        return true;
    auto process = ChannelledProcess::start(program_, {});
    if (!process) {
        // Tried again at the next click: an update may have mended the installation meanwhile.
        logger_.error("The panel could not be started: %s", {program_.string()});
        return false;
    }
    channel_ = std::make_unique<PanelChannel>(process->takeChannel());
    process_ = std::make_unique<ChannelledProcess>(std::move(*process));
    closingOnPurpose_ = false;
    connect(channel_.get(), &PanelChannel::received, this, &PanelProcess::received);
    connect(channel_.get(), &PanelChannel::malformed, this, [this](const QString& reason) {
        logger_.error("The panel sent a message that was refused: %s", {reason.toStdString()});
    });
    connect(channel_.get(), &PanelChannel::closed, this, &PanelProcess::channelClosed);
    publisher_ = std::make_unique<PanelModelPublisher>(content_, *channel_, logger_);
    publisher_->publish();
    // A panel gone before its first message closed the channel, and channelClosed() let go of it.
    return channel_ && channel_->isOpen();
}

void PanelProcess::request(const char* op, QRect trayGeometry)
{
    if (!ensureRunning())
        return;
    idle_.stop();
    QJsonObject message{{QStringLiteral("op"), QLatin1String(op)}};
    if (!trayGeometry.isNull())
        message.insert(QStringLiteral("tray"), QJsonArray{trayGeometry.x(), trayGeometry.y(), trayGeometry.width(),
                                                          trayGeometry.height()});
    channel_->send(message);
}

void PanelProcess::show(QRect trayGeometry)
{
    request("show", trayGeometry);
}

void PanelProcess::toggle(QRect trayGeometry)
{
    request("toggle", trayGeometry);
}

void PanelProcess::hide()
{
    if (channel_ && channel_->isOpen())
        channel_->send({{QStringLiteral("op"), QStringLiteral("hide")}});
}

void PanelProcess::received(const QJsonObject& message)
{
    const auto op = message.value(QStringLiteral("op")).toString();
    if (op == QLatin1String("set") || op == QLatin1String("call")) {
        publisher_->apply(message);
    } else if (op == QLatin1String("drawn")) {
        emit firstFrameDrawn();
    } else if (op == QLatin1String("visible")) {
        if (message.value(QStringLiteral("value")).toBool())
            idle_.stop();
        else
            idle_.start();
    } else {
        logger_.error("The panel sent an unknown request: %s", {op.left(40).toStdString()});
    }
}

void PanelProcess::channelClosed()
{
    idle_.stop();
    if (!closingOnPurpose_)
        logger_.error("The panel's process ended unexpectedly");
    // The publisher and channel may be on the stack below: they go once this signal has returned.
    if (publisher_)
        publisher_.release()->deleteLater();
    channel_.release()->deleteLater();
    if (process_)
        new EndingProcess(std::move(process_), this);
}

}  // namespace tessary
