import QtQuick
import QtQuick.Controls

ApplicationWindow {
    id: window
    title: "Ferrowyn Host"
    minimumWidth: 720
    minimumHeight: 540
    width: 960
    height: 640
    visible: true
}
