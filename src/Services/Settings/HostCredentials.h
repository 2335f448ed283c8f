#pragma once

#include "Shared/HostingMode.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <optional>

// The pairing record that the tablet and the agent share.
struct HostCredentials {
    QString hostId;
    QString hostToken;
    QString relayToken;
    QString relaySessionId;
    QString pairingNonce;
    // The secret half of the agent's static key, as AgentStaticKey::encode writes it: a secret like the
    // tokens, kept in its keyring item alone.
    QString agentKey;
    HostRelayVersion relayVersion = HostRelayVersion::elixirV2;
    QDateTime createdAt;
    QDateTime rotatedAt;

    bool operator==(const HostCredentials &) const = default;

    // The public half of agentKey, encoded likewise, for links; none when agentKey is not a key.
    std::optional<QString> agentPublicKey() const;

    // The eight keys of the record; dates as fractional seconds since 2001-01-01T00:00:00Z. The agent key is
    // never part of it, so no copy of the record can carry it.
    QByteArray toJson() const;
    // None when a required key is missing or of the wrong type, or the relay version is unknown.
    // "hostToken", "relayToken" and "pairingNonce" may be absent or null and then read as empty; agentKey is
    // always empty.
    static std::optional<HostCredentials> fromJson(const QByteArray &json);
};
