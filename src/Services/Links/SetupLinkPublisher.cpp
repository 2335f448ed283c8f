#include "Services/Links/SetupLinkPublisher.h"

#include "Services/Links/LanAddress.h"
#include "Services/Links/SetupLinkComposer.h"
#include "Shared/NotifyingSetter.h"
#include "Shared/TunnelState.h"

#include <QSysInfo>

SetupLinkPublisher::SetupLinkPublisher(Hooks hooks, std::chrono::milliseconds refreshInterval,
                                       TunnelPollTimings pollTimings, QObject *parent)
    : QObject(parent), m_hooks(std::move(hooks)), m_tunnelPoller(new TunnelStatusPoller(pollTimings, this)),
      m_refresh(new QTimer(this))
{
    m_refresh->setInterval(refreshInterval);
    connect(m_refresh, &QTimer::timeout, this, [this] {
        // The refresh ends by itself once its agent or its settings are gone.
        const std::optional<HostingSettings> settings = m_hooks.settings();
        if (!m_hooks.agentRunning() || !settings) {
            m_refresh->stop();
            return;
        }
        recompute(*settings);
    });
}

void SetupLinkPublisher::setNetworkInterfaces(std::unique_ptr<NetworkInterfaces> interfaces)
{
    m_networkInterfaces = std::move(interfaces);
}

void SetupLinkPublisher::agentLaunched(bool wantsTunnel)
{
    setTunnel(wantsTunnel ? TunnelState::starting : TunnelState::disabled, {}, {});
}

void SetupLinkPublisher::agentRunning()
{
    const std::optional<HostingSettings> settings = m_hooks.settings();
    if (!settings)
        return;
    recompute(*settings);
    m_refresh->start();
    startTunnelPollingIfNeeded(*settings);
}

void SetupLinkPublisher::agentExited()
{
    stopRefreshAndPoll();
    setSetupLink({});
}

void SetupLinkPublisher::clear()
{
    stopRefreshAndPoll();
    setSetupLink({});
    setResolvedLANAddress({});
    setTunnel(TunnelState::disabled, {}, {});
}

void SetupLinkPublisher::trustedDevicesChanged(const QList<TrustedDevice> &devices)
{
    QSet<QString> pairings;
    for (const TrustedDevice &device : devices)
        pairings.insert(device.deviceId + QLatin1Char('\n') + device.pairedAt.toString(Qt::ISODate));
    const bool paired = !QSet(pairings).subtract(m_pairings).isEmpty();
    m_pairings = pairings;
    if (!paired)
        return;
    m_ticketSerial = PairingTicket::newSerial();
    m_appCodeSerial = PairingTicket::newSerial();
    const std::optional<HostingSettings> settings = m_hooks.settings();
    if (!m_setupLink.isEmpty() && settings)
        recompute(*settings);
}

void SetupLinkPublisher::stopRefreshAndPoll()
{
    m_tunnelPoller->cancel();
    m_refresh->stop();
}

void SetupLinkPublisher::recompute(const HostingSettings &settings)
{
    SetupLinkComposer::Inputs inputs{settings,
                                     m_hooks.credentials(),
                                     m_tunnelPublicURL,
                                     [this] { return bestLANAddress(m_networkInterfaces->addresses()); },
                                     m_ticketSerial,
                                     m_appCodeSerial,
                                     QSysInfo::machineHostName()};
    const SetupLinkComposer::Result result = SetupLinkComposer::compose(inputs);
    setResolvedLANAddress(result.resolvedLANAddress.value_or(QString()));
    setSetupLink(result.link.value_or(QUrl()), result.browserLink.value_or(QUrl()));
}

bool SetupLinkPublisher::tunnelSettled() const
{
    return m_tunnelState == TunnelState::online || m_tunnelState == TunnelState::failed;
}

void SetupLinkPublisher::startTunnelPollingIfNeeded(const HostingSettings &settings)
{
    m_tunnelPoller->cancel();
    if (!settings.wantsTunnel())
        return;
    TunnelStatusPoller::Hooks hooks;
    hooks.agentRunning = [this] {
        return m_hooks.settings() && m_hooks.agentRunning();
    };
    hooks.port = [this] {
        const std::optional<HostingSettings> settings = m_hooks.settings();
        return settings ? settings->lanPort : 0;
    };
    hooks.apply = [this](const std::optional<HostAgentTunnelStatus> &status) {
        applyTunnelStatus(status);
    };
    hooks.settled = [this] {
        return tunnelSettled();
    };
    hooks.timedOut = [this] {
        if (m_tunnelState == TunnelState::online)
            return;
        setTunnel(TunnelState::failed, m_tunnelPublicURL, tunnelTimeoutError);
        setSetupLink({});
    };
    m_tunnelPoller->start(std::move(hooks));
}

void SetupLinkPublisher::applyTunnelStatus(const std::optional<HostAgentTunnelStatus> &status)
{
    if (!status) {
        // Not listening yet, or an answer that could not be read: the tunnel is still on its way.
        if (m_tunnelState == TunnelState::disabled)
            setTunnel(TunnelState::starting, m_tunnelPublicURL, m_tunnelLastError);
        return;
    }
    setTunnel(tunnelStateFromRaw(status->state).value_or(TunnelState::unknown), status->publicUrl,
              status->lastError);
    if (m_tunnelState == TunnelState::online) {
        if (const std::optional<HostingSettings> settings = m_hooks.settings())
            recompute(*settings);
    } else if (m_tunnelState == TunnelState::failed)
        setSetupLink({});
}

void SetupLinkPublisher::setSetupLink(const QUrl &link, const QUrl &browserLink)
{
    if (m_setupLink == link && m_browserLink == browserLink)
        return;
    m_setupLink = link;
    m_browserLink = browserLink;
    emit setupLinkChanged();
}

void SetupLinkPublisher::setResolvedLANAddress(const QString &address)
{
    setAndNotify(this, &SetupLinkPublisher::resolvedLANAddressChanged, m_resolvedLANAddress, address);
}

void SetupLinkPublisher::setTunnel(TunnelState state, const QString &publicURL, const QString &lastError)
{
    // Each field announces its own change, so a view bound to one is not redrawn for the others.
    setAndNotify(this, &SetupLinkPublisher::tunnelStateChanged, m_tunnelState, state);
    setAndNotify(this, &SetupLinkPublisher::tunnelPublicURLChanged, m_tunnelPublicURL, publicURL);
    setAndNotify(this, &SetupLinkPublisher::tunnelLastErrorChanged, m_tunnelLastError, lastError);
}
