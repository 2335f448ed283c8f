import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Ferrowyn.Core

ColumnLayout {
    id: fields
    signal restartRequested

    spacing: 6
    Layout.fillWidth: true

    Text {
        text: "Relay Version"
        font.pixelSize: 11
        font.weight: Font.Medium
        color: palette.placeholderText
    }
    SegmentedPicker {
        objectName: "relayVersionPicker"
        Layout.fillWidth: true
        accessibleName: "Relay Version"
        titles: ["v1 Go", "v2 Elixir"]
        currentIndex: Preferences.relayVersion
        onPicked: index => Preferences.relayVersion = index
    }
    Text {
        Layout.fillWidth: true
        text: Presenter.relayVersionDescription
        textFormat: Text.PlainText
        wrapMode: Text.Wrap
        font.pixelSize: 11
        color: palette.placeholderText
    }
    Text {
        text: "Relay URL"
        font.pixelSize: 11
        font.weight: Font.Medium
        color: palette.placeholderText
    }
    TextField {
        objectName: "relayURLField"
        Layout.fillWidth: true
        text: Preferences.relayURL
        placeholderText: "wss://.../relay"
        font.family: "monospace"
        font.pixelSize: 12
        Accessible.name: "Relay URL"
        onTextEdited: Preferences.relayURL = text
        onAccepted: fields.restartRequested()
    }
    Text {
        objectName: "relayRestartNote"
        Layout.fillWidth: true
        visible: Presenter.running
        text: "Relay URL edits apply after Restart Hosting. The v1/v2 selector restarts automatically."
        wrapMode: Text.Wrap
        font.pixelSize: 10
        color: palette.placeholderText
    }
    Note {
        symbol: "key.viewfinder"
        text: "Pairing credentials are persisted after first setup. Use Rotate Pairing only when you want connected iPads to re-pair."
    }
}
