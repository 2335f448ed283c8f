// The controller's pairing and folder access: the credentials the link carries, rotation, and the folder
// readiness and grants, apart from running the agent itself (HostAgentController.cpp).
#include "Services/HostAgentController.h"

#include "Services/Links/LanAddress.h"
#include "Services/Links/SetupLinkComposer.h"
#include "Services/Settings/HostPreferences.h"
#include "Services/Pairing/AgentControlRequest.h"
#include "Shared/AgentAddress.h"
#include "Shared/TrustedDevicesFile.h"

#include <QDir>
#include <QFile>

bool HostAgentController::agentIsRunning() const
{
    return m_agent && m_agent->phase() == AgentProcess::Phase::running;
}

void HostAgentController::setNetworkInterfaces(std::unique_ptr<NetworkInterfaces> interfaces)
{
    m_link->setNetworkInterfaces(std::move(interfaces));
}

void HostAgentController::recomputeSetupLink(HostPreferences *preferences)
{
    m_link->recompute(preferences);
}

HostCredentials HostAgentController::linkCredentials() const
{
    // The relay token and the nonce come from the store's copy in memory, which a rotation replaces; the
    // rest is what the running agent was given.
    HostCredentials credentials = m_credentialStore.cached().value_or(HostCredentials());
    credentials.hostToken = m_hostToken;
    credentials.hostId = m_hostId;
    credentials.relaySessionId = m_relaySession;
    return credentials;
}

QString HostAgentController::trustedDevicesPath()
{
    return AgentAddress::trustedDevicesPath(QDir::homePath());
}

void HostAgentController::revokeTrustedDevices()
{
    // Only the file: the folder and anything else the agent keeps there stay. A missing file is no error.
    QFile::remove(trustedDevicesPath());
}

void HostAgentController::forgetTrustedDevice(const QString &deviceId)
{
    QString error;
    if (!TrustedDevicesFile(trustedDevicesPath())
             .update(
                 [&deviceId](QList<TrustedDevice> &devices) {
                     return devices.removeIf(
                                [&deviceId](const TrustedDevice &d) { return d.deviceId == deviceId; }) > 0;
                 },
                 &error) &&
        !error.isEmpty())
        setReadinessWarning(
            QStringLiteral("The device could not be revoked: %1. Rotate Pairing revokes every "
                           "device.")
                .arg(error));
}

void HostAgentController::revokeDevice(const QString &deviceId, HostPreferences *preferences)
{
    if (!preferences || deviceId.isEmpty())
        return;
    const std::optional<HostCredentials> credentials = m_credentialStore.replacePairingNonce();
    if (!credentials) {
        // Without credentials no agent runs either: only the file holds the device.
        forgetTrustedDevice(deviceId);
        return;
    }
    // An agent that is up, even one not yet confirmed as running, holds the old nonce and may serve the
    // tablet.
    const auto agentIsUp = [this] {
        const AgentRunState::Kind kind = m_state.kind();
        return m_agent && (kind == AgentRunState::Kind::starting || kind == AgentRunState::Kind::running);
    };
    if (agentIsUp()) {
        AgentControlRequest::revokeDevice(
            m_agentPort, m_controlSecret, deviceId, credentials->pairingNonce, this,
            [this, agentIsUp, deviceId, preferences = QPointer<HostPreferences>(preferences)](bool done) {
                if (!preferences)
                    return;
                if (!done) {
                    forgetTrustedDevice(deviceId);
                    if (agentIsUp())
                        start(preferences);
                }
                recomputeSetupLink(preferences);
            });
        return;
    }
    forgetTrustedDevice(deviceId);
    // A launch on its way holds the old nonce: it starts again with the new one.
    if (m_pendingLaunch)
        start(preferences);
    else
        recomputeSetupLink(preferences);
}

void HostAgentController::rotatePairing(HostPreferences *preferences)
{
    if (!preferences)
        return;
    const HostCredentials credentials = m_credentialStore.rotate(preferences->relayVersion());
    revokeTrustedDevices();
    setHostToken(credentials.hostToken);
    setRelaySession(credentials.relaySessionId);
    setHostId(credentials.hostId);
    setCredentialRotatedAt(credentials.rotatedAt);
    // An agent still starting holds the old credentials as much as a running one: left alone, it would keep
    // accepting the revoked pairing while the link offered one it refuses.
    if (m_agent || m_pendingLaunch) {
        start(preferences);
        return;
    }
    recomputeSetupLink(preferences);
    // The new pairing works until the host restarts; the user must know it will not survive that.
    if (!m_credentialStore.lastKeyringError().isEmpty())
        setReadinessWarning(keyringUnavailableWarning);
}

void HostAgentController::refreshPermissionPreflight(HostPreferences *preferences)
{
    if (!preferences)
        return;
    QList<HostPermissionPreflightItem> items;
    const auto hasGrant = [this](const QString &path) {
        return m_permissionGrantStore.hasGrant(path);
    };
    for (const QString &path : preferences->workspaces())
        items.append(PermissionPreflight::check(path, hasGrant));
    m_permissionPreflightItems = items;
    emit permissionPreflightItemsChanged();
}

void HostAgentController::grantFolderAccess(const QString &path, HostPreferences *preferences)
{
    if (!preferences)
        return;
    if (!m_permissionGrantStore.grant(path)) {
        setReadinessWarning(accessNotGrantedWarning);
        return;
    }
    refreshPermissionPreflight(preferences);
    // A starting agent, too, must work inside the new grant.
    if (m_agent || m_pendingLaunch)
        start(preferences);
}
