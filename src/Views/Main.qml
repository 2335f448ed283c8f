import QtQuick
import QtQuick.Controls
import Ferrowyn.Core
import Ferrowyn.Theme

ApplicationWindow {
    id: window

    title: "Ferrowyn Host"
    minimumWidth: 720
    minimumHeight: 540
    width: 980
    height: 700
    // Shown once the tray is known: an app started at login may stay in it.
    visible: false
    color: palette.window

    // The icon is made only where the desktop can show it.
    readonly property bool trayAvailable: trayLoader.item !== null && (trayLoader.item as TrayIconLink).available

    Component.onCompleted: {
        if (!Presenter.startsHidden(window.trayAvailable))
            window.visible = true;
    }

    onClosing: close => {
        switch (Presenter.closeAction(window.trayAvailable)) {
        case Presenter.HideWindow:
            break;
        case Presenter.AskFirst:
            close.accepted = false;
            keepHostingDialog.open();
            break;
        case Presenter.Quit:
            // Running coding sessions are asked about first; the window stays until the app ends.
            close.accepted = false;
            Presenter.requestEnding(true);
            break;
        }
    }

    Binding {
        target: Theme
        property: "dark"
        value: window.palette.window.hslLightness < 0.5
    }

    Shortcut {
        sequence: "Ctrl+Q"
        onActivated: Presenter.requestEnding(true)
    }

    HostMainView {
        anchors.fill: parent
    }

    // By its file, not its type: the icon's module brings in Qt Widgets, which a desktop without a tray
    // never needs.
    Loader {
        id: trayLoader
        active: Presenter.trayHostPresent
        source: "HostTrayIcon.qml"
    }

    Connections {
        target: trayLoader.item as TrayIconLink
        function onToggleWindowRequested() {
            if (window.visible)
                window.hide();
            else
                window.showNormal();
        }
        function onShowWindowRequested() {
            window.showNormal();
            window.raise();
            window.requestActivate();
        }
    }

    KeepHostingDialog {
        id: keepHostingDialog
        onAnswered: keepHosting => keepHosting ? window.hide() : Presenter.requestEnding(true)
    }

    // The tray's Stop and Quit ask here too: the question must be seen, so the window comes forward with it.
    EndingConfirmation {
        onAboutToShow: {
            window.showNormal();
            window.raise();
            window.requestActivate();
        }
    }
}
