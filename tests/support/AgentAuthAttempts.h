#pragma once

#include "AgentSecrets.h"
#include "Auth/PairingAuthenticator.h"
#include "Shared/PairingTicket.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>

// The agent's secrets as its unit tests give them ("token-1", "host_1", "nonce-1"), and a tablet's attempts
// to get in, as values and as the auth request on the wire.
inline namespace agent_auth_attempts {

inline QString compact(const QJsonObject &object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

inline QJsonObject parse(const QString &text)
{
    return QJsonDocument::fromJson(text.toUtf8()).object();
}

inline AgentSecrets secrets(const QString &nonce = QStringLiteral("nonce-1"))
{
    return {QStringLiteral("token-1"), QStringLiteral("host_1"), nonce, {}, {}, {}, {}};
}

// A pairing code or ticket as the host makes it, made `age` seconds ago with this nonce.
inline QString pairingCode(const QString &nonce = QStringLiteral("nonce-1"), qint64 age = 0)
{
    const qint64 expiresAt = QDateTime::currentSecsSinceEpoch() - age + PairingTicket::lifetimeSeconds;
    return *PairingTicket::make(nonce, "host_1", expiresAt, PairingTicket::newSerial());
}

// With a pairing code made now with `nonce`, when one is given, as a tablet pairs with the app link.
inline AuthAttempt attempt(const QString &deviceId, const QString &deviceSecret, const QString &nonce = {},
                           const QString &token = QStringLiteral("token-1"))
{
    return {token,       QStringLiteral("host_1"), nonce.isEmpty() ? QString() : pairingCode(nonce),
            deviceId,    QStringLiteral("iPad"),   QStringLiteral("lan"),
            deviceSecret};
}

// A browser's pairing with a ticket, made `age` seconds ago with this nonce.
inline AuthAttempt byTicket(const QString &deviceId, const QString &nonce = QStringLiteral("nonce-1"),
                            qint64 age = 0)
{
    return {{}, {}, {}, deviceId, "iPad", "lan", {}, pairingCode(nonce, age)};
}

inline QString authText(const AuthAttempt &attempt)
{
    return compact({{"id", "a"},
                    {"method", "auth"},
                    {"params", QJsonObject{{"token", attempt.token},
                                           {"hostId", attempt.hostId},
                                           {"pairingNonce", attempt.pairingNonce},
                                           {"deviceId", attempt.deviceId},
                                           {"deviceName", attempt.deviceName},
                                           {"deviceSecret", attempt.deviceSecret},
                                           {"ticket", attempt.ticket}}}});
}

} // namespace agent_auth_attempts
