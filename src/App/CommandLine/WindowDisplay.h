#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <optional>

// Whether the window has a display to open on, asked before Qt is: without one, Qt's own platform plugins
// abort the program with advice that does not apply ("Reinstalling the application may fix this problem").
namespace WindowDisplay {

// Why the window cannot open, in one line that says how to host without it; none when a display is there or
// the platform asked for (-platform, QT_QPA_PLATFORM) needs none. arguments[0] is the program.
std::optional<QString> missing(const QStringList &arguments, const QProcessEnvironment &environment);

} // namespace WindowDisplay
