import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Ferrowyn.Core

ColumnLayout {
    id: fields
    signal ngrokInfoRequested
    signal restartRequested

    spacing: 6
    Layout.fillWidth: true

    SettingSwitch {
        objectName: "bindAllSwitch"
        text: "Listen on all interfaces (0.0.0.0)"
        checked: Preferences.lanBindAll
        enabled: !Preferences.ngrokTunnelEnabled
        onToggled: Preferences.lanBindAll = checked
    }

    RowLayout {
        spacing: 6
        Text {
            text: "Port"
            font.pixelSize: 11
            font.weight: Font.Medium
            color: palette.placeholderText
        }
        SpinBox {
            objectName: "portStepper"
            from: 1024
            to: 65535
            stepSize: 1
            editable: true
            value: Preferences.lanPort
            font.family: "monospace"
            font.pixelSize: 12
            Layout.minimumWidth: 120
            Accessible.name: "Port"
            // A port is a number, not an amount: never "8,765".
            textFromValue: (value, locale) => String(value)
            valueFromText: (text, locale) => parseInt(text, 10)
            validator: IntValidator { bottom: 1024; top: 65535 }
            onValueModified: Preferences.lanPort = value
        }
    }

    RowLayout {
        spacing: 8
        SettingSwitch {
            objectName: "ngrokSwitch"
            text: "Internet tunnel via ngrok"
            checked: Preferences.ngrokTunnelEnabled
            onToggled: Preferences.ngrokTunnelEnabled = checked
        }
        IconButton {
            objectName: "ngrokInfoButton"
            symbol: "info.circle"
            tip: "What ngrok tunnel does"
            onClicked: fields.ngrokInfoRequested()
        }
    }

    ColumnLayout {
        visible: Preferences.ngrokTunnelEnabled
        spacing: 6
        Layout.fillWidth: true

        RowLayout {
            spacing: 4
            Layout.fillWidth: true

            // Write-only: the saved token is never read back into the field, which only says that one is set.
            TextField {
                id: tokenField
                objectName: "ngrokTokenField"
                Layout.fillWidth: true
                echoMode: TextInput.Password
                placeholderText: Preferences.hasNgrokAuthtoken ? "ngrok authtoken saved (type to replace it)"
                                                               : "ngrok authtoken (optional)"
                font.family: "monospace"
                font.pixelSize: 12
                Accessible.name: "ngrok authtoken"
                onTextEdited: Preferences.setNgrokAuthtoken(text)
                onAccepted: fields.restartRequested()
            }
            IconButton {
                objectName: "forgetNgrokTokenButton"
                visible: Preferences.hasNgrokAuthtoken
                symbol: "minus.circle"
                tip: "Forget the ngrok authtoken"
                onClicked: {
                    tokenField.clear();
                    Preferences.setNgrokAuthtoken("");
                }
            }
        }
        Note {
            symbol: "network"
            text: "The tunnel exposes only the local host agent endpoint. You can try without a token; if ngrok requires a verified account or you want better account limits, add your authtoken."
        }
        LabeledValue {
            objectName: "tunnelRow"
            visible: Presenter.showTunnelRow
            title: "Tunnel"
            value: Presenter.tunnelStatusText
        }
    }
}
