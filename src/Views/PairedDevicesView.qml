import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Ferrowyn.Core
import Ferrowyn.Theme

// The tablets that can reach this computer, each with a way to cut it off.
ColumnLayout {
    id: devicesView
    spacing: 8

    Note {
        objectName: "devicesUnreadable"
        visible: Presenter.devices.unreadable
        symbol: "exclamationmark.triangle.fill"
        color: Theme.orange
        text: "The list of paired tablets cannot be read. Rotate Pairing revokes every tablet."
    }

    Text {
        objectName: "noDevicesText"
        visible: !Presenter.devices.unreadable && Presenter.devices.count === 0
        Layout.fillWidth: true
        text: "No tablet has paired yet."
        textFormat: Text.PlainText
        wrapMode: Text.Wrap
        font.pixelSize: 11
        color: palette.placeholderText
    }

    Repeater {
        model: Presenter.devices
        delegate: RowLayout {
            id: deviceRow
            objectName: "deviceRow"
            required property string deviceId
            required property string name
            required property string paired
            required property string lastSeen
            Layout.fillWidth: true
            spacing: 8

            ColumnLayout {
                Layout.fillWidth: true
                spacing: 2
                Text {
                    Layout.fillWidth: true
                    text: deviceRow.name
                    textFormat: Text.PlainText
                    elide: Text.ElideRight
                    font.pixelSize: 12
                    font.weight: Font.DemiBold
                    color: palette.windowText
                }
                Text {
                    Layout.fillWidth: true
                    text: deviceRow.paired + " · " + deviceRow.lastSeen
                    textFormat: Text.PlainText
                    wrapMode: Text.Wrap
                    font.pixelSize: 10
                    color: palette.placeholderText
                }
            }
            Button {
                objectName: "revokeButton"
                text: "Revoke"
                font.pixelSize: 11
                onClicked: {
                    confirmation.active = true;
                    (confirmation.item as RevokeDeviceConfirmation).ask(deviceRow.deviceId, deviceRow.name);
                }
            }

            // Made when first asked; the loader holds only a popup, so it takes no place in the row.
            Loader {
                id: confirmation
                visible: false
                active: false
                sourceComponent: RevokeDeviceConfirmation {}
            }
        }
    }
}
