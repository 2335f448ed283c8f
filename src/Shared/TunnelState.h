#pragma once

#include <QObject>
#include <QString>
#include <QStringView>

#include <optional>

namespace Tunnel {
Q_NAMESPACE

// How far the agent's tunnel has come, as its health answer reports it and the host publishes it.
enum class TunnelState { disabled, starting, online, failed };
Q_ENUM_NS(TunnelState)

} // namespace Tunnel

using Tunnel::TunnelState;

// The name a state has in the health answer: "disabled", "starting", "online" or "failed".
QString rawValue(TunnelState state);
// Exact, case-sensitive match of a raw value, or none for whatever else an agent says.
std::optional<TunnelState> tunnelStateFromRaw(QStringView name);
