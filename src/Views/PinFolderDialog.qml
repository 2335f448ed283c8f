import QtQuick.Dialogs
import Ferrowyn.Core

// The chooser behind Pin folder…, made at the first press and kept, so it opens again where it was left.
FolderChooserLink {
    property FolderDialog dialog: FolderDialog {
        objectName: "pinFolderDialog"
        title: "Choose one or more folder shortcuts. Ferrowyn can still open folders from the iPad."
        acceptLabel: "Pin"
        onAccepted: Presenter.pinFolders([selectedFolder])
    }

    onOpenRequested: dialog.open()
}
