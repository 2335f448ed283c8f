#include "Services/Folders/HostPermissionGrant.h"

#include "Shared/ReferenceDate.h"

QJsonObject HostPermissionGrant::toJson() const
{
    return QJsonObject{{QStringLiteral("path"), path},
                       {QStringLiteral("bookmark"), QString::fromLatin1(bookmark.toBase64())},
                       {QStringLiteral("grantedAt"), ReferenceDate::secondsSinceEpoch(grantedAt)}};
}

std::optional<HostPermissionGrant> HostPermissionGrant::fromJson(const QJsonObject &object)
{
    const QJsonValue path = object.value(QStringLiteral("path"));
    const QJsonValue bookmark = object.value(QStringLiteral("bookmark"));
    const QJsonValue grantedAt = object.value(QStringLiteral("grantedAt"));
    if (!path.isString() || !bookmark.isString() || !grantedAt.isDouble())
        return std::nullopt;
    const auto decoded = QByteArray::fromBase64Encoding(bookmark.toString().toLatin1(),
                                                        QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return std::nullopt;
    return HostPermissionGrant{path.toString(), *decoded,
                               ReferenceDate::fromSecondsSinceEpoch(grantedAt.toDouble())};
}
