#include "Auth/PairingAuthenticator.h"

#include "AgentLog.h"
#include "Auth/DeviceSecret.h"
#include "Auth/SecretComparison.h"

#include <QDateTime>

namespace {
constexpr qsizetype maxDeviceIdLength = 128;
constexpr qsizetype maxDeviceNameLength = 200;

AuthDecision refusal(AuthOutcome outcome)
{
    return {outcome, {}, {}};
}

bool isValidDevice(const AuthAttempt &attempt)
{
    return !attempt.deviceId.trimmed().isEmpty() && attempt.deviceId.size() <= maxDeviceIdLength &&
           attempt.deviceName.size() <= maxDeviceNameLength;
}
} // namespace

PairingAuthenticator::PairingAuthenticator(AgentSecrets secrets, TrustedDeviceStore store)
    : m_secrets(std::move(secrets)), m_store(std::move(store))
{}

AuthDecision PairingAuthenticator::verify(const AuthAttempt &attempt)
{
    if (!attempt.ticket.isEmpty())
        return verifyTicket(attempt);
    // Both comparisons run whatever the first one found, so timing says nothing about which one failed.
    const bool tokenMatches = secretsEqual(attempt.token, m_secrets.hostToken);
    const bool hostIdMatches = secretsEqual(attempt.hostId, m_secrets.hostId);
    if (!tokenMatches)
        return refusal(AuthOutcome::wrongToken);
    if (!hostIdMatches)
        return refusal(AuthOutcome::wrongHostId);
    if (!isValidDevice(attempt))
        return refusal(AuthOutcome::invalidDevice);
    if (const std::optional<TrustedDevice> device = m_store.find(attempt.deviceId, m_secrets.hostId))
        return verifyTrusted(attempt, *device);
    // The setup link's "pairing nonce" is a code made from the nonce like a ticket: the nonce itself, which
    // never expires and pairs any number of devices, is never shown and pairs nobody.
    return pair(attempt, attempt.pairingNonce);
}

AuthDecision PairingAuthenticator::verifyTicket(const AuthAttempt &attempt)
{
    if (!isValidDevice(attempt))
        return refusal(AuthOutcome::invalidDevice);
    if (m_store.find(attempt.deviceId, m_secrets.hostId))
        return refusal(AuthOutcome::wrongDeviceSecret);
    AuthDecision decision = pair(attempt, attempt.ticket);
    if (decision.outcome == AuthOutcome::newlyPaired) {
        decision.hostToken = m_secrets.hostToken;
        decision.hostId = m_secrets.hostId;
    }
    return decision;
}

AuthDecision PairingAuthenticator::pair(const AuthAttempt &attempt, const QString &code)
{
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const std::optional<QDateTime> latest = m_store.latestPairing(m_secrets.hostId);
    switch (m_tickets.check(code, m_secrets.pairingNonce, m_secrets.hostId, now,
                            latest ? std::optional(latest->toSecsSinceEpoch()) : std::nullopt)) {
    case PairingTickets::Verdict::forged:
        return refusal(AuthOutcome::wrongPairingCode);
    case PairingTickets::Verdict::expired:
        return refusal(AuthOutcome::expiredPairingCode);
    case PairingTickets::Verdict::used:
        return refusal(AuthOutcome::usedPairingCode);
    case PairingTickets::Verdict::valid:
        break;
    }
    const QString secret = DeviceSecret::generate();
    const QString hash = DeviceSecret::hash(secret);
    QString error;
    if (!m_store.add(attempt.deviceId, attempt.deviceName, m_secrets.hostId, QDateTime::currentDateTimeUtc(),
                     hash, &error, attempt.route))
        return refusal(AuthOutcome::trustNotSaved); // the code stays unused: the device may try again
    m_tickets.spend(code, now);
    return {AuthOutcome::newlyPaired, secret, hash};
}

AuthDecision PairingAuthenticator::verifyTrusted(const AuthAttempt &attempt, const TrustedDevice &device)
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    if (!device.secretHash.isEmpty()) {
        if (!DeviceSecret::matches(attempt.deviceSecret, device.secretHash))
            return refusal(AuthOutcome::wrongDeviceSecret);
        m_store.recordSeen(attempt.deviceId, m_secrets.hostId, attempt.route, now);
        return {AuthOutcome::trustedDevice, {}, device.secretHash};
    }
    // Paired before devices had secrets: its id alone still lets it in this once, and it leaves with a secret
    // that it must present from now on.
    const QString secret = DeviceSecret::generate();
    const QString hash = DeviceSecret::hash(secret);
    QString error;
    if (m_store.upgradeToSecret(attempt.deviceId, m_secrets.hostId, hash, attempt.route, now, &error))
        return {AuthOutcome::upgradedDevice, secret, hash};
    // Another attempt claimed the entry in between: it is now bound to that one's secret.
    if (error.isEmpty())
        return refusal(AuthOutcome::wrongDeviceSecret);
    // A file that cannot be written (the store has said so) must not lock out a device that worked before; it
    // is asked again next time.
    m_store.recordSeen(attempt.deviceId, m_secrets.hostId, attempt.route, now);
    return {AuthOutcome::trustedDevice, {}, {}};
}

bool PairingAuthenticator::stillTrusted(const QString &deviceId, const QString &secretHash) const
{
    const std::optional<TrustedDevice> device = m_store.find(deviceId, m_secrets.hostId);
    return device && device->secretHash == secretHash;
}

bool PairingAuthenticator::trusts(const QString &deviceId) const
{
    return m_store.find(deviceId, m_secrets.hostId).has_value();
}

bool PairingAuthenticator::revoke(const QString &deviceId, QString *error)
{
    return m_store.remove(deviceId, m_secrets.hostId, error);
}

bool PairingAuthenticator::accepted(AuthOutcome outcome)
{
    return outcome == AuthOutcome::trustedDevice || outcome == AuthOutcome::newlyPaired ||
           outcome == AuthOutcome::upgradedDevice;
}

QString PairingAuthenticator::describe(AuthOutcome outcome)
{
    switch (outcome) {
    case AuthOutcome::trustedDevice:
        return QStringLiteral("trusted device");
    case AuthOutcome::newlyPaired:
        return QStringLiteral("newly paired device");
    case AuthOutcome::upgradedDevice:
        return QStringLiteral("device paired before device secrets, issued its secret");
    case AuthOutcome::wrongToken:
        return QStringLiteral("wrong host token");
    case AuthOutcome::wrongHostId:
        return QStringLiteral("wrong host id");
    case AuthOutcome::wrongPairingCode:
        return QStringLiteral("untrusted device without a pairing code or ticket of the current pairing");
    case AuthOutcome::wrongDeviceSecret:
        return QStringLiteral("trusted device id without its device secret");
    case AuthOutcome::invalidDevice:
        return QStringLiteral("missing or oversized device id or name");
    case AuthOutcome::expiredPairingCode:
        return QStringLiteral("pairing code or ticket expired or not valid yet");
    case AuthOutcome::usedPairingCode:
        return QStringLiteral("pairing code or ticket already used");
    case AuthOutcome::trustNotSaved:
        return QStringLiteral("the trusted-devices file could not be written");
    }
    return {};
}
