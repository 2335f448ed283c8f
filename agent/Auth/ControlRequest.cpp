#include "Auth/ControlRequest.h"

#include "AgentLog.h"
#include "Auth/SecretComparison.h"
#include "Http/PeerAddress.h"

#include <QJsonDocument>
#include <QJsonObject>

ControlRequest::Answer ControlRequest::error(int status, const QString &message)
{
    return {status,
            QJsonDocument(QJsonObject{{QStringLiteral("error"), message}}).toJson(QJsonDocument::Compact)};
}

ControlRequest::ControlRequest(QString secret, PairingAuthenticator *authenticator,
                               TrustedDevicesWatcher *watcher)
    : m_secret(std::move(secret)), m_authenticator(authenticator), m_watcher(watcher)
{}

std::optional<ControlRequest::Answer> ControlRequest::refusal(const QHostAddress &peer,
                                                              const QByteArray &authorization) const
{
    if (!enabled())
        return error(404, QStringLiteral("not found"));
    // Through the ngrok tunnel a request comes from loopback too, but it carries no control secret: only the
    // host that launched the agent has it.
    if (!plainPeerAddress(peer).isLoopback())
        return error(403, QStringLiteral("control requests are taken from this computer only"));
    const QByteArray prefix("Bearer ");
    const bool bearer = authorization.startsWith(prefix);
    if (!secretsEqual(QString::fromUtf8(authorization.mid(bearer ? prefix.size() : 0)), m_secret) || !bearer)
        return error(401, QStringLiteral("wrong or missing control secret"));
    return std::nullopt;
}

ControlRequest::Answer ControlRequest::revoke(const QHostAddress &peer, const QByteArray &authorization,
                                              const QByteArray &body)
{
    if (const auto refused = refusal(peer, authorization))
        return *refused;
    QJsonParseError parseError{};
    const QJsonObject request = QJsonDocument::fromJson(body, &parseError).object();
    const QString deviceId = request.value(QStringLiteral("deviceId")).toString();
    const QString nonce = request.value(QStringLiteral("pairingNonce")).toString();
    if (parseError.error != QJsonParseError::NoError || deviceId.isEmpty() || nonce.isEmpty())
        return error(400, QStringLiteral("the body must name a deviceId and a new pairingNonce"));
    // The old setup link stops pairing even if the file cannot be changed.
    m_authenticator->replacePairingNonce(nonce);
    QString failure;
    const bool revoked = m_authenticator->revoke(deviceId, &failure);
    if (!failure.isEmpty()) {
        AgentLog::error(QStringLiteral("cannot revoke a device: %1").arg(failure));
        return error(500, failure);
    }
    AgentLog::event(
        revoked ? QStringLiteral("device revoked by the host; a new pairing nonce is in use")
                : QStringLiteral("the host revoked an unknown device; a new pairing nonce is in use"));
    // The sessions look again now rather than when the watcher's notice arrives.
    if (m_watcher)
        m_watcher->announce();
    return {200,
            QJsonDocument(QJsonObject{{QStringLiteral("revoked"), revoked}}).toJson(QJsonDocument::Compact)};
}
