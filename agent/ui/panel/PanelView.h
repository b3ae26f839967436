#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QQuickWindow>
#include <QRect>
#include <QSize>

#include <memory>


class QQuickView;

namespace tessary {

// The panel the tray icon opens: a frameless window over ContentView.qml, sized to its content,
// placed next to the tray icon, closed by Escape or by clicking elsewhere. The QML engine is built
// on the first show.
class PanelView final : public QObject {
    Q_OBJECT

public:
    // `content` (the agent's ContentModel as a RemoteModel) must outlive the panel.
    explicit PanelView(QObject& content, QObject* parent = nullptr);
    ~PanelView() override;

    // A null `trayGeometry` (no tray, or a tray that does not tell) centres the panel on the screen.
    void show(QRect trayGeometry);
    void toggle(QRect trayGeometry);
    void hide();
    bool isVisible() const;

    // Null until the first show.
    QQuickWindow* window() const;

    // Where a panel of `panelSize` goes: below an icon in the upper half of the screen, above one
    // in the lower half, centred on the icon, kept inside `available`; centred when `trayGeometry`
    // is null.
    static QRect panelGeometry(QSize panelSize, QRect trayGeometry, QRect available);

signals:
    // The first frame after a show reached the screen.
    void firstFrameDrawn();
    void visibilityChanged(bool visible);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void ensureView();
    void place();
    void activeChanged();

    QObject& content_;
    std::unique_ptr<QQuickView> view_;
    QRect trayGeometry_;
    bool awaitingFirstFrame_ = false;
    bool activatedSinceShow_ = false;
    // Started when losing activation closed the panel: the click that did it may be the one on the
    // tray icon, whose activation must then not open the panel again.
    QElapsedTimer closedByDeactivation_;
};

}  // namespace tessary
