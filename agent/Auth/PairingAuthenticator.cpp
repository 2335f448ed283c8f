#include "Auth/PairingAuthenticator.h"

#include "Auth/SecretComparison.h"

#include <QDateTime>

namespace {
constexpr qsizetype maxDeviceIdLength = 128;
constexpr qsizetype maxDeviceNameLength = 200;
} // namespace

PairingAuthenticator::PairingAuthenticator(AgentSecrets secrets, TrustedDeviceStore store)
    : m_secrets(std::move(secrets)), m_store(std::move(store))
{}

AuthOutcome PairingAuthenticator::verify(const AuthAttempt &attempt)
{
    // Both comparisons run whatever the first one found, so timing says nothing about which one failed.
    const bool tokenMatches = secretsEqual(attempt.token, m_secrets.hostToken);
    const bool hostIdMatches = secretsEqual(attempt.hostId, m_secrets.hostId);
    if (!tokenMatches)
        return AuthOutcome::wrongToken;
    if (!hostIdMatches)
        return AuthOutcome::wrongHostId;
    if (attempt.deviceId.trimmed().isEmpty() || attempt.deviceId.size() > maxDeviceIdLength ||
        attempt.deviceName.size() > maxDeviceNameLength)
        return AuthOutcome::invalidDevice;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    if (m_store.isTrusted(attempt.deviceId, m_secrets.hostId)) {
        m_store.recordSeen(attempt.deviceId, m_secrets.hostId, attempt.route, now);
        return AuthOutcome::trustedDevice;
    }
    // Without a nonce of its own the agent pairs nobody: an empty nonce must not match an empty answer.
    if (m_secrets.pairingNonce.isEmpty() || !secretsEqual(attempt.pairingNonce, m_secrets.pairingNonce))
        return AuthOutcome::wrongPairingNonce;
    QString error;
    if (!m_store.add(attempt.deviceId, attempt.deviceName, m_secrets.hostId, now, &error, attempt.route))
        return AuthOutcome::trustNotSaved;
    return AuthOutcome::newlyPaired;
}

bool PairingAuthenticator::stillTrusted(const QString &deviceId) const
{
    return m_store.isTrusted(deviceId, m_secrets.hostId);
}

bool PairingAuthenticator::revoke(const QString &deviceId, QString *error)
{
    return m_store.remove(deviceId, m_secrets.hostId, error);
}

bool PairingAuthenticator::accepted(AuthOutcome outcome)
{
    return outcome == AuthOutcome::trustedDevice || outcome == AuthOutcome::newlyPaired;
}

QString PairingAuthenticator::describe(AuthOutcome outcome)
{
    switch (outcome) {
    case AuthOutcome::trustedDevice:
        return QStringLiteral("trusted device");
    case AuthOutcome::newlyPaired:
        return QStringLiteral("newly paired device");
    case AuthOutcome::wrongToken:
        return QStringLiteral("wrong host token");
    case AuthOutcome::wrongHostId:
        return QStringLiteral("wrong host id");
    case AuthOutcome::wrongPairingNonce:
        return QStringLiteral("untrusted device without the current pairing nonce");
    case AuthOutcome::invalidDevice:
        return QStringLiteral("missing or oversized device id or name");
    case AuthOutcome::trustNotSaved:
        return QStringLiteral("the trusted-devices file could not be written");
    }
    return {};
}
