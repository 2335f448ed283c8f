import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Ferrowyn.Core
import Ferrowyn.Theme

// The toolbar with the hosting buttons above the pairing panel and the agent's output.
ColumnLayout {
    id: area

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
                color: Theme.stateColor(Presenter.runState, palette)
            }
            Text {
                id: headline
                objectName: "statusHeadline"
                Layout.fillWidth: true
                text: Presenter.statusHeadline
                font.pixelSize: 13
                font.weight: Font.Medium
                color: Presenter.runState === Presenter.Failed ? Theme.red : palette.windowText
                elide: Text.ElideRight
                textFormat: Text.PlainText
                HoverHandler { id: headlineHover }
                PlainToolTip {
                    visible: headlineHover.hovered && headline.truncated
                    quote: headline.text
                }
            }
            Text {
                objectName: "agentBuild"
                visible: Presenter.running
                text: "Agent " + Presenter.runningAgentBuild
                textFormat: Text.PlainText
                font.family: "monospace"
                font.pixelSize: 11
                color: palette.placeholderText
            }
            SymbolButton {
                objectName: "restartButton"
                visible: Presenter.running
                symbol: "arrow.clockwise"
                text: "Restart Hosting"
                pixelSize: 13
                onClicked: Presenter.restartHosting()
            }
            SymbolButton {
                objectName: "stopButton"
                visible: Presenter.canStop
                symbol: "stop.fill"
                text: "Stop"
                destructive: true
                pixelSize: 13
                onClicked: Presenter.requestEnding(false)
            }
            // Never beside Stop: while an agent starts, or waits to be started again, Stop is the way out.
            SymbolButton {
                objectName: "startButton"
                visible: !Presenter.canStop
                symbol: "play.fill"
                text: "Start hosting"
                pixelSize: 13
                onClicked: Presenter.startHosting()
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
        enabled: !Presenter.canStop
        onActivated: Presenter.startHosting()
    }
    Shortcut {
        sequence: "Escape"
        enabled: Presenter.canStop
        onActivated: Presenter.requestEnding(false)
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

            RowLayout {
                visible: Presenter.settingsFileNotice.length > 0
                Layout.fillWidth: true
                Note {
                    objectName: "settingsFileNotice"
                    symbol: "exclamationmark.triangle.fill"
                    text: Presenter.settingsFileNotice // Note shows it as plain text: it holds a path
                    color: Theme.orange
                    pixelSize: 13
                }
                IconButton {
                    objectName: "dismissSettingsFileNoticeButton"
                    symbol: "xmark.circle.fill"
                    tip: "Dismiss"
                    onClicked: Presenter.dismissSettingsFileNotice()
                }
            }
            SetupLinkView {
            }
            SessionsCard {
            }
            LogTailView {
            }
            Item { implicitHeight: 2 }
        }
    }
}
