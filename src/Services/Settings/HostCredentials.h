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
    HostRelayVersion relayVersion = HostRelayVersion::elixirV2;
    QDateTime createdAt;
    QDateTime rotatedAt;

    bool operator==(const HostCredentials &) const = default;

    // All eight keys; dates as fractional seconds since 2001-01-01T00:00:00Z.
    QByteArray toJson() const;
    // None when a required key is missing or of the wrong type, or the relay version is unknown.
    // "hostToken", "relayToken" and "pairingNonce" may be absent or null and then read as empty.
    static std::optional<HostCredentials> fromJson(const QByteArray &json);
};
