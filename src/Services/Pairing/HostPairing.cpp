#include "Services/Pairing/HostPairing.h"

#include "Services/Pairing/AgentControlRequest.h"
#include "Shared/AgentAddress.h"
#include "Shared/NotifyingSetter.h"
#include "Shared/TrustedDevicesFile.h"

#include <QDir>
#include <QFile>
#include <QPointer>

HostPairing::HostPairing(UserDefaults &defaults, Keyring &keyring, QObject *parent)
    : QObject(parent), m_credentialStore(defaults, keyring)
{}

QString HostPairing::trustedDevicesPath()
{
    return AgentAddress::trustedDevicesPath(QDir::homePath());
}

QString HostPairing::useForLaunch(const HostCredentials &credentials, int agentPort)
{
    m_controlSecret = HostCredentialStore::randomBase64URL(32);
    m_agentPort = agentPort;
    setInUse(credentials);
    return m_controlSecret;
}

HostCredentials HostPairing::linkCredentials() const
{
    HostCredentials credentials = m_credentialStore.cached().value_or(HostCredentials());
    credentials.hostToken = m_hostToken;
    credentials.hostId = m_hostId;
    credentials.relaySessionId = m_relaySession;
    credentials.agentKey = m_agentKey;
    return credentials;
}

HostCredentials HostPairing::rotate(HostRelayVersion relayVersion)
{
    const HostCredentials credentials = m_credentialStore.rotate(relayVersion);
    // Only the file: the folder and anything else the agent keeps there stay. A missing file is no error.
    QFile::remove(trustedDevicesPath());
    emit revocationFailureChanged({});
    setInUse(credentials);
    return credentials;
}

void HostPairing::revokeDevice(const QString &deviceId, bool agentIsUp, QObject *context,
                               std::function<void(Revocation)> done)
{
    const std::optional<HostCredentials> credentials = m_credentialStore.replacePairingNonce();
    if (!credentials) {
        forgetTrustedDevice(deviceId);
        done(Revocation::withoutPairing);
        return;
    }
    if (!agentIsUp) {
        forgetTrustedDevice(deviceId);
        done(Revocation::inFile);
        return;
    }
    AgentControlRequest::revokeDevice(
        controlChannel(), deviceId, credentials->pairingNonce, this,
        [this, deviceId, context = QPointer(context), done = std::move(done)](bool revoked) {
            if (!context)
                return;
            if (revoked) {
                emit revocationFailureChanged({});
                done(Revocation::byAgent);
                return;
            }
            forgetTrustedDevice(deviceId);
            done(Revocation::inFileAgentUnreachable);
        });
}

void HostPairing::forgetTrustedDevice(const QString &deviceId)
{
    QString error;
    const auto remove = [&deviceId](QList<TrustedDevice> &devices) {
        return devices.removeIf([&deviceId](const TrustedDevice &d) { return d.deviceId == deviceId; }) > 0;
    };
    TrustedDevicesFile(trustedDevicesPath()).update(remove, &error);
    emit revocationFailureChanged(
        error.isEmpty()
            ? QString()
            : QStringLiteral("The device could not be revoked: %1. Rotate Pairing revokes every device.")
                  .arg(error));
}

QStringList HostPairing::secretsToMask(const std::optional<QString> &ngrokAuthtoken) const
{
    QStringList secrets{m_hostToken, m_relaySession, m_hostId, m_agentKey, m_controlSecret};
    if (ngrokAuthtoken) {
        // The store keeps the record in memory once loaded, so this does not reach the keyring per call.
        const HostCredentials credentials = m_credentialStore.cached().value_or(HostCredentials());
        secrets << credentials.relayToken << credentials.pairingNonce << *ngrokAuthtoken;
        // The agent and ngrok get the token trimmed, and that form is the one their output can show.
        if (ngrokAuthtoken->trimmed() != *ngrokAuthtoken)
            secrets << ngrokAuthtoken->trimmed();
    }
    return secrets;
}

void HostPairing::setInUse(const HostCredentials &credentials)
{
    // First, so whatever the signals below rebuild (the link) has it: only its public half is ever shown.
    m_agentKey = credentials.agentKey;
    setAndNotify(this, &HostPairing::hostTokenChanged, m_hostToken, credentials.hostToken);
    setAndNotify(this, &HostPairing::relaySessionChanged, m_relaySession, credentials.relaySessionId);
    setAndNotify(this, &HostPairing::hostIdChanged, m_hostId, credentials.hostId);
    setAndNotify(this, &HostPairing::rotatedAtChanged, m_rotatedAt, credentials.rotatedAt);
}
