pragma Singleton
import QtQuick

// Colours and type sizes of the panel, in one place. The text colours are the darker variants of
// the system tints so that small captions stay legible on the light background.
QtObject {
    readonly property color background: "#f5f5f7"
    readonly property color border: "#c7c7cc"
    readonly property color divider: "#d8d8dc"
    readonly property color primary: "#1d1d1f"
    readonly property color secondary: "#6e6e73"
    readonly property color accent: "#0063d1"
    readonly property color accentPressed: "#004fa8"
    readonly property color green: "#1e7b34"
    readonly property color orange: "#c25400"
    readonly property color red: "#d0242f"
    readonly property color disabledFill: "#c8c8cd"

    readonly property int headlineSize: 13
    readonly property int calloutSize: 12
    readonly property int captionSize: 11
    readonly property int caption2Size: 10

    function tone(name: string): color {
        switch (name) {
        case "accent": return accent
        case "green": return green
        case "orange": return orange
        case "red": return red
        default: return secondary
        }
    }
}
