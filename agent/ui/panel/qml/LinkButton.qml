import QtQuick

// A caption text that acts on a single tap, reachable by Tab and announced and pressable as a link.
// A plain text rather than a button control: the controls reset their accessible role to Button.
Text {
    id: link

    signal clicked()

    color: Theme.accent
    font.pixelSize: Theme.captionSize
    font.underline: hover.hovered || link.activeFocus
    activeFocusOnTab: true

    Accessible.role: Accessible.Link
    Accessible.name: text
    Accessible.focusable: true
    Accessible.onPressAction: link.clicked()

    Keys.onSpacePressed: link.clicked()
    Keys.onReturnPressed: link.clicked()
    Keys.onEnterPressed: link.clicked()

    TapHandler {
        onTapped: link.clicked()
    }

    HoverHandler {
        id: hover
        cursorShape: Qt.PointingHandCursor
    }
}
