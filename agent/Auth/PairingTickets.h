#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

#include <optional>

// Which pairing tickets and codes (see Shared/PairingTicket.h) the agent accepts: made with the current
// pairing nonce for this host id, not expired, not made for longer than a ticket lives, and not used yet. A
// ticket is used once it paired a device; the agent remembers it until it expires, and, as it forgets
// everything when it starts again, also takes any ticket made before the latest pairing of a device as used.
class PairingTickets {
public:
    // How far the clock may have stepped back between the host's making a ticket and the agent's check.
    static constexpr qint64 clockStepSeconds = 60;

    enum class Verdict { valid, forged, expired, used };

    // `latestPairing`: when the newest device trusted for this host id paired (seconds since 1970), if any.
    Verdict check(const QString &ticket, const QString &pairingNonce, const QString &hostId, qint64 now,
                  std::optional<qint64> latestPairing);
    // The ticket paired a device: from now on it is used.
    void spend(const QString &ticket, qint64 now);
    // Every ticket made with the nonce being replaced is void anyway.
    void forgetAll() { m_spent.clear(); }
    qsizetype remembered() const { return m_spent.size(); }

private:
    void forgetExpired(qint64 now);

    // The macs of the tickets used, with their expiry.
    QHash<QByteArray, qint64> m_spent;
};
