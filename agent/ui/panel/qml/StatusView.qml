import QtQuick
import QtQuick.Layouts

// Whether monitoring runs: a green or red dot and the headline the menu model gives.
RowLayout {
    id: root

    property bool isMonitoring: false
    property string text

    spacing: 8

    Rectangle {
        implicitWidth: 8
        implicitHeight: 8
        radius: 4
        color: root.isMonitoring ? Theme.green : Theme.red
        Accessible.ignored: true
    }

    Text {
        text: root.text
        color: Theme.primary
        font.pixelSize: Theme.headlineSize
        font.weight: Font.DemiBold
        Accessible.role: Accessible.StaticText
        Accessible.name: text
    }
}
