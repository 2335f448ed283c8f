import QtQuick
import QtQuick.Layouts
import Ferrowyn.Core
import Ferrowyn.Theme

// The brand, the state in words and a dot in the state's colour.
Rectangle {
    id: header

    color: "transparent"
    implicitHeight: row.implicitHeight + 24

    RowLayout {
        id: row
        anchors.fill: parent
        anchors.leftMargin: 16
        anchors.rightMargin: 16
        anchors.topMargin: 12
        anchors.bottomMargin: 12
        spacing: 10

        SymbolIcon {
            name: "macwindow.on.rectangle"
            size: 18
            color: palette.highlight
        }

        ColumnLayout {
            spacing: 0
            Text {
                text: "Ferrowyn Host"
                font.pixelSize: 13
                font.weight: Font.DemiBold
                color: palette.windowText
            }
            Text {
                objectName: "headerLabel"
                text: Presenter.headerLabel
                textFormat: Text.PlainText
                font.pixelSize: 11
                color: palette.placeholderText
            }
        }

        Item { Layout.fillWidth: true }

        Rectangle {
            objectName: "headerDot"
            width: 8
            height: 8
            radius: 4
            color: Theme.stateColor(Presenter.runState, palette)
            Accessible.ignored: true
        }
    }

    Rectangle {
        anchors.bottom: parent.bottom
        width: parent.width
        height: 1
        color: Theme.separator
    }
}
