import QtQuick
import QtQuick.Layouts
import Ferrowyn.Core
import Ferrowyn.Theme

// Start-up switches, the pairing identity and its rotation, and what still needs the user's attention.
ColumnLayout {
    id: section

    spacing: 10
    Layout.fillWidth: true

    SettingSwitch {
        objectName: "startOnLaunchSwitch"
        text: "Start hosting when Ferrowyn Host opens"
        checked: Preferences.startHostingOnLaunch
        onToggled: Preferences.startHostingOnLaunch = checked
    }
    SettingSwitch {
        objectName: "openAtLoginSwitch"
        text: "Open Ferrowyn Host at login"
        checked: Preferences.openAtLogin
        onToggled: Preferences.openAtLogin = checked
    }
    SettingSwitch {
        objectName: "keepRelayOnlineSwitch"
        text: "Keep relay online"
        checked: Preferences.keepRelayOnline
        onToggled: Preferences.keepRelayOnline = checked
    }

    Rectangle {
        Layout.fillWidth: true
        implicitHeight: 1
        color: Theme.separator
    }

    LabeledValue {
        objectName: "hostIdRow"
        title: "Host ID"
        value: Presenter.hostIdText
    }
    LabeledValue {
        objectName: "relaySessionRow"
        visible: Presenter.relayMode
        title: "Relay session"
        value: Presenter.relaySessionText
    }

    SymbolButton {
        objectName: "rotatePairingButton"
        symbol: "arrow.triangle.2.circlepath"
        text: "Rotate Pairing"
        tip: Wording.rotatePairingTip
        destructive: true
        onClicked: Presenter.rotatePairing()
    }

    Note {
        objectName: "readinessWarning"
        visible: Presenter.readinessWarning.length > 0
        symbol: "exclamationmark.triangle.fill"
        text: Presenter.readinessWarning
        color: Theme.orange
    }

    Note {
        symbol: "info.circle"
        text: Wording.readinessNote
    }
}
