import QtQuick
import QtQuick.Controls

Dialog {
    id: dialog
    objectName: "ngrokInfoDialog"
    title: "About ngrok tunnel"
    modal: true
    parent: Overlay.overlay
    anchors.centerIn: parent
    standardButtons: Dialog.Ok

    Label {
        width: 420
        wrapMode: Text.Wrap
        text: "Direct Tunnel exposes the local host agent through a random ngrok URL so an iPad can connect away from home without using Ferrowyn Private Relay. It is useful when you want to avoid our relay path, but it depends on ngrok availability, account limits, and a URL that can change when hosting restarts. Private Relay is still the recommended default for remote work because it is managed for Ferrowyn, keeps resume/reconnect behavior, and avoids requiring users to understand third-party tunnel tradeoffs. Ferrowyn does not require saving an ngrok authtoken before starting, but ngrok may require a verified account and token to create the tunnel."
    }
}
