import QtQuick
import QtQuick.Controls.Basic

// The panel while the device is not paired: screen A (not monitored) or B (code entry).
Item {
    id: root

    required property QtObject model

    readonly property bool showingSetup: root.model.showingSetup

    implicitWidth: showingSetup ? 280 : 200
    implicitHeight: showingSetup ? screenB.implicitHeight + 2 * screenB.anchors.margins
                                 : screenA.implicitHeight + 2 * screenA.anchors.margins

    // Columns rather than layouts: a wrapped text then knows its width, and so its height, before
    // the first frame, and the window opens at its final size.
    Column {
        id: screenA

        visible: !root.showingSetup
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.top: parent.top
        anchors.margins: 8
        spacing: 12

        Row {
            spacing: 8

            Image {
                anchors.verticalCenter: parent.verticalCenter
                width: 24
                height: 24
                source: "qrc:/tessary/images/TessaryShield.png"
                sourceSize: Qt.size(48, 48)
                fillMode: Image.PreserveAspectFit
                smooth: true
                mipmap: true
                Accessible.ignored: true
            }

            Text {
                anchors.verticalCenter: parent.verticalCenter
                text: "Tessary"
                color: Theme.primary
                font.pixelSize: Theme.headlineSize
                font.bold: true
                Accessible.role: Accessible.StaticText
                Accessible.name: text
            }
        }

        Text {
            width: parent.width
            text: "Not monitoring this account"
            color: Theme.secondary
            font.pixelSize: Theme.captionSize
            wrapMode: Text.WordWrap
            Accessible.role: Accessible.StaticText
            Accessible.name: text
        }

        Text {
            width: parent.width
            text: "To start monitoring, log into your child's account and tap Setup."
            color: Theme.secondary
            font.pixelSize: Theme.caption2Size
            wrapMode: Text.WordWrap
            Accessible.role: Accessible.StaticText
            Accessible.name: text
        }

        LinkButton {
            text: "Setup"
            onClicked: root.model.showingSetup = true
        }

        Divider {
            width: parent.width
        }

        UpdateLine {
            width: parent.width
            line: root.model.updateLine
        }
    }

    Column {
        id: screenB

        visible: root.showingSetup
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.top: parent.top
        anchors.margins: 24
        spacing: 20

        LinkButton {
            text: "Back"
            onClicked: root.model.showingSetup = false
        }

        Text {
            anchors.horizontalCenter: parent.horizontalCenter
            text: "Enter the 6-digit setup code\nfrom the parent dashboard"
            horizontalAlignment: Text.AlignHCenter
            color: Theme.secondary
            font.pixelSize: Theme.calloutSize
            Accessible.role: Accessible.StaticText
            Accessible.name: text
        }

        TextField {
            id: codeField

            anchors.horizontalCenter: parent.horizontalCenter
            width: 200
            placeholderText: "000000"
            // The model filters every edit; a rejected edit comes back through this binding.
            text: root.model.code
            onTextEdited: root.model.code = text
            onAccepted: root.model.call("returnPressed")
            font.family: "monospace"
            font.pixelSize: 20
            horizontalAlignment: TextInput.AlignHCenter
            inputMethodHints: Qt.ImhPreferNumbers
            Accessible.name: "Setup code"

            background: Rectangle {
                implicitWidth: 200
                implicitHeight: 36
                radius: 5
                color: "#ffffff"
                border.width: codeField.activeFocus ? 2 : 1
                border.color: codeField.activeFocus ? Theme.accent : Theme.border
            }
        }

        TextEdit {
            width: parent.width
            visible: root.model.errorMessage !== ""
            text: root.model.errorMessage
            readOnly: true
            selectByMouse: true
            wrapMode: TextEdit.Wrap
            horizontalAlignment: TextEdit.AlignHCenter
            color: Theme.red
            font.pixelSize: Theme.captionSize
            Accessible.role: Accessible.StaticText
            Accessible.name: text
        }

        Button {
            id: connectButton

            anchors.horizontalCenter: parent.horizontalCenter
            text: "Connect"
            enabled: root.model.canConnect
            font.pixelSize: Theme.calloutSize
            Accessible.name: text
            // The button template leaves a screen reader's press unanswered.
            Accessible.onPressAction: if (enabled) clicked()
            onClicked: root.model.call("submit")

            contentItem: Item {
                implicitWidth: 120
                implicitHeight: Math.max(label.implicitHeight, spinner.implicitHeight)

                Text {
                    id: label

                    anchors.centerIn: parent
                    visible: !root.model.isSubmitting
                    text: connectButton.text
                    font: connectButton.font
                    color: "#ffffff"
                    Accessible.ignored: true
                }

                BusyIndicator {
                    id: spinner

                    anchors.centerIn: parent
                    visible: root.model.isSubmitting
                    running: visible
                    implicitWidth: 16
                    implicitHeight: 16
                    padding: 0
                    palette.dark: "#ffffff"
                    Accessible.name: "Busy"
                }
            }

            background: Rectangle {
                implicitHeight: 28
                radius: 6
                color: !connectButton.enabled ? Theme.disabledFill
                                              : connectButton.pressed ? Theme.accentPressed : Theme.accent
                border.width: connectButton.visualFocus ? 2 : 0
                border.color: Theme.primary
            }
        }
    }

    Connections {
        target: root.model
        function onSignalled(name) { if (name === "codeFocusRequested") codeField.forceActiveFocus() }
    }

    Component.onCompleted: if (root.showingSetup) codeField.forceActiveFocus()
}
