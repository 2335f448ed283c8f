import QtQuick
import QtQuick.Controls
import Ferrowyn.Theme

// A borderless button that shows only a symbol; its tooltip is also its accessible name.
ToolButton {
    id: button

    required property string symbol
    required property string tip
    property color iconColor: palette.placeholderText

    flat: true
    padding: 2
    contentItem: SymbolIcon {
        name: button.symbol
        size: 15
        color: button.enabled ? button.iconColor : palette.mid
    }
    hoverEnabled: true
    PlainToolTip {
        visible: button.hovered
        quote: button.tip
    }
    Accessible.name: tip
}
