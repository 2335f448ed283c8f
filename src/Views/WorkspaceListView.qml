import QtQuick
import QtQuick.Layouts
import Ferrowyn.Core
import Ferrowyn.Theme

// The folders the tablet may open, each with its readiness, and the actions to pin, check and clear them.
SectionCard {
    id: card

    title: "Pinned folders"

    Note {
        objectName: "preflightSummary"
        readonly property bool blocked: Presenter.workspaces.summary === WorkspaceListModel.Blocked
        visible: Presenter.workspaces.summary !== WorkspaceListModel.Unchecked
        symbol: blocked ? "exclamationmark.triangle.fill" : "checkmark.circle.fill"
        text: blocked ? Wording.someFoldersBlocked
                      : "Pinned folders are ready for remote work."
        color: blocked ? Theme.orange : palette.placeholderText
    }

    Text {
        objectName: "noFoldersText"
        visible: Preferences.workspaces.length === 0
        Layout.fillWidth: true
        text: Wording.noFoldersPinned
        wrapMode: Text.Wrap
        font.pixelSize: 11
        color: palette.placeholderText
    }

    ColumnLayout {
        visible: Preferences.workspaces.length > 0
        spacing: 4
        Layout.fillWidth: true

        Repeater {
            objectName: "workspaceRows"
            model: Presenter.workspaces
            delegate: WorkspaceRow {
                onUnpinRequested: (path, question) => card.askUnpin([path], question)
            }
        }
    }

    Flow {
        spacing: 8
        Layout.fillWidth: true
        Layout.topMargin: 2

        SymbolButton {
            objectName: "pinFolderButton"
            symbol: "plus"
            text: "Pin folder\u2026"
            pixelSize: 11
            onClicked: {
                folderChooser.active = true;
                (folderChooser.item as FolderChooserLink).openRequested();
            }
        }
        SymbolButton {
            objectName: "checkAccessButton"
            symbol: "checkmark.shield"
            text: "Check access"
            pixelSize: 11
            enabled: Preferences.workspaces.length > 0
            onClicked: Presenter.refreshPermissionPreflight()
        }
        SymbolButton {
            objectName: "clearAllButton"
            visible: Preferences.workspaces.length > 0
            symbol: "minus.circle"
            text: "Clear all"
            destructive: true
            flat: true
            pixelSize: 11
            onClicked: {
                const question = Presenter.sessions.unpinQuestion(Preferences.workspaces, Preferences.workspaces);
                if (question === "")
                    Presenter.clearWorkspaces();
                else
                    card.askUnpin(Preferences.workspaces, question);
            }
        }
    }

    function askUnpin(paths: list<string>, question: string) {
        unpinQuestion.active = true;
        (unpinQuestion.item as UnpinConfirmation).ask(paths, question);
    }

    // Made when first asked; the loader holds only a popup, so it takes no place in the card.
    Loader {
        id: unpinQuestion
        visible: false
        active: false
        sourceComponent: UnpinConfirmation {
        }
    }

    // Made at the first press; the loader holds only a dialog, so it takes no place in the card.
    Loader {
        id: folderChooser
        visible: false
        active: false
        source: "PinFolderDialog.qml"
    }
}
