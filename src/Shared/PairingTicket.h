#pragma once

#include <QByteArray>
#include <QString>
#include <QStringView>

#include <optional>

// What a device pairs with instead of the pairing nonce: the browser link's ticket, and the app link's
// pairing code, which is a ticket of its own serial in the link's "pairingNonce" field. A link may be seen,
// kept in a browser's history or photographed, so it must hold nothing that still pairs a device later: a
// ticket pairs one device, for a few minutes, and only while the pairing nonce it was made from is current.
// The host makes it from the nonce it already shares with the agent, which checks it; a new nonce (a
// revocation, a rotation) voids every ticket made before.
//
// Its text is "<expiry>.<serial>.<mac>": the expiry in whole seconds since 1970-01-01T00:00:00Z (decimal),
// a serial of random bytes that tells apart the tickets made in one second, and the first bytes of
// HMAC-SHA256 keyed with the nonce's UTF-8 bytes over the label, the host id, the expiry and the serial,
// each followed by a line feed; serial and mac in URL-safe Base64 without padding.
namespace PairingTicket {

// How long a ticket, and the setup link that carries one, stays valid after it was made.
inline constexpr qint64 lifetimeSeconds = 900;
inline constexpr qsizetype serialBytes = 9;
inline constexpr qsizetype macBytes = 16;

struct Parts {
    qint64 expiresAt = 0;
    QString serial;
    QByteArray mac;
};

// A serial from the system's secure random source.
QString newSerial();
// The ticket; none for a serial that is not `serialBytes` in URL-safe Base64 or an expiry before 1970.
std::optional<QString> make(const QString &pairingNonce, const QString &hostId, qint64 expiresAt,
                            const QString &serial);
// The parts of a ticket of the right form (digits without a leading zero, a serial and a mac of their
// lengths); none otherwise.
std::optional<Parts> parse(QStringView ticket);
// The full-length mac of these parts, truncated to `macBytes`.
QByteArray mac(const QString &pairingNonce, const QString &hostId, qint64 expiresAt, const QString &serial);

} // namespace PairingTicket
