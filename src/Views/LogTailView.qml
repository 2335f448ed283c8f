import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Ferrowyn.Core
import Ferrowyn.Theme

// The tail of the agent's output, already masked; error lines in red, the newest line kept in sight.
SectionCard {
    id: card
    readonly property var lines: Controller.lastLogLines

    title: "Agent log"

    Text {
        objectName: "emptyLog"
        visible: card.lines.length === 0
        text: "No output yet."
        font.pixelSize: 11
        color: palette.placeholderText
    }

    Rectangle {
        visible: card.lines.length > 0
        Layout.fillWidth: true
        implicitHeight: 160
        radius: 6
        color: Theme.logBackground
        clip: true

        Flickable {
            id: logBox
            objectName: "logBox"
            anchors.fill: parent
            anchors.margins: 8
            contentWidth: width
            contentHeight: logColumn.implicitHeight
            boundsBehavior: Flickable.StopAtBounds
            ScrollBar.vertical: ScrollBar { policy: ScrollBar.AsNeeded }

            readonly property int lineCount: logLines.count
            // Follow the tail when lines are added; a full buffer that only rotates stays where it is.
            onLineCountChanged: Qt.callLater(() => contentY = Math.max(0, contentHeight - height))

            Column {
                id: logColumn
                width: logBox.width
                spacing: 1

                Repeater {
                    id: logLines
                    model: card.lines
                    delegate: Text {
                        required property string modelData
                        width: logColumn.width
                        text: modelData
                        textFormat: Text.PlainText
                        wrapMode: Text.WrapAnywhere
                        font.family: "monospace"
                        font.pixelSize: 11
                        color: modelData.toLowerCase().indexOf("error") >= 0 ? Theme.red : palette.windowText
                    }
                }
            }
        }
    }
}
