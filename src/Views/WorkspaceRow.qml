import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Ferrowyn.Core
import Ferrowyn.Theme

// One pinned folder: its name and path, its readiness badge, and what can be done with it.
Rectangle {
    id: row
    objectName: "workspaceRow"
    required property var modelData

    Layout.fillWidth: true
    implicitHeight: content.implicitHeight + 12
    radius: 6
    color: Theme.workspaceRowFill

    RowLayout {
        id: content
        anchors.fill: parent
        anchors.leftMargin: 8
        anchors.rightMargin: 8
        anchors.topMargin: 6
        anchors.bottomMargin: 6
        spacing: 6

        SymbolIcon {
            name: "folder.fill"
            size: 13
            color: palette.highlight
        }

        ColumnLayout {
            spacing: 1
            Layout.fillWidth: true
            Layout.minimumWidth: 40

            Text {
                Layout.fillWidth: true
                text: row.modelData.name
                font.pixelSize: 12
                font.weight: Font.Medium
                elide: Text.ElideMiddle
                color: palette.windowText
                textFormat: Text.PlainText
            }
            Text {
                Layout.fillWidth: true
                text: row.modelData.path
                font.family: "monospace"
                font.pixelSize: 10
                elide: Text.ElideMiddle
                color: palette.placeholderText
                textFormat: Text.PlainText
            }
            HoverHandler { id: pathHover }
            PlainToolTip {
                visible: pathHover.hovered
                text: row.modelData.path
            }
        }

        SymbolIcon {
            objectName: "statusBadge"
            visible: row.modelData.hasItem
            name: row.modelData.badgeSymbol
            size: 15
            color: Theme[row.modelData.badgeTint] !== undefined ? Theme[row.modelData.badgeTint] : palette.windowText
            Accessible.ignored: false
            Accessible.role: Accessible.Indicator
            Accessible.name: row.modelData.badgeTitle
            HoverHandler { id: badgeHover }
            PlainToolTip {
                visible: badgeHover.hovered
                text: row.modelData.message
            }
        }

        Button {
            id: grantButton
            objectName: "grantAccessButton"
            visible: row.modelData.showGrant
            text: "Grant Access"
            font.pixelSize: 11
            topPadding: 3
            bottomPadding: 3
            leftPadding: 6
            rightPadding: 6
            hoverEnabled: true
            PlainToolTip {
                visible: grantButton.hovered
                text: "Create a persistent Mac preflight grant for this folder."
            }
            onClicked: Presenter.grantFolderAccess(row.modelData.path)
        }

        IconButton {
            objectName: "revealButton"
            symbol: "arrow.up.right.square"
            tip: "Reveal in Finder"
            onClicked: Presenter.revealFolder(row.modelData.path)
        }

        IconButton {
            objectName: "removeButton"
            symbol: "minus.circle"
            tip: "Remove"
            iconColor: palette.windowText
            onClicked: Presenter.removeWorkspace(row.modelData.path)
        }
    }
}
