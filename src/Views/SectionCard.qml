import QtQuick
import QtQuick.Layouts
import Ferrowyn.Theme

// A titled card: the title in small capitals above a rounded, tinted box holding the content.
ColumnLayout {
    id: card

    required property string title
    default property alias content: body.data

    spacing: 10
    Layout.fillWidth: true

    Text {
        text: card.title.toUpperCase()
        font.pixelSize: 10
        font.weight: Font.DemiBold
        font.letterSpacing: 0.6
        color: palette.placeholderText
        Accessible.role: Accessible.Heading
    }

    Rectangle {
        Layout.fillWidth: true
        implicitHeight: body.implicitHeight + 24
        radius: 10
        color: Theme.cardFill
        border.color: Theme.cardBorder
        border.width: 1

        ColumnLayout {
            id: body
            anchors.fill: parent
            anchors.margins: 12
            spacing: 10
        }
    }
}
