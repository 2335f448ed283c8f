pragma Singleton
import QtQuick

// The one table from the symbol names the window uses to glyphs of the bundled Material Icons font.
QtObject {
    readonly property string fontFamily: iconFont.name

    readonly property var glyphs: ({
        "macwindow.on.rectangle": "\ue30c",      // desktop_windows
        "circle.fill": "\uef4a",                 // circle
        "arrow.clockwise": "\ue5d5",             // refresh
        "stop.fill": "\ue047",                   // stop
        "play.fill": "\ue037",                   // play_arrow
        "key.viewfinder": "\ue0da",              // vpn_key
        "info.circle": "\ue88f",                 // info_outline
        "network": "\ue80b",                     // public
        "arrow.triangle.2.circlepath": "\ue863", // autorenew
        "exclamationmark.triangle.fill": "\ue002", // warning
        "ipad": "\ue331",                        // tablet_mac
        "timer": "\ue425",                       // timer
        "doc.on.doc": "\ue14d",                  // content_copy
        "checkmark": "\ue5ca",                   // check
        "checkmark.circle.fill": "\ue86c",       // check_circle
        "lock.circle": "\ue899",                 // lock_outline
        "xmark.circle.fill": "\ue5c9",           // cancel
        "folder.fill": "\ue2c7",                 // folder
        "plus": "\ue145",                        // add
        "checkmark.shield": "\ue8e8",            // verified_user
        "arrow.up.right.square": "\ue89e",       // open_in_new
        "minus.circle": "\ue15d",                // remove_circle_outline
        "terminal": "\ueb8e"                     // terminal
    })

    function glyph(name) {
        return glyphs[name] !== undefined ? glyphs[name] : "";
    }

    property FontLoader iconFont: FontLoader {
        source: "qrc:/Ferrowyn/Theme/MaterialIcons-Regular.ttf"
    }
}
