#include "agent/ui/panel/PanelPlugin.h"

#include "agent/ui/panel/PanelView.h"

namespace tessary {

std::unique_ptr<PanelWindow> PanelPlugin::createWindow(QObject& content, std::function<void()> firstFrameDrawn)
{
    auto view = std::make_unique<PanelView>(content);
    QObject::connect(view.get(), &PanelView::firstFrameDrawn, view.get(), std::move(firstFrameDrawn));
    return view;
}

}  // namespace tessary
