#include "Auth/PairingTickets.h"

#include "Auth/SecretComparison.h"
#include "Shared/PairingTicket.h"

PairingTickets::Verdict PairingTickets::check(const QString &ticket, const QString &pairingNonce,
                                              const QString &hostId, qint64 now,
                                              std::optional<qint64> latestPairing)
{
    forgetExpired(now);
    const std::optional<PairingTicket::Parts> parts = PairingTicket::parse(ticket);
    // Without a nonce of its own the agent pairs nobody: a ticket keyed with an empty nonce is no ticket.
    if (!parts || pairingNonce.isEmpty() ||
        !digestsEqual(parts->mac, PairingTicket::mac(pairingNonce, hostId, parts->expiresAt, parts->serial)))
        return Verdict::forged;
    // The host never makes a ticket that lives longer: one that claims to is not to be trusted for longer.
    if (parts->expiresAt <= now || parts->expiresAt > now + PairingTicket::lifetimeSeconds + clockStepSeconds)
        return Verdict::expired;
    const qint64 madeAt = parts->expiresAt - PairingTicket::lifetimeSeconds;
    if (m_spent.contains(parts->mac) || (latestPairing && madeAt < *latestPairing))
        return Verdict::used;
    return Verdict::valid;
}

void PairingTickets::spend(const QString &ticket, qint64 now)
{
    forgetExpired(now);
    if (const std::optional<PairingTicket::Parts> parts = PairingTicket::parse(ticket))
        m_spent.insert(parts->mac, parts->expiresAt);
}

void PairingTickets::forgetExpired(qint64 now)
{
    m_spent.removeIf([now](const QHash<QByteArray, qint64>::iterator &it) { return it.value() <= now; });
}
