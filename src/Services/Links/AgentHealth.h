#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// The tunnel part of the agent's /healthz answer.
struct HostAgentTunnelStatus {
    QString provider;
    QString state; // as the agent says it: the raw value of a TunnelState, or something else
    QString publicUrl;
    QString lastError;

    bool operator==(const HostAgentTunnelStatus &) const = default;
};

namespace AgentHealth {

// Larger answers are not read to the end: a broken agent must not make the host buffer without limit.
inline constexpr qint64 maximumBodySize = 64 * 1024;

// None when the body is not JSON, lacks "tunnel" or "tunnel.state", or has a listed key of the wrong type.
// Absent or null optional strings read as empty.
std::optional<HostAgentTunnelStatus> parseResponse(const QByteArray &body);

} // namespace AgentHealth
