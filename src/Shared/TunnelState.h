#pragma once

#include <QObject>
#include <QString>
#include <QStringView>

#include <optional>

namespace Tunnel {
Q_NAMESPACE

// How far the agent's tunnel has come, as its health answer reports it and the host publishes it. `unknown`
// is what the host makes of a state it does not know, from an agent of another release; this agent never
// reports it.
enum class TunnelState { disabled, starting, online, failed, unknown };
Q_ENUM_NS(TunnelState)

} // namespace Tunnel

using Tunnel::TunnelState;

// The name a state has in the health answer: "disabled", "starting", "online" or "failed" ("unknown" for
// the host's own).
QString rawValue(TunnelState state);
// Exact, case-sensitive match of one of the four raw values an agent reports, or none for whatever else it
// says.
std::optional<TunnelState> tunnelStateFromRaw(QStringView name);
