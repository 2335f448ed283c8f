#include "Sessions/SessionInfo.h"

#include "Shared/SessionFiles.h"

#include <QCryptographicHash>

QJsonObject SessionInfo::toJson() const
{
    return QJsonObject{{QStringLiteral("id"), id},
                       {QStringLiteral("folder"), folder},
                       {QStringLiteral("program"), program},
                       {QStringLiteral("deviceId"), deviceId},
                       {QStringLiteral("deviceName"), deviceName},
                       {QStringLiteral("pairing"), pairing},
                       {QStringLiteral("openedAt"), openedAt.toUTC().toString(Qt::ISODate)}};
}

std::optional<SessionInfo> SessionInfo::fromJson(const QJsonObject &object)
{
    SessionInfo info;
    info.id = object.value(QStringLiteral("id")).toString();
    info.folder = object.value(QStringLiteral("folder")).toString();
    info.program = object.value(QStringLiteral("program")).toString();
    info.deviceId = object.value(QStringLiteral("deviceId")).toString();
    info.deviceName = object.value(QStringLiteral("deviceName")).toString();
    info.pairing = object.value(QStringLiteral("pairing")).toString();
    info.openedAt = QDateTime::fromString(object.value(QStringLiteral("openedAt")).toString(), Qt::ISODate);
    if (info.id.isEmpty() || info.folder.isEmpty() || info.program.isEmpty() || info.deviceId.isEmpty() ||
        info.pairing.isEmpty() || !info.openedAt.isValid())
        return std::nullopt;
    return info;
}

QString SessionInfo::fileIn(const QString &folder)
{
    return SessionFiles::sessionRecord(folder);
}

QString SessionInfo::pairingOf(const QString &hostId)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(hostId.toUtf8(), QCryptographicHash::Sha256).toHex().left(32));
}
