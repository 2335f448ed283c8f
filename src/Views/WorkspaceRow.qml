import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Ferrowyn.Core
import Ferrowyn.Theme

// One pinned folder: its name and path, its readiness badge, and what can be done with it.
Rectangle {
    id: row
    objectName: "workspaceRow"
    required property string path
    required property string name
    required property int readiness
    required property string badgeTitle
    required property string badgeSymbol
    required property string message
    required property bool canGrant

    // Unpinning would end coding sessions: the list asks first.
    signal unpinRequested(string path, string question)

    Layout.fillWidth: true
    implicitHeight: content.implicitHeight + 12
    radius: 6
    color: Theme.workspaceRowFill

    // The name and what can be done with the folder on top, the path below it at the row's full width (cut in
    // the middle, whole in its tool tip), and the grant when the folder needs one.
    ColumnLayout {
        id: content
        anchors.fill: parent
        anchors.leftMargin: 8
        anchors.rightMargin: 6
        anchors.topMargin: 6
        anchors.bottomMargin: 6
        spacing: 2

        RowLayout {
            spacing: 6
            Layout.fillWidth: true

            SymbolIcon {
                id: folderIcon
                name: "folder.fill"
                size: 13
                color: palette.highlight
            }
            Text {
                objectName: "workspaceName"
                Layout.fillWidth: true
                Layout.minimumWidth: 40
                text: row.name
                font.pixelSize: 12
                font.weight: Font.Medium
                elide: Text.ElideMiddle
                color: palette.windowText
                textFormat: Text.PlainText
            }
            SymbolIcon {
                objectName: "statusBadge"
                visible: row.readiness !== WorkspaceListModel.Unchecked
                name: row.badgeSymbol
                size: 15
                color: Theme.readinessColor(row.readiness, palette)
                Accessible.ignored: false
                Accessible.role: Accessible.Indicator
                Accessible.name: row.badgeTitle
                HoverHandler { id: badgeHover }
                PlainToolTip {
                    visible: badgeHover.hovered
                    quote: row.message
                }
            }
            IconButton {
                objectName: "revealButton"
                symbol: "arrow.up.right.square"
                tip: Wording.revealFolder
                onClicked: Presenter.revealFolder(row.path)
            }
            IconButton {
                objectName: "removeButton"
                symbol: "minus.circle"
                tip: "Remove"
                iconColor: palette.windowText
                onClicked: {
                    const question = Presenter.sessions.unpinQuestion([row.path], Preferences.workspaces);
                    if (question === "")
                        Presenter.removeWorkspace(row.path);
                    else
                        row.unpinRequested(row.path, question);
                }
            }
        }

        Text {
            objectName: "workspacePath"
            Layout.fillWidth: true
            Layout.leftMargin: folderIcon.width + 6
            text: row.path
            font.family: "monospace"
            font.pixelSize: 10
            elide: Text.ElideMiddle
            color: palette.placeholderText
            textFormat: Text.PlainText
            HoverHandler { id: pathHover }
            PlainToolTip {
                visible: pathHover.hovered
                quote: row.path
            }
        }

        Button {
            id: grantButton
            objectName: "grantAccessButton"
            visible: row.canGrant
            Layout.leftMargin: folderIcon.width + 6
            Layout.topMargin: 2
            text: "Grant Access"
            font.pixelSize: 11
            topPadding: 3
            bottomPadding: 3
            leftPadding: 6
            rightPadding: 6
            hoverEnabled: true
            PlainToolTip {
                visible: grantButton.hovered
                quote: Wording.grantAccessTip
            }
            onClicked: Presenter.grantFolderAccess(row.path)
        }
    }
}
