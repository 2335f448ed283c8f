import QtQuick
import QtQuick.Layouts
import Ferrowyn.Core

// How the tablet reaches this computer: the mode, then the relay's or the LAN listener's settings.
ColumnLayout {
    id: section
    signal ngrokInfoRequested
    signal restartRequested

    spacing: 10
    Layout.fillWidth: true

    SegmentedPicker {
        objectName: "modePicker"
        Layout.fillWidth: true
        accessibleName: "Mode"
        titles: ["Direct (LAN)", "Private Relay"]
        currentIndex: Preferences.mode
        onPicked: index => Preferences.mode = index
    }

    Text {
        Layout.fillWidth: true
        text: Presenter.relayMode ? "Routes through the configured relay so the iPad works from anywhere."
                                          : "iPad connects directly on LAN or through your ngrok tunnel."
        wrapMode: Text.Wrap
        font.pixelSize: 11
        color: palette.placeholderText
    }

    // Made only once the relay is chosen; the LAN's fields, which most hosts show, are made at start.
    Loader {
        id: relaySettings
        active: Presenter.relayMode
        visible: active
        Layout.fillWidth: true
        sourceComponent: RelaySettings {}
    }

    Connections {
        target: relaySettings.item as RelaySettings
        function onRestartRequested() {
            section.restartRequested();
        }
    }

    LanSettings {
        visible: !Presenter.relayMode
        onNgrokInfoRequested: section.ngrokInfoRequested()
        onRestartRequested: section.restartRequested()
    }

    // On every route: tablets that skip encryption are otherwise let in from this computer only.
    SettingSwitch {
        objectName: "allowUnencryptedClientsSwitch"
        text: "Allow unencrypted tablets (older apps)"
        checked: Preferences.allowUnencryptedClients
        onToggled: Preferences.allowUnencryptedClients = checked
    }
}
