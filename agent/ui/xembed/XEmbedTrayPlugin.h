#pragma once

#include <QObject>

#include "agent/ui/XEmbedTrayModule.h"

namespace tessary {

// The XEmbed tray module's entry: a QApplication and Qt's own tray icon.
class XEmbedTrayPlugin final : public QObject, public XEmbedTrayModule {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID TESSARY_XEMBED_TRAY_MODULE_IID)
    Q_INTERFACES(tessary::XEmbedTrayModule)

public:
    std::unique_ptr<QCoreApplication> createApplication(int& argc, char** argv) override;
    std::unique_ptr<XEmbedTrayIcon> showIcon(const QString& imageFile, const QString& toolTip,
                                             std::function<void()> clicked) override;
};

}  // namespace tessary
