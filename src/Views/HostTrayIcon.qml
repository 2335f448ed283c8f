import QtQuick
import Qt.labs.platform as Platform
import Ferrowyn.Core

// The app's place while its window is closed: the state as the icon, the status line as the tool tip, and
// the few actions that matter without the window. Present only where the desktop has a tray.
TrayIconLink {
    id: tray

    available: trayIcon.available

    property Platform.SystemTrayIcon trayIcon: Platform.SystemTrayIcon {
        visible: true
        // Resolved here: the icon takes its URL as it is given, and a relative one finds nothing.
        icon.source: Presenter.runState === Presenter.Running ? Qt.resolvedUrl("icons/tray-hosting.svg")
                   : Presenter.runState === Presenter.Failed ? Qt.resolvedUrl("icons/tray-error.svg")
                   : Qt.resolvedUrl("icons/tray-idle.svg")
        tooltip: Presenter.trayToolTip

        onActivated: tray.toggleWindowRequested()

        menu: Platform.Menu {
            Platform.MenuItem {
                text: Presenter.statusHeadline
                enabled: false
            }
            Platform.MenuSeparator {}
            Platform.MenuItem {
                text: "Show Ferrowyn Host"
                onTriggered: tray.showWindowRequested()
            }
            Platform.MenuItem {
                text: Presenter.canStop ? "Stop Hosting" : "Start Hosting"
                onTriggered: Presenter.canStop ? Presenter.requestEnding(false) : Presenter.startHosting()
            }
            Platform.MenuItem {
                text: "Copy Setup Link"
                visible: Presenter.hasSetupLink
                onTriggered: Presenter.copySetupLink()
            }
            Platform.MenuSeparator {}
            Platform.MenuItem {
                text: "Quit Ferrowyn Host"
                onTriggered: Presenter.requestEnding(true)
            }
        }
    }
}
