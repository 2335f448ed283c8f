import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Ferrowyn.Core
import Ferrowyn.Theme

// The toolbar with the hosting buttons above the pairing panel and the agent's output.
ColumnLayout {
    id: area

    required property HostPreferences preferences
    required property HostAgentController controller
    required property HostWindowPresenter presenter

    spacing: 0

    Rectangle {
        Layout.fillWidth: true
        implicitHeight: toolbar.implicitHeight + 24
        color: "transparent"

        RowLayout {
            id: toolbar
            anchors.fill: parent
            anchors.leftMargin: 20
            anchors.rightMargin: 20
            anchors.topMargin: 12
            anchors.bottomMargin: 12
            spacing: 12

            SymbolIcon {
                name: "circle.fill"
                size: 9
                color: Theme.stateColor(area.presenter.stateKind, palette)
            }
            Text {
                objectName: "statusHeadline"
                Layout.fillWidth: true
                text: area.presenter.statusHeadline
                font.pixelSize: 13
                font.weight: Font.Medium
                color: area.presenter.stateKind === "failed" ? Theme.red : palette.windowText
                elide: Text.ElideRight
                textFormat: Text.PlainText
            }
            Text {
                objectName: "agentBuild"
                visible: area.presenter.running
                text: "Agent " + area.controller.runningAgentBuild
                font.family: "monospace"
                font.pixelSize: 11
                color: palette.placeholderText
            }
            SymbolButton {
                objectName: "restartButton"
                visible: area.presenter.running
                symbol: "arrow.clockwise"
                text: "Restart Hosting"
                pixelSize: 13
                onClicked: area.presenter.restartHosting()
            }
            SymbolButton {
                objectName: "stopButton"
                visible: area.presenter.running
                symbol: "stop.fill"
                text: "Stop"
                destructive: true
                pixelSize: 13
                onClicked: area.presenter.stopHosting()
            }
            SymbolButton {
                objectName: "startButton"
                visible: !area.presenter.running
                symbol: "play.fill"
                text: "Start hosting"
                pixelSize: 13
                onClicked: area.presenter.startHosting()
            }
        }

        Rectangle {
            anchors.bottom: parent.bottom
            width: parent.width
            height: 1
            color: Theme.separator
        }
    }

    // The shortcuts belong to the buttons: each works only while its button is shown.
    Shortcut {
        sequences: ["Ctrl+Return", "Ctrl+Enter"]
        enabled: !area.presenter.running
        onActivated: area.presenter.startHosting()
    }
    Shortcut {
        sequence: "Escape"
        enabled: area.presenter.running
        onActivated: area.presenter.stopHosting()
    }

    ScrollView {
        id: detailScroll
        Layout.fillWidth: true
        Layout.fillHeight: true
        contentWidth: availableWidth

        ColumnLayout {
            width: detailScroll.availableWidth - 40
            x: 20
            y: 20
            spacing: 18

            SetupLinkView {
                preferences: area.preferences
                controller: area.controller
                presenter: area.presenter
            }
            LogTailView {
                controller: area.controller
            }
            Item { implicitHeight: 2 }
        }
    }
}
