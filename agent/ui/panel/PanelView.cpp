#include "agent/ui/panel/PanelView.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QQmlError>
#include <QQuickView>
#include <QScreen>
#include <QSGRendererInterface>

#include <algorithm>

namespace tessary {

namespace {

constexpr int kGapToIcon = 4;
// A deactivation this recent was caused by the click now toggling the panel.
constexpr qint64 kToggleGraceMs = 400;

const QUrl kContentView(QStringLiteral("qrc:/tessary/qml/ContentView.qml"));

QRect availableGeometryFor(QRect trayGeometry, const QQuickView& view)
{
    QScreen* screen = trayGeometry.isNull() ? nullptr : QGuiApplication::screenAt(trayGeometry.center());
    if (!screen)
        screen = view.screen();
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry() : QRect();
}

}  // namespace

PanelView::PanelView(QObject& content, QObject* parent) : QObject(parent), content_(content)
{
    // A panel of a few controls draws faster in software than it takes to load a GPU driver, and
    // the driver would be most of the agent's memory. An explicit backend choice still wins.
    if (qEnvironmentVariableIsEmpty("QT_QUICK_BACKEND") && qEnvironmentVariableIsEmpty("QSG_RHI_BACKEND") &&
        QQuickWindow::sceneGraphBackend() != QLatin1String("software"))
        QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
}

PanelView::~PanelView() = default;

QRect PanelView::panelGeometry(QSize panelSize, QRect trayGeometry, QRect available)
{
    QRect frame(QPoint(), panelSize);
    if (trayGeometry.isNull()) {
        frame.moveCenter(available.center());
    } else {
        frame.moveLeft(trayGeometry.center().x() - panelSize.width() / 2);
        if (trayGeometry.center().y() <= available.center().y())
            frame.moveTop(trayGeometry.bottom() + 1 + kGapToIcon);
        else
            frame.moveBottom(trayGeometry.top() - 1 - kGapToIcon);
    }
    // A panel larger than the screen keeps its top-left corner visible.
    const int left = std::max(available.left(), std::min(frame.left(), available.right() + 1 - panelSize.width()));
    const int top = std::max(available.top(), std::min(frame.top(), available.bottom() + 1 - panelSize.height()));
    frame.moveTopLeft(QPoint(left, top));
    return frame;
}

void PanelView::ensureView()
{
    if (view_)
        return;
    view_ = std::make_unique<QQuickView>();
    view_->setFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    view_->setTitle(QStringLiteral("Tessary"));
    view_->setResizeMode(QQuickView::SizeViewToRootObject);
    view_->setInitialProperties({{QStringLiteral("contentModel"), QVariant::fromValue(&content_)}});
    view_->setSource(kContentView);
    for (const auto& error : view_->errors())
        qWarning("PanelView: %s", qPrintable(error.toString()));

    view_->installEventFilter(this);
    connect(view_.get(), &QQuickWindow::frameSwapped, this, [this] {
        if (!awaitingFirstFrame_)
            return;
        awaitingFirstFrame_ = false;
        emit firstFrameDrawn();
    });
    connect(view_.get(), &QWindow::activeChanged, this, &PanelView::activeChanged);
    connect(view_.get(), &QWindow::visibleChanged, this, &PanelView::visibilityChanged);
    // The content grows and shrinks (screen B, the reset button): keep the edge next to the icon.
    connect(view_.get(), &QWindow::widthChanged, this, [this] { place(); });
    connect(view_.get(), &QWindow::heightChanged, this, [this] { place(); });
}

void PanelView::place()
{
    if (!view_ || !view_->isVisible())
        return;
    view_->setPosition(
        panelGeometry(view_->size(), trayGeometry_, availableGeometryFor(trayGeometry_, *view_)).topLeft());
}

void PanelView::show(QRect trayGeometry)
{
    ensureView();
    trayGeometry_ = trayGeometry;
    if (!view_->isVisible()) {
        awaitingFirstFrame_ = true;
        activatedSinceShow_ = false;
        view_->setPosition(
            panelGeometry(view_->size(), trayGeometry_, availableGeometryFor(trayGeometry_, *view_)).topLeft());
        view_->show();
    } else {
        place();
        view_->raise();
    }
    view_->requestActivate();
}

void PanelView::toggle(QRect trayGeometry)
{
    if (isVisible()) {
        hide();
        return;
    }
    if (closedByDeactivation_.isValid() && !closedByDeactivation_.hasExpired(kToggleGraceMs)) {
        closedByDeactivation_.invalidate();
        return;
    }
    show(trayGeometry);
}

void PanelView::hide()
{
    if (view_)
        view_->hide();
}

bool PanelView::isVisible() const
{
    return view_ && view_->isVisible();
}

QQuickWindow* PanelView::window() const
{
    return view_.get();
}

void PanelView::activeChanged()
{
    if (view_->isActive()) {
        activatedSinceShow_ = true;
        return;
    }
    // A window manager that never activated the panel must not make it vanish at once.
    if (view_->isVisible() && activatedSinceShow_) {
        closedByDeactivation_.start();
        view_->hide();
    }
}

bool PanelView::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == view_.get() && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
        hide();
        return true;
    }
    return QObject::eventFilter(watched, event);
}

}  // namespace tessary
