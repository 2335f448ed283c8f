import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// A switch whose label wraps within the sidebar instead of running past its edge.
Switch {
    id: control

    Layout.fillWidth: true
    font.pixelSize: 12
    Accessible.name: text

    contentItem: Text {
        leftPadding: control.indicator ? control.indicator.width + control.spacing : 0
        text: control.text
        font: control.font
        wrapMode: Text.Wrap
        verticalAlignment: Text.AlignVCenter
        color: control.palette.windowText
        opacity: control.enabled ? 1.0 : 0.45
    }
}
