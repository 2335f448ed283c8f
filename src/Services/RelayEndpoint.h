#pragma once

#include <QString>

#include <optional>

// The WebSocket URL at which the agent and the tablet meet on a relay for one session: the session is put
// into the relay URL's path by a fixed rule, and the query is dropped. None when the relay URL cannot be
// parsed or no URL can be made from the result. Shared by the setup link and the agent, which must agree.
std::optional<QString> relayEndpoint(const QString &relayURL, const QString &session);
