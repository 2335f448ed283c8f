#pragma once

#include <QString>

#include <optional>

// The agent's WebSocket endpoint behind a tunnel's public URL: https becomes wss and http becomes ws, "/ws"
// is appended to the path, and query and fragment are dropped. None for an empty, unparsable or
// non-web URL.
std::optional<QString> directTunnelWebSocketEndpoint(const QString &publicURL);
