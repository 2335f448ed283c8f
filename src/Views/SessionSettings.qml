import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Ferrowyn.Core

// What tablets may start in a coding session. A change reaches the sessions opened after it; the agent starts
// again to take it, and the running sessions go on.
ColumnLayout {
    id: settings

    spacing: 6
    Layout.fillWidth: true

    RowLayout {
        spacing: 8
        Layout.fillWidth: true
        Text {
            text: "Programs tablets may start"
            font.pixelSize: 11
            font.weight: Font.Medium
            color: palette.placeholderText
        }
        TextField {
            id: programsField
            objectName: "sessionProgramsField"
            Layout.fillWidth: true
            text: Array.from(Preferences.sessionPrograms).join(", ")
            placeholderText: "none (names or paths, separated by commas)"
            font.family: "monospace"
            font.pixelSize: 12
            Accessible.name: "Programs tablets may start"
            onEditingFinished: {
                // Names separated by commas; the settings keep them trimmed, each once, blanks dropped.
                Preferences.sessionPrograms = programsField.text.split(",");
                // The list as it was kept, and again whenever it changes.
                programsField.text = Qt.binding(() => Array.from(Preferences.sessionPrograms).join(", "));
            }
        }
    }

    SettingSwitch {
        objectName: "allowShellSwitch"
        text: "Allow a terminal shell"
        checked: Preferences.allowShell
        onToggled: Preferences.allowShell = checked
    }

    Text {
        Layout.fillWidth: true
        text: "Changes apply to sessions opened from now on: the agent starts again to take them, tablets reconnect, and running sessions go on."
        textFormat: Text.PlainText
        wrapMode: Text.Wrap
        font.pixelSize: 10
        color: palette.placeholderText
    }
}
