#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QString>

#include <optional>

// What the agent knows about a session besides its holder: kept in the session's folder, so that an agent
// that starts again knows which device opened it and for which pairing.
struct SessionInfo {
    QString id;
    // The resolved working folder and the program's name as the host allowed it.
    QString folder;
    QString program;
    QString deviceId;
    QString deviceName;
    // Digest of the host id the session was opened under: a rotated pairing ends the session.
    QString pairing;
    QDateTime openedAt;

    QJsonObject toJson() const;
    static std::optional<SessionInfo> fromJson(const QJsonObject &object);
    // The file in the session's folder.
    static QString fileIn(const QString &folder);
    // The pairing digest of a host id: not the id itself, which is a secret.
    static QString pairingOf(const QString &hostId);
};
