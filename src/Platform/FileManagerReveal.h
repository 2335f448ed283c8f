#pragma once

#include <QString>

namespace FileManagerReveal {

// Asks the desktop's file manager to show the item selected in its parent folder (the freedesktop
// FileManager1 interface); without one on the session bus, opens the folder itself instead.
void reveal(const QString &path);

} // namespace FileManagerReveal
