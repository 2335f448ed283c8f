import QtQuick
import QtQuick.Controls

// A row of mutually exclusive segments; `picked` fires only for the user's choice.
TabBar {
    id: picker

    required property var titles
    property string accessibleName
    signal picked(int index)

    Accessible.name: accessibleName

    Repeater {
        model: picker.titles
        TabButton {
            required property string modelData
            required property int index
            text: modelData
            font.pixelSize: 12
            onClicked: picker.picked(index)
        }
    }
}
