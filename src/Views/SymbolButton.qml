import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Ferrowyn.Theme

// A push button with a symbol before its title, and a tool tip when it has one.
Button {
    id: button

    required property string symbol
    property string tip
    property bool destructive: false
    property int pixelSize: 12
    readonly property color labelColor: destructive ? (Theme.dark ? "#ff6961" : "#c0392b") : palette.buttonText

    font.pixelSize: pixelSize
    hoverEnabled: true
    Accessible.name: text
    Accessible.description: tip
    PlainToolTip {
        visible: button.hovered && button.tip.length > 0
        quote: button.tip
    }
    contentItem: RowLayout {
        spacing: 5
        SymbolIcon {
            name: button.symbol
            size: button.pixelSize + 2
            color: button.labelColor
        }
        Text {
            text: button.text
            font: button.font
            color: button.labelColor
            opacity: button.enabled ? 1.0 : 0.4
        }
    }
}
