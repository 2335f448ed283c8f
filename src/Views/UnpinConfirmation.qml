import QtQuick
import QtQuick.Controls
import Ferrowyn.Core

// Asked before unpinning ends the coding sessions working in the folders (unpinning starts the agent again
// without them, which ends those sessions).
Dialog {
    id: dialog
    objectName: "unpinConfirmation"
    property list<string> paths
    property string question

    function ask(paths: list<string>, question: string) {
        dialog.paths = paths;
        dialog.question = question;
        dialog.open();
    }

    parent: Overlay.overlay
    anchors.centerIn: parent
    modal: true
    title: dialog.paths.length === 1 ? "Unpin this folder?" : "Unpin every folder?"
    standardButtons: Dialog.Cancel | Dialog.Ok
    onAccepted: {
        for (const path of dialog.paths)
            Presenter.removeWorkspace(path);
    }

    Label {
        width: 380
        wrapMode: Text.Wrap
        textFormat: Text.PlainText
        text: dialog.question
    }
}
