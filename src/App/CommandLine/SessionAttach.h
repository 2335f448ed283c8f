#pragma once

#include <QString>

#include <cstdio>

// `ferrowyn-host --attach`: this terminal as one more reader of a session's holder, in raw mode, until the
// detach key, the program's end or a signal, after which the terminal is as it was. A blocking loop on the
// terminal: it runs in a command of its own, never in the window.
namespace SessionAttach {

// Attaches the terminal on standard input and output to the holder of the session in `sessionFolder`. Says
// on `err` why when it cannot, and how it left; returns the exit status.
int run(const QString &sessionFolder, const QString &id, std::FILE *err);

} // namespace SessionAttach
