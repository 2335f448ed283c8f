#pragma once

// Whether the desktop shows tray icons the way Qt can draw them without Qt Widgets: a StatusNotifierWatcher
// on the session bus (KDE, or GNOME with the AppIndicator extension). Without one, a tray icon would only
// print errors, and closing the window must not hide the app where nobody can find it.
namespace StatusNotifierWatcher {
bool isPresent();
} // namespace StatusNotifierWatcher
