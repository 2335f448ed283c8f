#pragma once

// What the agent's exit statuses mean (agent/PROTOCOL.md): the agent returns them, the host tells the user
// and decides whether starting it again can help.
namespace AgentExitStatus {
inline constexpr int cannotListen = 1; // the port could not be bound
inline constexpr int badInput = 2;     // an unknown option, a missing secret, an unusable relay URL
} // namespace AgentExitStatus
