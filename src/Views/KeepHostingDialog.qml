import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Ferrowyn.Core

// Asked when the window closes while hosting and no tray can show that hosting goes on.
Dialog {
    id: dialog
    objectName: "keepHostingDialog"

    // Emitted with the user's answer; the window hides or the app quits.
    signal answered(bool keepHosting)

    title: "Keep hosting in the background?"
    modal: true
    parent: Overlay.overlay
    anchors.centerIn: parent
    closePolicy: Popup.CloseOnEscape

    function answer(keepHosting) {
        if (dontAsk.checked)
            Presenter.rememberCloseChoice(keepHosting);
        dialog.close();
        dialog.answered(keepHosting);
    }

    ColumnLayout {
        spacing: 12

        Label {
            Layout.preferredWidth: 380
            wrapMode: Text.Wrap
            text: "The tablet stays connected while Ferrowyn Host runs without its window. Open Ferrowyn Host again to see it, or run \"ferrowyn-host --quit\" to stop."
        }
        CheckBox {
            id: dontAsk
            objectName: "dontAskAgain"
            text: "Don't ask again"
        }
        RowLayout {
            Layout.alignment: Qt.AlignRight
            Button {
                objectName: "stopAndQuitButton"
                text: "Stop and Quit"
                onClicked: dialog.answer(false)
            }
            Button {
                objectName: "keepHostingButton"
                text: "Keep Hosting"
                highlighted: true
                onClicked: dialog.answer(true)
            }
        }
    }
}
