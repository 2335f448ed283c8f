import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Ferrowyn.Core
import Ferrowyn.Theme

// The tail of the agent's output, already masked; error lines in red, the newest line kept in sight.
SectionCard {
    id: card

    title: "Agent log"

    Text {
        objectName: "emptyLog"
        visible: logBox.count === 0
        text: "No output yet."
        font.pixelSize: 11
        color: palette.placeholderText
    }

    Rectangle {
        visible: logBox.count > 0
        Layout.fillWidth: true
        implicitHeight: 160
        radius: 6
        color: Theme.logBackground
        clip: true

        ListView {
            id: logBox
            objectName: "logBox"
            anchors.fill: parent
            anchors.margins: 8
            model: Presenter.log
            spacing: 1
            boundsBehavior: Flickable.StopAtBounds
            ScrollBar.vertical: ScrollBar { policy: ScrollBar.AsNeeded }
            // Follow the tail while the newest line is in sight; a reader who scrolled up stays put.
            property bool following: true
            onMovementEnded: following = atYEnd
            // Qt 6.4 describes Qt.callLater to qmllint as a property that may not be callable.
            onCountChanged: if (following) Qt.callLater(positionViewAtEnd) // qmllint disable type

            delegate: Text {
                required property string line
                required property bool isError
                width: ListView.view.width
                text: line
                textFormat: Text.PlainText
                wrapMode: Text.WrapAnywhere
                font.family: "monospace"
                font.pixelSize: 11
                color: isError ? Theme.red : palette.windowText
            }
        }
    }
}
