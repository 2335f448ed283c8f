#include "FuzzSupport.h"

#include "Services/Links/SetupLinkBuilder.h"
#include "Shared/RelayEndpoint.h"

#include <QTimeZone>
#include <QUrlQuery>

// Input: a first line that picks the route ("lan", "tunnel" or anything else for the relay), then one field
// per line in the order of the route's config; missing fields are empty.
// Invariant: the builder refuses (a relay link exactly when the relay URL gives no endpoint, a tunnel link
// never), or its link, read back by a strict URL parser, gives every field as it was given, in the fixed
// order, but for the pairing nonce, of which it carries the pairing code, and the agent's secret key, of
// which it carries the public half.

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QStringList fields = QString::fromUtf8(QByteArrayView(data, static_cast<qsizetype>(size))).split(u'\n');
    fields.resize(std::max<qsizetype>(fields.size(), 9));
    const QString route = fields.takeFirst();
    const QDateTime now(QDate(2026, 12, 5), QTime(5, 55, 0), QTimeZone::utc());
    const QString serial = QStringLiteral("AAECAwQFBgcI");
    // The key pair of RFC 7748's first Diffie-Hellman example.
    const QString agentKey = QStringLiteral("dwdtCnMYpX08FsFyUbJmRd9ML4frwJkqsXf7pR25LCo");
    const QString agentPublicKey = QStringLiteral("hSDwCYkwp1R0i33ctD73Wg2_Og0mOBr066SpjqqbTmo");
    const auto code = [&](const QString &nonce, const QString &hostId) {
        return PairingTicket::make(nonce, hostId,
                                   now.toSecsSinceEpoch() + SetupLinkBuilder::linkLifetimeSeconds, serial)
            .value();
    };
    std::optional<QUrl> link;
    QList<std::pair<QString, QString>> expected;
    if (route == QLatin1String("lan") || route == QLatin1String("tunnel")) {
        // The LAN route has a host and a port where the tunnel has its endpoint.
        const bool lan = route == QLatin1String("lan");
        const QStringList secrets = fields.mid(lan ? 2 : 1, 3);
        const HostCredentials credentials{secrets[1], secrets[0], {}, {}, secrets[2], agentKey, {}, {}, {}};
        QString endpoint = fields[0];
        if (lan) {
            link = SetupLinkBuilder::lanLink(fields[0], fields[1].toInt(), credentials, serial, now);
            endpoint = QStringLiteral("ws://") + fields[0] + u':' + QString::number(fields[1].toInt()) +
                       QStringLiteral("/ws");
        } else {
            // Every value can be encoded, so a tunnel link is never refused.
            link = SetupLinkBuilder::directTunnelLink(fields[0], credentials, serial, now);
            FUZZ_CHECK(link.has_value());
        }
        expected = {{"mode", "sshTunnel"},
                    {"endpoint", endpoint},
                    {"token", secrets[0]},
                    {"hostId", secrets[1]},
                    {"pairingNonce", code(secrets[2], secrets[1])}};
    } else {
        const HostRelayVersion version =
            fields[5] == QLatin1String("goV1") ? HostRelayVersion::goV1 : HostRelayVersion::elixirV2;
        const HostCredentials credentials{fields[4], fields[2], fields[3], fields[1], fields[6],
                                          agentKey,  {},        {},        {}};
        link = SetupLinkBuilder::relayLink(fields[0], version, credentials, serial, now);
        const std::optional<QString> endpoint = relayEndpoint(fields[0], fields[1]);
        FUZZ_CHECK(link.has_value() == endpoint.has_value());
        expected = {{"mode", "privateRelay"}, {"endpoint", endpoint.value_or(QString())},
                    {"token", fields[2]},     {"relayToken", fields[3]},
                    {"hostId", fields[4]},    {"relayVersion", rawValue(version)},
                    {"sessionId", fields[1]}, {"pairingNonce", code(fields[6], fields[4])}};
    }
    if (!link)
        return 0;
    expected.append({"expiresAt", SetupLinkBuilder::expiresAtText(now).value()});
    expected.append({"agentKey", agentPublicKey});
    const QUrl reparsed(link->toString(QUrl::FullyEncoded), QUrl::StrictMode);
    FUZZ_CHECK(reparsed.isValid() && QUrlQuery(reparsed).queryItems(QUrl::FullyDecoded) == expected);
    return 0;
}
