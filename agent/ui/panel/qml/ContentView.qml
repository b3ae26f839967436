import QtQuick

// The panel's root: the wizard or the menu, as the content model says. Each side is built with the
// model of its moment, so the side going away never reads the other side's (null) model.
Rectangle {
    id: root

    required property QtObject contentModel

    implicitWidth: content.item ? content.item.implicitWidth : 200
    implicitHeight: content.item ? content.item.implicitHeight : 0
    width: implicitWidth
    height: implicitHeight
    color: Theme.background
    border.width: 1
    border.color: Theme.border

    function showContent() {
        if (root.contentModel.isSetUp)
            content.setSource("MenuBarView.qml", { model: root.contentModel.menu })
        else
            content.setSource("SetupWizardView.qml", { model: root.contentModel.wizard })
    }

    Loader {
        id: content

        anchors.fill: parent
        focus: true
    }

    Connections {
        target: root.contentModel
        function onSignalled(name) { if (name === "contentChanged") root.showContent() }
    }

    Component.onCompleted: showContent()
}
