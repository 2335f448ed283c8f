import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Ferrowyn.Theme

// A push button with a symbol before its title.
Button {
    id: button

    required property string symbol
    property bool destructive: false
    property int pixelSize: 12

    font.pixelSize: pixelSize
    Accessible.name: text
    contentItem: RowLayout {
        spacing: 5
        SymbolIcon {
            name: button.symbol
            size: button.pixelSize + 2
            color: labelText.color
        }
        Text {
            id: labelText
            text: button.text
            font: button.font
            color: button.destructive ? (Theme.dark ? "#ff6961" : "#c0392b") : button.palette.buttonText
            opacity: button.enabled ? 1.0 : 0.4
        }
    }
}
