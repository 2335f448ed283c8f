#pragma once

#include "Sessions/SessionPrograms.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QProcessEnvironment>
#include <QStringList>

#include <functional>

// How the agent talks to its private tmux server: the server itself (program, socket, environment), the
// command lines it sends, and one-off commands.
struct TmuxServer {
    QString tmux;
    QString socket;
    // The environment tmux starts its server with, and so every session's program.
    QProcessEnvironment environment;

    // The arguments after "tmux -S SOCKET -f /dev/null -C" that set the server up and open a session running
    // `program` in `folder`. Its exit status lands in `statusFile`, and the terminal shows `exitMarker`'s
    // sequence.
    QStringList newSessionArguments(const QString &id, const QString &folder, const SessionProgram &program,
                                    int columns, int rows, const QString &statusFile,
                                    const QString &exitMarker) const;
    // The arguments that attach to a running session and take its screen at that very moment: its answers are
    // the attachment, the screen's rows (with their colours) and "CURSOR_X CURSOR_Y ALTERNATE_SCREEN".
    QStringList attachArguments(const QString &id) const;
    // Runs `tmux -S SOCKET ARGUMENTS` without waiting; `done` gets its exit status and output. `context`
    // ending first cancels the call.
    void run(const QStringList &arguments, QObject *context,
             std::function<void(int status, const QByteArray &output)> done) const;
};

// The command lines that type `bytes` exactly into the session's pane: each run without a NUL byte through a
// paste buffer named `buffer` (as fast as a paste: tmux takes about 25 KB/s of single keys), NUL as a key.
QList<QByteArray> inputCommands(const QByteArray &bytes, const QByteArray &buffer);

// What a terminal shows the screen tmux captured: the alternate screen when it was on, the rows with their
// colours, and the cursor where it was.
QByteArray repaintFromCapture(const QList<QByteArray> &rows, const QByteArray &cursorLine);
