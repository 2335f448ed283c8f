import QtQuick
import QtQuick.Layouts

// A label over a one-line monospaced value, shortened in the middle; hovering shows it whole.
ColumnLayout {
    id: row

    required property string title
    required property string value

    spacing: 1
    Layout.fillWidth: true

    Text {
        text: row.title
        textFormat: Text.PlainText
        font.pixelSize: 10
        font.weight: Font.Medium
        color: palette.placeholderText
    }

    Text {
        id: valueText
        Layout.fillWidth: true
        text: row.value
        font.family: "monospace"
        font.pixelSize: 10
        color: palette.windowText
        elide: Text.ElideMiddle
        maximumLineCount: 1
        textFormat: Text.PlainText

        HoverHandler { id: hover }
        PlainToolTip {
            visible: hover.hovered && row.value.length > 0
            quote: row.value
        }
        Accessible.name: row.title + ": " + row.value
    }
}
