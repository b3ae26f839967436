import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts

// The panel of a paired device.
Item {
    id: root

    required property QtObject model

    implicitWidth: 200
    implicitHeight: column.implicitHeight + 2 * column.anchors.margins

    ColumnLayout {
        id: column

        anchors.left: parent.left
        anchors.right: parent.right
        anchors.top: parent.top
        anchors.margins: 8
        spacing: 8

        StatusView {
            isMonitoring: root.model.isMonitoring
            text: root.model.statusText
        }

        Divider {}

        UpdateLine {
            Layout.fillWidth: true
            line: root.model.updateLine
        }

        Divider {
            visible: !root.model.isMonitoring
        }

        Button {
            id: resetButton

            visible: !root.model.isMonitoring
            text: "Reset Setup"
            leftPadding: 12
            rightPadding: 12
            topPadding: 4
            bottomPadding: 4
            font.pixelSize: Theme.calloutSize
            Accessible.name: text
            // The button template leaves a screen reader's press unanswered.
            Accessible.onPressAction: if (enabled) clicked()
            onClicked: root.model.call("reset")

            contentItem: Text {
                text: resetButton.text
                font: resetButton.font
                color: resetButton.pressed ? Qt.darker(Theme.red, 1.3) : Theme.red
                horizontalAlignment: Text.AlignHCenter
                verticalAlignment: Text.AlignVCenter
                Accessible.ignored: true
            }

            background: Rectangle {
                implicitHeight: 24
                radius: 5
                color: resetButton.pressed ? "#dcdce1" : "#ffffff"
                border.width: resetButton.visualFocus ? 2 : 1
                border.color: resetButton.visualFocus ? Theme.accent : Theme.border
            }
        }
    }
}
