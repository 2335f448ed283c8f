import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Ferrowyn.Core
import Ferrowyn.Theme

// Start-up switches, the pairing identity and its rotation, and what still needs the user's attention.
ColumnLayout {
    id: section

    required property HostPreferences preferences
    required property HostAgentController controller
    required property HostWindowPresenter presenter

    spacing: 10
    Layout.fillWidth: true

    Switch {
        objectName: "startOnLaunchSwitch"
        text: "Start hosting when Ferrowyn Host opens"
        font.pixelSize: 12
        checked: section.preferences.startHostingOnLaunch
        onToggled: section.preferences.startHostingOnLaunch = checked
    }
    Switch {
        objectName: "openAtLoginSwitch"
        text: "Open Ferrowyn Host at login"
        font.pixelSize: 12
        checked: section.preferences.openAtLogin
        onToggled: section.preferences.openAtLogin = checked
    }
    Switch {
        objectName: "keepRelayOnlineSwitch"
        text: "Keep relay online"
        font.pixelSize: 12
        checked: section.preferences.keepRelayOnline
        onToggled: section.preferences.keepRelayOnline = checked
    }

    Rectangle {
        Layout.fillWidth: true
        implicitHeight: 1
        color: Theme.separator
    }

    LabeledValue {
        objectName: "hostIdRow"
        title: "Host ID"
        value: section.presenter.hostIdText
    }
    LabeledValue {
        objectName: "relaySessionRow"
        visible: section.presenter.relayMode
        title: "Relay session"
        value: section.presenter.relaySessionText
    }

    SymbolButton {
        objectName: "rotatePairingButton"
        symbol: "arrow.triangle.2.circlepath"
        text: "Rotate Pairing"
        destructive: true
        onClicked: section.presenter.rotatePairing()
    }

    Note {
        objectName: "readinessWarning"
        visible: section.controller.readinessWarning.length > 0
        symbol: "exclamationmark.triangle.fill"
        text: section.controller.readinessWarning
        color: Theme.orange
    }

    Note {
        symbol: "info.circle"
        text: "Grant folder access here before leaving the Mac. Codex approvals can be handled on iPad; native macOS folder prompts require Mac preflight."
    }
}
