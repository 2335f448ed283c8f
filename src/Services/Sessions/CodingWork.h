#pragma once

#include "Platform/FileProbe.h"

#include <QString>
#include <QStringList>

#include <functional>

// What remote coding work this computer offers: the programs tablets may start, what a pinned folder's
// verdict may promise of them, and the question asked before hosting ends the sessions.
namespace CodingWork {

// The one program tablets may start unless the user says otherwise.
inline const QString defaultProgram = QStringLiteral("codex");
// A ready folder's verdict, true only when Codex can run in a session here.
inline const QString codexReady = QStringLiteral("Ready for remote Codex work.");

// The programs as the host keeps them and passes them to the agent: trimmed, each once, in order. Blanks, the
// shell's reserved name (it has a switch of its own), names that would read as an option, names with control
// characters and relative paths (found nowhere) are dropped.
QStringList normalizedPrograms(const QStringList &names);

// The PATH the host gives the agent, where the agent finds the programs sessions run.
QString toolPath();
// Whether a program is there to start: an absolute path to an executable file, or a name found on the tool
// path (as the agent looks for it).
std::function<bool(const QString &name)> installedOn(const QString &toolPath, const FileProbe &probe);

// What a folder that is readable and writable is ready for, given what tablets may start.
QString readyMessage(const QStringList &programs, bool allowShell,
                     const std::function<bool(const QString &name)> &installed);

enum class Ending { stopHosting, quit };
// The title and the question to ask before `ending` ends `sessions` running sessions; empty when none runs.
QString endTitle(Ending ending);
QString endQuestion(int sessions, Ending ending);
// The question before one session ends; its folder and program are shown as they are.
QString endOneQuestion(const QString &program, const QString &folder);

// How many of the sessions working in `sessionFolders` (as the agent resolved them) end when the folders
// `removed` are unpinned: the agent then ends those that lie inside none of the folders still pinned.
int endedByUnpinning(const QStringList &sessionFolders, const QStringList &removed,
                     const QStringList &pinned);
// How many of the sessions working in `sessionFolders` an agent started with only the folders `pinned` ends.
int endedWithout(const QStringList &sessionFolders, const QStringList &pinned);
// The question before unpinning ends `sessions` running sessions; empty when it ends none.
QString unpinQuestion(int sessions);

} // namespace CodingWork
