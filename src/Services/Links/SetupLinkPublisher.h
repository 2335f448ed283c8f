#pragma once

#include "Platform/NetworkInterfaces.h"
#include "Services/Links/TunnelStatusPoller.h"
#include "Services/Settings/HostCredentials.h"
#include "Services/Settings/HostingSettings.h"
#include "Shared/PairingTicket.h"
#include "Shared/TrustedDevicesFile.h"
#include "Shared/TunnelState.h"

#include <QObject>
#include <QSet>
#include <QTimer>
#include <QUrl>

#include <functional>
#include <memory>

// What the tablet is told about reaching the running agent: the setup link of the current route, the LAN
// address it points at, and the ngrok tunnel's status while the route has one. It keeps the link fresh while
// the agent runs, so its expiry never lapses on screen. Main thread only.
class SetupLinkPublisher : public QObject {
    Q_OBJECT

public:
    inline static const QString tunnelTimeoutError = QStringLiteral("Timed out waiting for ngrok tunnel.");

    struct Hooks {
        // The pairing credentials the agent was given, as the link must carry them.
        std::function<HostCredentials()> credentials;
        // The agent is up; the refresh and the poll end once it is not.
        std::function<bool()> agentRunning;
        // The settings the agent runs with, as they are now; none once they are gone, which ends the refresh
        // and the poll too.
        std::function<std::optional<HostingSettings>()> settings;
    };

    SetupLinkPublisher(Hooks hooks, std::chrono::milliseconds refreshInterval, TunnelPollTimings pollTimings,
                       QObject *parent = nullptr);

    // Empty when there is no link.
    QUrl setupLink() const { return m_setupLink; }
    // The browser form of the same link; empty when there is no link or its route has no browser form. It
    // changes with the link, and setupLinkChanged() says so for both. The link's pairing code and the browser
    // form's ticket each pair one device: both are replaced when a device pairs (see
    // trustedDevicesChanged()).
    QUrl browserLink() const { return m_browserLink; }
    // Empty when none was chosen.
    QString resolvedLANAddress() const { return m_resolvedLANAddress; }
    TunnelState tunnelState() const { return m_tunnelState; }
    QString tunnelPublicURL() const { return m_tunnelPublicURL; }
    QString tunnelLastError() const { return m_tunnelLastError; }

    // Tests list interfaces of their own; the system's are used otherwise.
    void setNetworkInterfaces(std::unique_ptr<NetworkInterfaces> interfaces);

    // An agent was launched: its tunnel is on the way or disabled, and nothing is published yet.
    void agentLaunched(bool wantsTunnel);
    // The agent runs: the link is published and kept fresh, and a tunnel route is polled.
    void agentRunning();
    // Publishes the link of these settings' route and the local address it points at.
    void recompute(const HostingSettings &settings);
    // The agent exited: no link; the tunnel fields keep what they last said.
    void agentExited();
    // Hosting stopped: nothing is published.
    void clear();
    // The trusted devices of the current pairing, whenever their file changes. When a device paired since the
    // last call, the code or ticket shown may be the one it used (and the agent takes every one made before a
    // pairing as used): a published link gets a new code and ticket at once.
    void trustedDevicesChanged(const QList<TrustedDevice> &devices);

signals:
    void setupLinkChanged();
    void resolvedLANAddressChanged();
    void tunnelStateChanged();
    void tunnelPublicURLChanged();
    void tunnelLastErrorChanged();

private:
    void startTunnelPollingIfNeeded(const HostingSettings &settings);
    void applyTunnelStatus(const std::optional<HostAgentTunnelStatus> &status);
    void stopRefreshAndPoll();
    bool tunnelSettled() const;

    void setSetupLink(const QUrl &link, const QUrl &browserLink = {});
    void setResolvedLANAddress(const QString &address);
    void setTunnel(TunnelState state, const QString &publicURL, const QString &lastError);

    Hooks m_hooks;
    QUrl m_setupLink;
    QUrl m_browserLink;
    QString m_resolvedLANAddress;
    TunnelState m_tunnelState = TunnelState::disabled;
    QString m_tunnelPublicURL;
    QString m_tunnelLastError;
    QString m_ticketSerial = PairingTicket::newSerial();
    QString m_appCodeSerial = PairingTicket::newSerial();
    // Each trusted device's id and pairing time, as last told.
    QSet<QString> m_pairings;

    std::unique_ptr<NetworkInterfaces> m_networkInterfaces = std::make_unique<SystemNetworkInterfaces>();
    TunnelStatusPoller *m_tunnelPoller;
    QTimer *m_refresh;
};
