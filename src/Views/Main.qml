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
            keepHostingQuestion.active = true;
            (keepHostingQuestion.item as KeepHostingDialog).open();
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

    // The questions are made when first asked: most runs never ask them.
    Loader {
        id: keepHostingQuestion
        active: false
        sourceComponent: KeepHostingDialog {}
    }

    Connections {
        target: keepHostingQuestion.item as KeepHostingDialog
        function onAnswered(keepHosting: bool) {
            if (keepHosting)
                window.hide();
            else
                Presenter.requestEnding(true);
        }
    }

    Connections {
        target: Presenter
        function onEndingNeedsConfirmation(title: string, question: string, quitting: bool) {
            endingQuestion.active = true;
            (endingQuestion.item as EndingConfirmation).ask(title, question, quitting);
        }
    }

    Loader {
        id: endingQuestion
        active: false
        sourceComponent: EndingConfirmation {}
    }

    // The tray's Stop and Quit ask here too: the question must be seen, so the window comes forward with it.
    Connections {
        target: endingQuestion.item as EndingConfirmation
        function onAboutToShow() {
            window.showNormal();
            window.raise();
            window.requestActivate();
        }
    }
}
