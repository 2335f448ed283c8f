#pragma once

#include "Shared/AgentAddress.h"

#include <QHostAddress>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <optional>
#include <utility>

// The agent's command line. Secrets never come from here; see AgentSecrets.
struct AgentOptions {
    QStringList workspaces;
    QHostAddress address = QHostAddress(QHostAddress::LocalHost);
    quint16 port = AgentAddress::defaultPort;
    bool ngrokTunnel = false;
    QString relayURL;
    // Only from the deprecated --relay-session; the session normally comes from the environment (see
    // AgentSecrets), which any local user cannot read.
    QString relaySession;
    QString relayCodecStatePath;
    // What tablets may start in a session: these programs, and the login shell when allowed.
    QStringList sessionPrograms;
    bool allowShell = false;
    // A mend for clients without encryption; see SecureChannel.
    bool allowUnencryptedClients = false;
    bool showHelp = false;
    bool showVersion = false;

    bool relayEnabled() const { return !relayURL.isEmpty(); }
};

struct AgentOptionsParseResult {
    std::optional<AgentOptions> options;
    // One line naming the problem when options is none.
    QString error;
};

// Arguments without the program name. Accepts "--name value" and "--name=value".
AgentOptionsParseResult parseAgentOptions(const QStringList &arguments);

// "HOST:PORT" with a dotted IPv4 address, "localhost", or a bracketed IPv6 address; port 0 to 65535
// (0 lets the system choose, which tests use).
std::optional<std::pair<QHostAddress, quint16>> parseListenAddress(const QString &text);

QString agentUsage();

#include "Shared/HostingMode.h"

// Which relay protocol to speak. The host names the codec state file after the relay version it chose
// (relayCodecStateFileName, or "<host id>-<version>-<session>.json" before), so that name decides; without
// it the relay URL does.
HostRelayVersion relayVersionFor(const AgentOptions &options, const QString &hostId, const QString &session);

// The name hosts gave the codec state file before the session and host id were kept out of it.
QString earlierRelayCodecStateFileName(HostRelayVersion version, const QString &hostId,
                                       const QString &session);

// The WebSocket URL to connect to for the options' relay and `session` (the setup link's rule), or none
// when the relay URL is unusable.
std::optional<QUrl> relayConnectURL(const AgentOptions &options, const QString &session);
