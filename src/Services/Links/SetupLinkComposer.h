#pragma once

#include "Shared/AgentAddress.h"
#include "Shared/HostingMode.h"

#include <QDateTime>
#include <QString>
#include <QUrl>

#include <functional>
#include <optional>

// Decides which route the setup link takes and fills it from the settings and the pairing credentials.
namespace SetupLinkComposer {

struct Inputs {
    HostingMode mode = HostingMode::lan;
    bool ngrokTunnelEnabled = false;
    bool lanBindAll = true;
    int lanPort = AgentAddress::defaultPort;
    QString relayURL;
    HostRelayVersion relayVersion = HostRelayVersion::elixirV2;
    QString hostToken;
    QString hostId;
    QString relaySession;
    QString relayToken;
    QString pairingNonce;
    QString tunnelPublicURL;
    // Asked only when the LAN route listens on every interface.
    std::function<std::optional<QString>()> bestLANAddress;
};

struct Result {
    std::optional<QUrl> link;
    // Address and port at which the agent is reached locally; none in relay mode.
    std::optional<QString> resolvedLANAddress;
};

Result compose(const Inputs &inputs, const QDateTime &now = QDateTime::currentDateTimeUtc());

} // namespace SetupLinkComposer
