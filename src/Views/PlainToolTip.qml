import QtQuick
import QtQuick.Controls

// A tool tip that shows its text as written. The attached ToolTip guesses rich text, and what a tool tip
// quotes here often comes from outside (ngrok, the agent, folder names): markup there could change the layout
// or make the window fetch an image from anywhere.
ToolTip {
    id: tip

    contentItem: Text {
        text: tip.text
        font: tip.font
        wrapMode: Text.Wrap
        color: tip.palette.toolTipText
        textFormat: Text.PlainText
    }
}
