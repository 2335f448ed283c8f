#pragma once

#include <QString>

// The agent's options that the host passes: the host writes them and the agent reads them.
namespace AgentCommandLine {
inline const QString workspace = QStringLiteral("--workspace");
inline const QString address = QStringLiteral("--addr");
inline const QString tunnelMode = QStringLiteral("--tunnel-mode");
inline const QString relayURL = QStringLiteral("--relay-url");
inline const QString relayCodecState = QStringLiteral("--relay-codec-state");
// A program tablets may start in a session (repeatable): a command name found on PATH, or an absolute path.
inline const QString sessionProgram = QStringLiteral("--session-program");
// A flag: tablets may also start the user's login shell, by the name below.
inline const QString allowShell = QStringLiteral("--allow-shell");
inline const QString shellProgramName = QStringLiteral("shell");
// A flag: tablets that skip the encrypted channel's handshake are let in from any address (a mend for older
// clients; the host warns while it is on).
inline const QString allowUnencryptedClients = QStringLiteral("--allow-unencrypted-clients");
// The one value --tunnel-mode takes.
inline const QString ngrokTunnelMode = QStringLiteral("ngrok");
} // namespace AgentCommandLine
