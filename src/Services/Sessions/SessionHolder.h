#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>

// The host's own word with a session's holder, for when no agent can be asked: ending the session through the
// holder's socket. The holder hangs up the program, records how it ended and exits; its folder is the next
// agent's to clear, which keeps that end for the tablets.
namespace SessionHolder {

// Asks the session's holder to end it. `done` follows on the context's thread once the holder is gone (or
// was gone already), unless the context is gone by then.
void end(const QString &runtimeFolder, const QString &id, QObject *context, std::function<void()> done = {});

// The same for each id, waiting at most `timeout` for each holder: for quitting, when no event loop follows.
void endAndWait(const QString &runtimeFolder, const QStringList &ids, std::chrono::milliseconds timeout);

} // namespace SessionHolder
