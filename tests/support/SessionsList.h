#pragma once

#include "Services/Sessions/SessionsState.h"
#include "Shared/SessionFiles.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QTest>

// One entry of the agent's list of sessions, as the agent writes it.
inline QJsonObject sessionEntry(const HostedSession &session)
{
    return {{"id", session.id},
            {"folder", session.folder},
            {"program", session.program},
            {"deviceId", session.deviceId},
            {"deviceName", session.deviceName},
            {"openedAt", session.openedAt.toString(Qt::ISODate)},
            {"tablets", session.tablets}};
}

// Sessions as an agent leaves them in its runtime folder: each with its folder, all in its list.
inline void listSessions(const QString &runtime, const QList<HostedSession> &sessions)
{
    QJsonArray entries;
    for (const HostedSession &session : sessions) {
        QVERIFY(QDir().mkpath(SessionFiles::sessionFolder(runtime, session.id)));
        entries.append(sessionEntry(session));
    }
    QSaveFile state(SessionFiles::stateFile(runtime));
    QVERIFY(state.open(QIODevice::WriteOnly));
    state.write(QJsonDocument(QJsonObject{{"format", 1}, {"sessions", entries}}).toJson());
    QVERIFY(state.commit());
}
