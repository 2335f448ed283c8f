import QtQml
import QtQuick.Dialogs
import Ferrowyn.Core

// The chooser behind Pin folder…, shown as soon as it is made. The list loads it by its file, so the window
// does not load the dialogs module until the button is pressed.
FolderDialog {
    objectName: "pinFolderDialog"
    title: "Choose one or more folder shortcuts. Ferrowyn can still open folders from the iPad."
    acceptLabel: "Pin"
    onAccepted: Presenter.pinFolders([selectedFolder])
    Component.onCompleted: open()
}
