import QtQuick
import QtQuick.Controls
import Ferrowyn.Core

// Asked before Stop or Quit ends running coding sessions; the presenter says when and with which words.
Dialog {
    id: dialog
    objectName: "endingConfirmation"
    property string question
    property bool quitting

    parent: Overlay.overlay
    anchors.centerIn: parent
    modal: true
    standardButtons: Dialog.Cancel | Dialog.Ok
    onAccepted: Presenter.confirmEnding(dialog.quitting)

    function ask(title: string, question: string, quitting: bool) {
        dialog.title = title;
        dialog.question = question;
        dialog.quitting = quitting;
        dialog.open();
    }

    Label {
        width: 380
        wrapMode: Text.Wrap
        textFormat: Text.PlainText
        text: dialog.question
    }
}
