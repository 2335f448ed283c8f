import QtQuick

// A symbol of the window, drawn from the bundled icon font.
Text {
    property string name
    property real size: 14

    text: Symbols.glyph(name)
    font.family: Symbols.fontFamily
    font.pixelSize: size
    verticalAlignment: Text.AlignVCenter
    horizontalAlignment: Text.AlignHCenter
    Accessible.ignored: true
}
