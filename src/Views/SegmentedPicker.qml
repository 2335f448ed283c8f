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
            id: segment
            required property string modelData
            required property int index
            text: modelData
            font.pixelSize: 12
            // Through the attached bar, not the picker's id: qmllint 6.4 does not let a delegate with required
            // properties reach ids outside it.
            onClicked: (segment.TabBar.tabBar as SegmentedPicker).picked(segment.index)
        }
    }
}
