import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts

// The running version and the update link. The line model decides every text and tone; an empty
// action text without the spinner means there is no action row (the wizard once up to date).
ColumnLayout {
    id: root

    required property QtObject line

    spacing: 2

    LinkButton {
        id: action

        visible: !root.line.busy && root.line.actionText !== ""
        text: root.line.actionText
        color: Theme.tone(root.line.actionTone)
        onClicked: root.line.call("activate")
    }

    BusyIndicator {
        visible: root.line.busy
        running: visible
        // As tall as the link it stands in for, so the line does not jump between states.
        implicitWidth: action.implicitHeight
        implicitHeight: action.implicitHeight
        padding: 0
        palette.dark: Theme.secondary
        Accessible.name: "Busy"
    }

    Text {
        Layout.fillWidth: true
        text: root.line.versionText
        color: Theme.tone(root.line.versionTone)
        font.pixelSize: Theme.caption2Size
        elide: Text.ElideRight
        Accessible.role: Accessible.StaticText
        Accessible.name: text
    }
}
