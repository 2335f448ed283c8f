import QtQml

// What the folder list knows of its chooser: the chooser itself (PinFolderDialog.qml) is loaded by its file, so
// the window never names the dialogs module before a folder is pinned.
QtObject {
    signal openRequested
}
