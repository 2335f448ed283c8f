#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>

// The host's own words with a session's tmux server, for when no agent can be asked: ending it, and attaching
// a terminal on this computer to it. Each session has a server of its own on a socket in its folder.
namespace SessionTmux {

// The PATH the host gives the agent, where the agent finds tmux and the programs sessions run.
QString toolPath();
// tmux as the agent finds it. Empty when it is not installed.
QString program();

// `tmux` followed by these attaches the terminal it runs in to the session; detaching leaves it running.
QStringList attachArguments(const QString &runtimeFolder, const QString &id);

// Ends the session's server, then removes the session's folder (tmux keeps its socket file). `done` follows
// on the context's thread, unless the context is gone by then.
void end(const QString &runtimeFolder, const QString &id, QObject *context, std::function<void()> done = {});

// The same for each id, waiting at most `timeout` for each server: for quitting, when no event loop follows.
void endAndWait(const QString &runtimeFolder, const QStringList &ids, std::chrono::milliseconds timeout);

} // namespace SessionTmux
