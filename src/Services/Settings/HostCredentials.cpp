#include "Services/Settings/HostCredentials.h"

#include "Shared/AgentStaticKey.h"
#include "Shared/ReferenceDate.h"

#include <QJsonDocument>
#include <QJsonObject>

std::optional<QString> HostCredentials::agentPublicKey() const
{
    const std::optional<QByteArray> secret = AgentStaticKey::decode(agentKey);
    const std::optional<QByteArray> publicKey = secret ? AgentStaticKey::publicKeyOf(*secret) : std::nullopt;
    if (!publicKey)
        return std::nullopt;
    return AgentStaticKey::encode(*publicKey);
}

QByteArray HostCredentials::toJson() const
{
    const QJsonObject object{
        {QStringLiteral("hostId"), hostId},
        {QStringLiteral("hostToken"), hostToken},
        {QStringLiteral("relayToken"), relayToken},
        {QStringLiteral("relaySessionId"), relaySessionId},
        {QStringLiteral("pairingNonce"), pairingNonce},
        {QStringLiteral("relayVersion"), rawValue(relayVersion)},
        {QStringLiteral("createdAt"), ReferenceDate::secondsSinceEpoch(createdAt)},
        {QStringLiteral("rotatedAt"), ReferenceDate::secondsSinceEpoch(rotatedAt)},
    };
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

namespace {

// Absent and null read as empty; any other type spoils the record.
std::optional<QString> optionalString(const QJsonObject &object, const QString &key)
{
    const QJsonValue value = object.value(key);
    if (value.isUndefined() || value.isNull())
        return QString();
    if (!value.isString())
        return std::nullopt;
    return value.toString();
}

} // namespace

std::optional<HostCredentials> HostCredentials::fromJson(const QByteArray &json)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject object = document.object();

    const QJsonValue hostId = object.value(QStringLiteral("hostId"));
    const QJsonValue relaySessionId = object.value(QStringLiteral("relaySessionId"));
    const QJsonValue createdAt = object.value(QStringLiteral("createdAt"));
    const QJsonValue rotatedAt = object.value(QStringLiteral("rotatedAt"));
    const std::optional<HostRelayVersion> version =
        relayVersionFromRaw(object.value(QStringLiteral("relayVersion")).toString());
    if (!hostId.isString() || !relaySessionId.isString() || !createdAt.isDouble() || !rotatedAt.isDouble() ||
        !version)
        return std::nullopt;

    const std::optional<QString> hostToken = optionalString(object, QStringLiteral("hostToken"));
    const std::optional<QString> relayToken = optionalString(object, QStringLiteral("relayToken"));
    const std::optional<QString> pairingNonce = optionalString(object, QStringLiteral("pairingNonce"));
    if (!hostToken || !relayToken || !pairingNonce)
        return std::nullopt;

    HostCredentials credentials;
    credentials.hostId = hostId.toString();
    credentials.hostToken = *hostToken;
    credentials.relayToken = *relayToken;
    credentials.relaySessionId = relaySessionId.toString();
    credentials.pairingNonce = *pairingNonce;
    credentials.relayVersion = *version;
    credentials.createdAt = ReferenceDate::fromSecondsSinceEpoch(createdAt.toDouble());
    credentials.rotatedAt = ReferenceDate::fromSecondsSinceEpoch(rotatedAt.toDouble());
    return credentials;
}
