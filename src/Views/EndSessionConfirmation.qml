import QtQuick
import QtQuick.Controls
import Ferrowyn.Core

// Asked before one coding session ends, with the words its row gives.
Dialog {
    id: dialog
    objectName: "endSessionConfirmation"
    property string sessionId
    property string question

    function ask(sessionId: string, question: string) {
        dialog.sessionId = sessionId;
        dialog.question = question;
        dialog.open();
    }

    parent: Overlay.overlay
    anchors.centerIn: parent
    modal: true
    title: "End this session?"
    standardButtons: Dialog.Cancel | Dialog.Ok
    onAccepted: Presenter.sessions.end(dialog.sessionId)

    Label {
        width: 380
        wrapMode: Text.Wrap
        textFormat: Text.PlainText
        text: dialog.question
    }
}
