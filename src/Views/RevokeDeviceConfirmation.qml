import QtQuick
import QtQuick.Controls
import Ferrowyn.Core

// Asked before a paired tablet is cut off.
Dialog {
    id: dialog
    objectName: "revokeConfirmation"
    property string deviceId
    property string deviceName

    function ask(deviceId: string, deviceName: string) {
        dialog.deviceId = deviceId;
        dialog.deviceName = deviceName;
        dialog.open();
    }

    parent: Overlay.overlay
    anchors.centerIn: parent
    modal: true
    title: "Revoke this tablet?"
    standardButtons: Dialog.Cancel | Dialog.Ok
    onAccepted: Presenter.revokeDevice(dialog.deviceId)

    Label {
        width: 360
        wrapMode: Text.Wrap
        textFormat: Text.PlainText
        text: "\"" + dialog.deviceName + "\" is disconnected and can no longer connect. A new setup link replaces the current one; the other tablets stay paired."
    }
}
