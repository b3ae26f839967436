#pragma once

#include <QObject>

#include "agent/ui/PanelModule.h"

namespace tessary {

// The panel module's entry: builds the Qt Quick panel over the agent's content model.
class PanelPlugin final : public QObject, public PanelModule {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID TESSARY_PANEL_MODULE_IID)
    Q_INTERFACES(tessary::PanelModule)

public:
    std::unique_ptr<PanelWindow> createWindow(QObject& content, std::function<void()> firstFrameDrawn) override;
};

}  // namespace tessary
