#pragma once

#include <QString>

#include <optional>

// The WebSocket URL at which the agent and the tablet meet on a relay for one session: the session is put
// into the relay URL's path by a fixed rule, and the query is dropped. Shared by the setup link and the
// agent, which must agree.
//
// None (and so no setup link) for a relay URL that
// - is not a strict URL: blanks, control or non-ASCII characters, a "%" not followed by two hex digits, a
//   port that is not a decimal number up to 65535, a malformed host or IP literal, brackets outside the
//   host;
// - has no scheme or no host, such as "", "relay.example.com", "/relay" or "wss:relay": the tablet could not
//   reach a relative endpoint, so offering a link for it would only fail later on the tablet.
// The host comes back in lower case and a port with leading zeros without them; every other part of the
// relay URL that is kept stays as typed.
std::optional<QString> relayEndpoint(const QString &relayURL, const QString &session);
