pragma Singleton
import QtQuick
import Ferrowyn.Core

// Colours shared by the views. Those that depend on the scheme follow `dark`, which the window keeps in step
// with the desktop's palette.
QtObject {
    property bool dark: false

    readonly property real sidebarBackgroundOpacity: dark ? 0.55 : 1.0
    readonly property color separator: dark ? Qt.rgba(1, 1, 1, 0.08) : Qt.rgba(0, 0, 0, 0.1)
    readonly property color cardFill: dark ? Qt.rgba(1, 1, 1, 0.04) : Qt.rgba(0, 0, 0, 0.025)
    readonly property color cardBorder: dark ? Qt.rgba(1, 1, 1, 0.08) : Qt.rgba(0, 0, 0, 0.1)
    readonly property color linkTextBackground: dark ? Qt.rgba(1, 1, 1, 0.06) : Qt.rgba(0, 0, 0, 0.04)
    readonly property color workspaceRowFill: dark ? Qt.rgba(1, 1, 1, 0.05) : Qt.rgba(0, 0, 0, 0.03)
    readonly property color logBackground: dark ? Qt.rgba(0, 0, 0, 0.25) : Qt.rgba(0, 0, 0, 0.04)

    // System-like accents, a shade lighter in the dark scheme so they keep their contrast.
    readonly property color green: dark ? "#32d74b" : "#28a745"
    readonly property color yellow: dark ? "#ffd60a" : "#c9a400"
    readonly property color orange: dark ? "#ff9f0a" : "#e67e00"
    readonly property color red: dark ? "#ff453a" : "#d70015"
    readonly property color runningGreen: Qt.rgba(0.3, 0.72, 0.42, 1.0)
    readonly property color placeholderFill: Qt.rgba(0.5, 0.5, 0.5, 0.15)

    // The colour of the hosting state: secondary when stopped, orange while starting or stopping, green
    // while running, red after a failure.
    function stateColor(state: int, palette): color {
        switch (state) {
        case Presenter.Starting:
        case Presenter.Stopping: return orange;
        case Presenter.Running: return runningGreen;
        case Presenter.Failed: return red;
        default: return palette.placeholderText;
        }
    }

    // The colour of a pinned folder's readiness badge.
    function readinessColor(readiness: int, palette): color {
        switch (readiness) {
        case WorkspaceListModel.Ready: return green;
        case WorkspaceListModel.ReadOnly: return yellow;
        case WorkspaceListModel.Blocked: return orange;
        case WorkspaceListModel.Missing:
        case WorkspaceListModel.NotFolder: return red;
        default: return palette.windowText;
        }
    }
}
