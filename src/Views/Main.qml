import QtQuick
import QtQuick.Controls
import Ferrowyn.Theme

ApplicationWindow {
    id: window

    title: "Ferrowyn Host"
    minimumWidth: 720
    minimumHeight: 540
    width: 980
    height: 700
    visible: true
    color: palette.window

    Binding {
        target: Theme
        property: "dark"
        value: window.palette.window.hslLightness < 0.5
    }

    HostMainView {
        anchors.fill: parent
    }
}
