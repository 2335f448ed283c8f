#pragma once

#include <QString>

// The agent's options that the host passes: the host writes them and the agent reads them.
namespace AgentCommandLine {
inline const QString workspace = QStringLiteral("--workspace");
inline const QString address = QStringLiteral("--addr");
inline const QString tunnelMode = QStringLiteral("--tunnel-mode");
inline const QString relayURL = QStringLiteral("--relay-url");
inline const QString relayCodecState = QStringLiteral("--relay-codec-state");
// The one value --tunnel-mode takes.
inline const QString ngrokTunnelMode = QStringLiteral("ngrok");
} // namespace AgentCommandLine
