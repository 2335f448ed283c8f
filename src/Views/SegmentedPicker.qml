pragma ComponentBehavior: Bound

import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// A row of mutually exclusive segments; the chosen one is filled with the highlight colour, so which is
// selected reads at a glance in light and dark. `picked` fires only for the user's choice.
Rectangle {
    id: picker

    required property var titles
    property int currentIndex: 0
    property string accessibleName
    signal picked(int index)

    implicitHeight: segments.implicitHeight + 4
    radius: 6
    color: palette.base
    border.color: palette.mid
    border.width: 1
    Accessible.role: Accessible.PageTabList
    Accessible.name: accessibleName

    RowLayout {
        id: segments
        anchors.fill: parent
        anchors.margins: 2
        spacing: 2

        Repeater {
            model: picker.titles
            AbstractButton {
                id: segment
                required property string modelData
                required property int index
                readonly property bool chosen: index === picker.currentIndex

                Layout.fillWidth: true
                Layout.preferredWidth: 1 // equal shares, whatever the titles' lengths
                padding: 5
                implicitWidth: implicitContentWidth + leftPadding + rightPadding
                implicitHeight: implicitContentHeight + topPadding + bottomPadding
                text: modelData
                checkable: true
                checked: chosen
                font.pixelSize: 12
                Accessible.role: Accessible.PageTab
                Accessible.name: text
                Accessible.checked: chosen
                onClicked: picker.picked(index)

                background: Rectangle {
                    radius: 4
                    color: segment.chosen ? segment.palette.highlight
                                          : segment.hovered ? segment.palette.midlight : "transparent"
                }
                contentItem: Text {
                    text: segment.text
                    font.pixelSize: segment.font.pixelSize
                    font.weight: segment.chosen ? Font.DemiBold : Font.Normal
                    horizontalAlignment: Text.AlignHCenter
                    verticalAlignment: Text.AlignVCenter
                    elide: Text.ElideRight
                    color: segment.chosen ? segment.palette.highlightedText : segment.palette.buttonText
                }
            }
        }
    }
}
