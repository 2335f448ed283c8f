import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Ferrowyn.Core
import Ferrowyn.Theme

// One coding session: its folder, its program, the tablet that opened it and since when, whether a tablet
// is attached now, and End. Everything here but the times and counts comes from tablets and settings.
RowLayout {
    id: row
    objectName: "sessionRow"
    required property string sessionId
    required property string folder
    required property string program
    required property string device
    required property string since
    required property string attachment

    // The row asks; the card holds the one question.
    signal endRequested(string sessionId, string question)

    Layout.fillWidth: true
    spacing: 8

    SymbolIcon {
        Layout.alignment: Qt.AlignTop
        name: "terminal"
        size: 15
        color: palette.highlight
    }

    ColumnLayout {
        Layout.fillWidth: true
        spacing: 2
        Text {
            id: folderText
            Layout.fillWidth: true
            text: row.folder
            textFormat: Text.PlainText
            elide: Text.ElideMiddle
            font.pixelSize: 12
            font.weight: Font.DemiBold
            color: palette.windowText
            HoverHandler { id: folderHover }
            PlainToolTip {
                visible: folderHover.hovered && folderText.truncated
                quote: row.folder
            }
        }
        Text {
            Layout.fillWidth: true
            text: row.program + " · opened by " + row.device + " · " + row.since
            textFormat: Text.PlainText
            wrapMode: Text.Wrap
            font.pixelSize: 11
            color: palette.windowText
        }
        Text {
            Layout.fillWidth: true
            text: row.attachment + " · on this computer: ferrowyn-host --attach " + row.sessionId
            textFormat: Text.PlainText
            wrapMode: Text.Wrap
            font.pixelSize: 10
            color: palette.placeholderText
        }
    }

    Button {
        objectName: "endSessionButton"
        Layout.alignment: Qt.AlignTop
        text: "End"
        font.pixelSize: 11
        onClicked: row.endRequested(row.sessionId, Presenter.sessions.endQuestion(row.sessionId))
    }
}
