#pragma once

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

// One coding session as the host lists it: what the agent's state file says of it.
struct HostedSession {
    // 16 hex digits: it names the session's folder, so nothing else is ever taken for one.
    QString id;
    // The session's working folder and the program's name, as a tablet and the host's settings gave them.
    QString folder;
    QString program;
    QString deviceId;
    QString deviceName;
    QDateTime openedAt;
    // The conversations attached when the agent last wrote; stale while no agent runs.
    int tablets = 0;

    bool operator==(const HostedSession &) const = default;
};

// The agent's list of running sessions (sessions.json in the runtime folder, see agent/PROTOCOL.md), read as
// the host trusts it: a session is listed only while its folder exists and holds no record of its end, since
// a session that ended without an agent keeps its entry (and its folder, until an agent starts). A damaged
// list costs no session: each folder's own record of its session stands in for it.
namespace SessionsState {

enum class Status { Listed, Missing, Damaged };

struct Contents {
    Status status = Status::Missing;
    // Oldest first.
    QList<HostedSession> sessions;
};

// Whether `id` is one the agent makes, and so safe to put in a path.
bool isSessionId(const QString &id);

// From the state file's bytes (none when there is no file), the names of the session folders, and a reader
// of one session folder's own record (its session.json; empty when it cannot be read).
Contents parse(const std::optional<QByteArray> &stateFile, const QStringList &folderNames,
               const std::function<QByteArray(const QString &id)> &sessionRecord);

// The same from the runtime folder on disk.
Contents read(const QString &runtimeFolder);

// Whether the session's holder recorded how its program ended: it exits then, and leaves the folder to the
// next agent, which keeps that end for the tablets.
bool ended(const QString &runtimeFolder, const QString &id);

// The ids of every session folder whose program has not ended, the sessions an agent holds or left, whatever
// the state file says.
QStringList folderIds(const QString &runtimeFolder);

} // namespace SessionsState
