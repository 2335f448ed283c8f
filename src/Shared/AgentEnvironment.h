#pragma once

#include <QString>

// The environment variables through which the host hands the agent its secrets and the relay session: a
// command line is readable by any local user, an environment is not.
namespace AgentEnvironment {
// Every variable below starts with it; the agent keeps all of them from the programs it runs.
inline const QString prefix = QStringLiteral("VELMORA_");
inline const QString hostToken = QStringLiteral("VELMORA_HOST_TOKEN");
inline const QString hostId = QStringLiteral("VELMORA_HOST_ID");
inline const QString pairingNonce = QStringLiteral("VELMORA_PAIRING_NONCE");
inline const QString ngrokAuthtoken = QStringLiteral("VELMORA_NGROK_AUTHTOKEN");
inline const QString relayToken = QStringLiteral("VELMORA_RELAY_TOKEN");
inline const QString relaySession = QStringLiteral("VELMORA_RELAY_SESSION");
// The secret half of the agent's static key (see AgentStaticKey), which the encrypted channel proves.
inline const QString agentKey = QStringLiteral("VELMORA_AGENT_KEY");
// The secret of the agent's loopback control requests (revoking one device): made anew for every launch,
// known only to the host that launched it, never in a setup link.
inline const QString controlSecret = QStringLiteral("VELMORA_CONTROL_SECRET");
} // namespace AgentEnvironment
