#include "Services/Links/SetupLinkComposer.h"

#include "Services/Links/SetupLinkBuilder.h"
#include "Services/Links/TunnelEndpoint.h"

SetupLinkComposer::Result SetupLinkComposer::compose(const Inputs &inputs, const QDateTime &now)
{
    Result result;
    if (inputs.mode == HostingMode::relay) {
        SetupLinkBuilder::RelayConfig config;
        config.relayURL = inputs.relayURL;
        config.session = inputs.relaySession;
        config.hostToken = inputs.hostToken;
        config.relayToken = inputs.relayToken;
        config.hostId = inputs.hostId;
        config.relayVersion = inputs.relayVersion;
        config.pairingNonce = inputs.pairingNonce;
        result.link = SetupLinkBuilder::relayLink(config, now);
        return result;
    }

    const QString port = QString::number(inputs.lanPort);
    if (inputs.ngrokTunnelEnabled) {
        // The agent is reached locally on the loopback address; the tablet comes through the tunnel.
        result.resolvedLANAddress = QStringLiteral("127.0.0.1:") + port;
        const std::optional<QString> endpoint = directTunnelWebSocketEndpoint(inputs.tunnelPublicURL);
        if (!endpoint)
            return result;
        SetupLinkBuilder::DirectTunnelConfig config;
        config.endpoint = *endpoint;
        config.token = inputs.hostToken;
        config.hostId = inputs.hostId;
        config.pairingNonce = inputs.pairingNonce;
        result.link = SetupLinkBuilder::directTunnelLink(config, now);
        return result;
    }

    QString host = QStringLiteral("127.0.0.1");
    if (inputs.lanBindAll && inputs.bestLANAddress)
        host = inputs.bestLANAddress().value_or(host);
    result.resolvedLANAddress = host + QLatin1Char(':') + port;
    SetupLinkBuilder::LANConfig config;
    config.host = host;
    config.port = inputs.lanPort;
    config.token = inputs.hostToken;
    config.hostId = inputs.hostId;
    config.pairingNonce = inputs.pairingNonce;
    result.link = SetupLinkBuilder::lanLink(config, now);
    return result;
}
