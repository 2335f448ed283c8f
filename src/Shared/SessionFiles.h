#pragma once

#include <QProcessEnvironment>
#include <QString>

// Where the agent keeps its coding sessions on this computer, for the agent and for the host that lists, ends
// and attaches to them. Everything lives in one private folder (0700) that the agent creates: the sessions'
// state file, and one folder per session with the socket of the session's holder, its output history
// and its exit status.
namespace SessionFiles {
// "$XDG_RUNTIME_DIR/ferrowyn" when that variable names an absolute folder, else "/tmp/ferrowyn-<uid>".
QString runtimeFolder(const QProcessEnvironment &environment);
// The socket of a session's holder, which its readers connect to (see SessionHolderProtocol.h).
QString holderSocket(const QString &sessionFolder);
// How the session's program ended, which its holder writes before it exits.
QString endRecord(const QString &sessionFolder);
// The list of running sessions, rewritten atomically by the agent on every change (see agent/PROTOCOL.md).
QString stateFile(const QString &runtimeFolder);
// The folder holding one session's output history and exit status.
QString sessionFolder(const QString &runtimeFolder, const QString &sessionId);
// What the agent records of a session in its folder: its device, program and working folder among others.
QString sessionRecord(const QString &sessionFolder);
// The parent of every session folder.
QString sessionsFolder(const QString &runtimeFolder);
} // namespace SessionFiles
