#pragma once

#include "Services/Settings/HostCredentials.h"
#include "Shared/HostingMode.h"
#include "Shared/PairingTicket.h"

#include <QDateTime>
#include <QString>
#include <QUrl>

#include <optional>

// Builds the setup link the tablet scans: "ferrowyn://connect?" followed by name=value items in a fixed
// order. The link format is read by the tablet, so every name, its order and its letters are fixed here.
// The text of a returned link, `toString(QUrl::FullyEncoded)`, is exactly the text built: nothing is
// re-encoded or decoded by QUrl on the way.
namespace SetupLinkBuilder {

// How long a link stays valid after it was built: as long as the ticket of its browser form.
inline constexpr qint64 linkLifetimeSeconds = PairingTicket::lifetimeSeconds;

// The link to the agent on the local network at ws://host:port/ws, with the host token and host id of the
// credentials and, in its "pairingNonce" field, a pairing code: a ticket (see PairingTicket) of `codeSerial`
// made from their pairing nonce, which pairs one device before it expires with the link; last, in "agentKey",
// the public half of the agent's key, which the tablet pins and the encrypted channel's handshake checks.
// None for a port outside 1...65535 or a host that does not make a URL (the agent cannot listen there, and a
// link the tablet cannot use is worse than none), for a serial that makes no ticket, or for credentials
// without an agent key (no tablet could reach the agent).
std::optional<QUrl> lanLink(const QString &host, int port, const HostCredentials &credentials,
                            const QString &codeSerial,
                            const QDateTime &now = QDateTime::currentDateTimeUtc());
// The same through a tunnel: `endpoint` is the complete WebSocket URL of the agent behind it, copied into the
// link as is.
std::optional<QUrl> directTunnelLink(const QString &endpoint, const HostCredentials &credentials,
                                     const QString &codeSerial,
                                     const QDateTime &now = QDateTime::currentDateTimeUtc());
// The link through the relay at `relayURL` (as configured), with the relay token and relay session of the
// credentials besides. None when the relay URL gives no relay endpoint: when it is not a strict URL (blanks,
// control or non-ASCII characters, a bad "%" escape, a bad port or host) or has no scheme or no host;
// relayEndpoint() has the full list.
std::optional<QUrl> relayLink(const QString &relayURL, HostRelayVersion relayVersion,
                              const HostCredentials &credentials, const QString &codeSerial,
                              const QDateTime &now = QDateTime::currentDateTimeUtc());

// The browser form of the same pairing, for the browser client the agent serves on its port: the page's
// address with a pairing ticket and the public half of the agent's key in the fragment
// ("http://192.168.1.20:8765/#ticket=<ticket>&key=<public key>"). A browser
// keeps that address in its history, so it carries nothing that pairs a device for long: neither the host
// token nor the host id nor the pairing nonce, only a ticket made from the nonce for the host id, which pairs
// one device before it expires with the link (see PairingTicket). `ticketSerial` tells apart the tickets made
// in one second; it is not the app link's, so that each link's code pairs a device of its own. On the local
// network, or a port or host that makes no URL: none.
std::optional<QUrl> lanBrowserLink(const QString &host, int port, const HostCredentials &credentials,
                                   const QString &ticketSerial,
                                   const QDateTime &now = QDateTime::currentDateTimeUtc());
// Through the tunnel, whose public URL must be https: "https://<public host>/#ticket=...". The relay has no
// browser form: a browser cannot speak to the agent through it.
std::optional<QUrl> tunnelBrowserLink(const QString &publicURL, const HostCredentials &credentials,
                                      const QString &ticketSerial,
                                      const QDateTime &now = QDateTime::currentDateTimeUtc());

// The browser form with what its pairing screen shows before the user confirms: the computer's name and how
// many folders it pins ("...#ticket=...&key=...&computer=anna-laptop&folders=3"). Only a label, trusted no
// more than any text from outside: the ticket alone decides what pairs. None when the result would not be a
// link.
std::optional<QUrl> withPairingNote(const QUrl &browserLink, const QString &computerName,
                                    qsizetype folderCount);

// `now` plus the link lifetime as an ISO 8601 UTC date-time without fractional seconds
// ("2026-12-05T06:10:00Z"); none for an invalid time or one beyond a four-digit year.
std::optional<QString> expiresAtText(const QDateTime &now);

} // namespace SetupLinkBuilder
