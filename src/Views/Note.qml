import QtQuick
import QtQuick.Layouts
import Ferrowyn.Theme

// A symbol before a wrapping line of explanation.
RowLayout {
    id: note

    required property string symbol
    required property string text
    property color color: palette.placeholderText
    property int pixelSize: 11

    spacing: 6
    Layout.fillWidth: true

    SymbolIcon {
        Layout.alignment: Qt.AlignTop
        name: note.symbol
        size: note.pixelSize + 2
        color: note.color
    }

    Text {
        Layout.fillWidth: true
        text: note.text
        wrapMode: Text.Wrap
        font.pixelSize: note.pixelSize
        color: note.color
        textFormat: Text.PlainText
    }
}
