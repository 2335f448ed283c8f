import QtQml

// What the window knows of its tray icon: whether the desktop shows it, and what it asks of the window. The
// icon itself is loaded by its file (HostTrayIcon.qml), so the window never names the icon's module, which
// brings in Qt Widgets.
QtObject {
    // The window is the caller's: the icon only asks for it.
    signal toggleWindowRequested
    signal showWindowRequested

    property bool available
}
