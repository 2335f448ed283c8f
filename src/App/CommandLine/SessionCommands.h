#pragma once

#include <QJsonObject>
#include <QString>

#include <cstdio>

class SessionsWatcher;

// The command line's coding sessions: what the running host answers to --sessions, what the command line
// prints of it and asks before a request ends sessions, and --attach, which needs no running host.
namespace SessionCommands {

// The running host's answer to "sessions": {"sessions": [...], "agentRunning": bool, "damaged": bool}, each
// session with its id, folder, program, deviceId, deviceName, openedAt and tablets (null while no agent runs,
// when the count is not known).
QJsonObject list(const SessionsWatcher &sessions, bool agentRunning);
// What --sessions prints of that answer, a line per session; text from tablets and settings made printable.
QString listText(const QJsonObject &reply);
// The question to ask before `request` ("stop", "quit", "end-session" of `sessionId`) ends sessions the
// answer to "sessions" lists; empty when it ends none.
QString question(const QString &request, const QString &sessionId, const QJsonObject &reply);

// Attaches this terminal to the session until the detach key or the program's end; returns the exit status,
// having said on `err` why it cannot, or how it left.
int attach(const QString &id, std::FILE *err = stderr);

} // namespace SessionCommands
