import QtQuick
import QtQuick.Controls

// A tool tip that shows its text as written. The attached ToolTip guesses rich text, and what a tool tip
// quotes here often comes from outside (ngrok, the agent, folder names): markup there could change the layout
// or make the window fetch an image from anywhere.
// Shown while `visible` holds, and made only then: nearly every button has one, and few are ever hovered. It
// covers the item it is declared in, so the tool tip stands where it would stand over that item.
Item {
    id: holder

    // What the tool tip says; not named "text", since this item draws nothing and only the tool tip shows it.
    property string quote

    anchors.fill: parent

    Loader {
        id: loader
        anchors.fill: parent
        active: holder.visible
        sourceComponent: ToolTip {
            id: tip

            visible: true
            contentItem: Text {
                text: tip.text
                font: tip.font
                wrapMode: Text.Wrap
                color: tip.palette.toolTipText
                textFormat: Text.PlainText
            }
        }
    }

    Binding {
        target: loader.item
        property: "text"
        value: holder.quote
        when: loader.item !== null
    }
}
