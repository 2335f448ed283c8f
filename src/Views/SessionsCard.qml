import QtQuick
import QtQuick.Layouts
import Ferrowyn.Core
import Ferrowyn.Theme

// The coding sessions running on this computer, each with a way to end it, and what tablets may start.
SectionCard {
    id: card
    objectName: "sessionsCard"

    title: "Coding sessions"

    Note {
        objectName: "sessionsDamaged"
        visible: Presenter.sessions.damaged
        symbol: "exclamationmark.triangle.fill"
        color: Theme.orange
        text: "The agent's list of sessions cannot be read: the sessions are shown from their own folders, and no count of tablets is known."
    }

    Text {
        objectName: "noSessionsText"
        visible: Presenter.sessions.count === 0
        Layout.fillWidth: true
        text: "No coding session is running. A paired tablet opens one in a pinned folder."
        textFormat: Text.PlainText
        wrapMode: Text.Wrap
        font.pixelSize: 11
        color: palette.placeholderText
    }

    Repeater {
        model: Presenter.sessions
        delegate: SessionRow {
            onEndRequested: (sessionId, question) => {
                endConfirmation.active = true;
                (endConfirmation.item as EndSessionConfirmation).ask(sessionId, question);
            }
        }
    }

    Rectangle {
        Layout.fillWidth: true
        implicitHeight: 1
        color: Theme.separator
    }

    SessionSettings {
    }

    // One dialog for every row: a row may go (its session ended elsewhere) while the question is open. Made
    // when first asked; the loader holds only a popup, so it takes no place in the card.
    Loader {
        id: endConfirmation
        visible: false
        active: false
        sourceComponent: EndSessionConfirmation {
        }
    }
}
