// The controller's setup link, tunnel poll, pairing rotation and folder readiness: what it publishes about
// how the tablet reaches the agent, apart from running the agent itself (HostAgentController.cpp).
#include "Services/HostAgentController.h"

#include "Services/HostPreferences.h"
#include "Services/LanAddress.h"
#include "Services/SetupLinkComposer.h"
#include "Shared/AgentAddress.h"

#include <QDir>
#include <QFile>

bool HostAgentController::agentIsRunning() const
{
    return m_agent && m_agent->phase() == AgentProcess::Phase::running;
}

void HostAgentController::setNetworkInterfaces(std::unique_ptr<NetworkInterfaces> interfaces)
{
    m_networkInterfaces = std::move(interfaces);
}

void HostAgentController::recomputeSetupLink(HostPreferences *preferences)
{
    if (!preferences)
        return;
    // The relay token and the nonce come from the store's copy in memory, which a rotation replaces.
    const HostCredentials stored = m_credentialStore.cached().value_or(HostCredentials());
    SetupLinkComposer::Inputs inputs;
    inputs.mode = preferences->mode();
    inputs.ngrokTunnelEnabled = preferences->ngrokTunnelEnabled();
    inputs.lanBindAll = preferences->lanBindAll();
    inputs.lanPort = preferences->lanPort();
    inputs.relayURL = preferences->relayURL();
    inputs.relayVersion = preferences->relayVersion();
    inputs.hostToken = m_hostToken;
    inputs.hostId = m_hostId;
    inputs.relaySession = m_relaySession;
    inputs.relayToken = stored.relayToken;
    inputs.pairingNonce = stored.pairingNonce;
    inputs.tunnelPublicURL = m_tunnelPublicURL;
    inputs.bestLANAddress = [this] {
        return bestLANAddress(m_networkInterfaces->addresses());
    };

    const SetupLinkComposer::Result result = SetupLinkComposer::compose(inputs);
    setResolvedLANAddress(result.resolvedLANAddress.value_or(QString()));
    setSetupLink(result.link.value_or(QUrl()));
}

void HostAgentController::startSetupLinkRefresh(HostPreferences &preferences)
{
    m_refreshPreferences = &preferences;
    m_setupLinkRefresh->start();
}

void HostAgentController::cancelSetupLinkRefresh()
{
    m_setupLinkRefresh->stop();
    m_refreshPreferences = nullptr;
}

void HostAgentController::startTunnelPollingIfNeeded(HostPreferences &preferences)
{
    m_tunnelPoller->cancel();
    if (preferences.mode() != HostingMode::lan || !preferences.ngrokTunnelEnabled())
        return;
    QPointer<HostPreferences> weakPreferences(&preferences);
    TunnelStatusPoller::Hooks hooks;
    hooks.agentRunning = [this, weakPreferences] {
        return weakPreferences && agentIsRunning();
    };
    hooks.port = [weakPreferences] {
        return weakPreferences ? weakPreferences->lanPort() : 0;
    };
    hooks.apply = [this, weakPreferences](const std::optional<HostAgentTunnelStatus> &status) {
        applyTunnelStatus(status, weakPreferences);
    };
    hooks.settled = [this] {
        return m_tunnelState == rawValue(TunnelState::online) ||
               m_tunnelState == rawValue(TunnelState::failed);
    };
    hooks.timedOut = [this] {
        if (m_tunnelState == rawValue(TunnelState::online))
            return;
        setTunnelState(rawValue(TunnelState::failed));
        setTunnelLastError(tunnelTimeoutError);
        setSetupLink({});
    };
    m_tunnelPoller->start(std::move(hooks));
}

void HostAgentController::applyTunnelStatus(const std::optional<HostAgentTunnelStatus> &status,
                                            HostPreferences *preferences)
{
    if (!status) {
        // Not listening yet, or an answer that could not be read: the tunnel is still on its way.
        if (m_tunnelState.isEmpty() || m_tunnelState == rawValue(TunnelState::disabled))
            setTunnelState(rawValue(TunnelState::starting));
        return;
    }
    setTunnelState(status->state);
    setTunnelPublicURL(status->publicUrl);
    setTunnelLastError(status->lastError);
    if (m_tunnelState == rawValue(TunnelState::online))
        recomputeSetupLink(preferences);
    else if (m_tunnelState == rawValue(TunnelState::failed))
        setSetupLink({});
}

void HostAgentController::cancelTunnelPolling()
{
    m_tunnelPoller->cancel();
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
