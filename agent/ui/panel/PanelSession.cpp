#include "agent/ui/panel/PanelSession.h"

#include <QJsonArray>

namespace tessary {

namespace {

QRect trayGeometry(const QJsonObject& message)
{
    const auto tray = message.value(QStringLiteral("tray")).toArray();
    if (tray.size() != 4)
        return {};
    return QRect(tray[0].toInt(), tray[1].toInt(), tray[2].toInt(), tray[3].toInt());
}

}  // namespace

PanelSession::PanelSession(ScopedFd channel, QObject* parent)
    : QObject(parent), channel_(std::move(channel)),
      models_([this](const QJsonObject& request) { channel_.send(request); })
{
    connect(&channel_, &PanelChannel::received, this, &PanelSession::received);
    connect(&channel_, &PanelChannel::malformed, this,
            [](const QString& reason) { qWarning("tessary-panel: refused a message: %s", qPrintable(reason)); });
    connect(&channel_, &PanelChannel::closed, this, &PanelSession::ended);
}

// The window goes before the models it shows.
PanelSession::~PanelSession()
{
    view_.reset();
}

PanelView& PanelSession::view()
{
    if (!view_) {
        view_ = std::make_unique<PanelView>(models_.root());
        connect(view_.get(), &PanelView::firstFrameDrawn, this,
                [this] { channel_.send({{QStringLiteral("op"), QStringLiteral("drawn")}}); });
        connect(view_.get(), &PanelView::visibilityChanged, this, [this](bool visible) {
            channel_.send({{QStringLiteral("op"), QStringLiteral("visible")}, {QStringLiteral("value"), visible}});
        });
    }
    return *view_;
}

void PanelSession::received(const QJsonObject& message)
{
    const auto op = message.value(QStringLiteral("op")).toString();
    if (op == QLatin1String("state")) {
        if (const auto refused = models_.apply(message))
            qWarning("tessary-panel: refused a state: %s", qPrintable(*refused));
        else
            hasState_ = true;
    } else if (!hasState_) {
        // The agent always sends its state first; a window over no models would show nothing.
        qWarning("tessary-panel: \"%s\" before any state", qPrintable(op.left(40)));
    } else if (op == QLatin1String("show")) {
        view().show(trayGeometry(message));
    } else if (op == QLatin1String("toggle")) {
        view().toggle(trayGeometry(message));
    } else if (op == QLatin1String("hide")) {
        if (view_)
            view_->hide();
    } else {
        qWarning("tessary-panel: unknown request \"%s\"", qPrintable(op.left(40)));
    }
}

}  // namespace tessary
