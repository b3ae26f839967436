#include "agent/ui/TrayPanel.h"

#include "agent/ui/ContentModel.h"

namespace tessary {

TrayPanel::TrayPanel(ContentModel& content, std::filesystem::path modulePath, Logger logger, QObject* parent)
    : QObject(parent), content_(content), modulePath_(std::move(modulePath)), logger_(std::move(logger))
{
}

// The window goes before the module that made it; the module itself stays loaded for the process.
TrayPanel::~TrayPanel() = default;

PanelWindow* TrayPanel::ensureWindow()
{
    if (window_)
        return window_.get();
    if (!module_)
        module_ = std::make_unique<QPluginLoader>(QString::fromStdString(modulePath_.string()));
    auto* module = qobject_cast<PanelModule*>(module_->instance());
    if (!module) {
        // Tried again at the next click: an update may have mended the installation meanwhile.
        logger_.error("The panel could not be loaded: %@", {module_->errorString().toStdString()});
        module_.reset();
        return nullptr;
    }
    window_ = module->createWindow(content_, [this] { emit firstFrameDrawn(); });
    return window_.get();
}

void TrayPanel::show(QRect trayGeometry)
{
    if (auto* window = ensureWindow())
        window->show(trayGeometry);
}

void TrayPanel::toggle(QRect trayGeometry)
{
    if (auto* window = ensureWindow())
        window->toggle(trayGeometry);
}

void TrayPanel::hide()
{
    if (window_)
        window_->hide();
}

bool TrayPanel::isVisible() const
{
    return window_ && window_->isVisible();
}

QWindow* TrayPanel::window() const
{
    return window_ ? window_->window() : nullptr;
}

}  // namespace tessary
