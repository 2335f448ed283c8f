#include "Services/Links/SetupLinkComposer.h"

#include "Services/Links/SetupLinkBuilder.h"
#include "Services/Links/TunnelEndpoint.h"

namespace {

std::optional<QUrl> noted(const std::optional<QUrl> &browserLink, const SetupLinkComposer::Inputs &inputs)
{
    if (!browserLink || inputs.computerName.isEmpty())
        return browserLink;
    return SetupLinkBuilder::withPairingNote(*browserLink, inputs.computerName,
                                             inputs.settings.workspaces.size());
}

} // namespace

SetupLinkComposer::Result SetupLinkComposer::compose(const Inputs &inputs, const QDateTime &now)
{
    const HostingSettings &settings = inputs.settings;
    Result result;
    if (settings.mode == HostingMode::relay) {
        result.link = SetupLinkBuilder::relayLink(settings.relayURL, settings.relayVersion,
                                                  inputs.credentials, inputs.appCodeSerial, now);
        return result;
    }

    const QString port = QString::number(settings.lanPort);
    if (settings.ngrokTunnelEnabled) {
        // The agent is reached locally on the loopback address; the tablet comes through the tunnel.
        result.resolvedLANAddress = QStringLiteral("127.0.0.1:") + port;
        const std::optional<QString> endpoint = directTunnelWebSocketEndpoint(inputs.tunnelPublicURL);
        if (endpoint) {
            result.link =
                SetupLinkBuilder::directTunnelLink(*endpoint, inputs.credentials, inputs.appCodeSerial, now);
            result.browserLink =
                noted(SetupLinkBuilder::tunnelBrowserLink(inputs.tunnelPublicURL, inputs.credentials,
                                                          inputs.ticketSerial, now),
                      inputs);
        }
        return result;
    }

    QString host = QStringLiteral("127.0.0.1");
    if (settings.lanBindAll && inputs.bestLANAddress)
        host = inputs.bestLANAddress().value_or(host);
    result.resolvedLANAddress = host + QLatin1Char(':') + port;
    result.link =
        SetupLinkBuilder::lanLink(host, settings.lanPort, inputs.credentials, inputs.appCodeSerial, now);
    result.browserLink = noted(SetupLinkBuilder::lanBrowserLink(host, settings.lanPort, inputs.credentials,
                                                                inputs.ticketSerial, now),
                               inputs);
    return result;
}
