#include "Services/Sessions/SessionsState.h"

#include "Shared/SessionFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace {

constexpr int stateFormat = 1;

// The fields the state file and a session's own record share; the record has no count of tablets.
std::optional<HostedSession> sessionFrom(const QJsonObject &entry)
{
    HostedSession session;
    session.id = entry.value(QStringLiteral("id")).toString();
    if (!SessionsState::isSessionId(session.id))
        return std::nullopt;
    session.folder = entry.value(QStringLiteral("folder")).toString();
    session.program = entry.value(QStringLiteral("program")).toString();
    session.deviceId = entry.value(QStringLiteral("deviceId")).toString();
    session.deviceName = entry.value(QStringLiteral("deviceName")).toString();
    session.openedAt =
        QDateTime::fromString(entry.value(QStringLiteral("openedAt")).toString(), Qt::ISODate).toUTC();
    session.tablets = std::max(0, entry.value(QStringLiteral("tablets")).toInt());
    return session;
}

std::optional<QJsonArray> listedEntries(const QByteArray &bytes)
{
    const QJsonObject state = QJsonDocument::fromJson(bytes).object();
    const QJsonValue entries = state.value(QStringLiteral("sessions"));
    if (state.value(QStringLiteral("format")).toInt() != stateFormat || !entries.isArray())
        return std::nullopt;
    return entries.toArray();
}

} // namespace

bool SessionsState::isSessionId(const QString &id)
{
    return id.size() == 16 && std::all_of(id.cbegin(), id.cend(), [](QChar c) {
               return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f');
           });
}

SessionsState::Contents
SessionsState::parse(const std::optional<QByteArray> &stateFile, const QStringList &folderNames,
                     const std::function<QByteArray(const QString &id)> &sessionRecord)
{
    Contents contents;
    if (!stateFile)
        return contents;
    if (const std::optional<QJsonArray> entries = listedEntries(*stateFile)) {
        contents.status = Status::Listed;
        for (const QJsonValue entry : *entries) {
            const std::optional<HostedSession> session = sessionFrom(entry.toObject());
            if (session && folderNames.contains(session->id))
                contents.sessions.append(*session);
        }
    } else {
        contents.status = Status::Damaged;
        for (const QString &id : folderNames) {
            if (!isSessionId(id))
                continue;
            // A record that cannot be read still leaves a session to name and end.
            HostedSession session =
                sessionFrom(QJsonDocument::fromJson(sessionRecord(id)).object()).value_or(HostedSession());
            session.id = id;
            session.tablets = 0;
            contents.sessions.append(session);
        }
    }
    std::stable_sort(contents.sessions.begin(), contents.sessions.end(),
                     [](const HostedSession &a, const HostedSession &b) { return a.openedAt < b.openedAt; });
    return contents;
}

SessionsState::Contents SessionsState::read(const QString &runtimeFolder)
{
    QFile file(SessionFiles::stateFile(runtimeFolder));
    std::optional<QByteArray> bytes;
    if (file.open(QIODevice::ReadOnly))
        bytes = file.readAll();
    else if (file.exists())
        bytes = QByteArray(); // there, but unreadable: damaged
    return parse(bytes, folderIds(runtimeFolder), [&runtimeFolder](const QString &id) {
        QFile record(SessionFiles::sessionRecord(SessionFiles::sessionFolder(runtimeFolder, id)));
        return record.open(QIODevice::ReadOnly) ? record.readAll() : QByteArray();
    });
}

bool SessionsState::ended(const QString &runtimeFolder, const QString &id)
{
    return QFileInfo::exists(SessionFiles::endRecord(SessionFiles::sessionFolder(runtimeFolder, id)));
}

QStringList SessionsState::folderIds(const QString &runtimeFolder)
{
    QStringList ids =
        QDir(SessionFiles::sessionsFolder(runtimeFolder)).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    ids.removeIf(
        [&runtimeFolder](const QString &id) { return !isSessionId(id) || ended(runtimeFolder, id); });
    return ids;
}
