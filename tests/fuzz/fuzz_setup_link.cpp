#include "FuzzSupport.h"

#include "Services/QueryEncoding.h"
#include "Services/SetupLinkBuilder.h"
#include "Shared/RelayEndpoint.h"

#include <QByteArray>
#include <QTimeZone>
#include <QUrlQuery>

#include <utility>

// Input: a first line that picks the route ("lan", "tunnel" or anything else for the relay), then one field
// per line in the order of the route's config; missing fields are empty.
// Invariant: the builder refuses (a relay link exactly when the relay URL gives no endpoint, a tunnel link
// never), or its link, read back by a URL query parser and by a plain split at "&"
// and "=", gives every field as it was given, in the fixed order.

namespace {

using Items = QList<std::pair<QString, QString>>;

const QDateTime fixedTime(QDate(2026, 12, 5), QTime(5, 55, 0), QTimeZone::utc());

Items splitQuery(const QString &query)
{
    Items items;
    for (const QString &item : query.split(u'&')) {
        const qsizetype equals = item.indexOf(u'=');
        FUZZ_CHECK(equals > 0);
        items.append({QueryEncoding::decodedComponent(QStringView(item).left(equals)),
                      QueryEncoding::decodedComponent(QStringView(item).mid(equals + 1))});
    }
    return items;
}

void checkRoundTrip(const std::optional<QUrl> &link, const Items &expected)
{
    if (!link)
        return;
    const QString text = link->toString(QUrl::FullyEncoded);
    FUZZ_CHECK(text.startsWith(QLatin1String("ferrowyn://connect?")));
    const QUrl reparsed(text, QUrl::StrictMode);
    FUZZ_CHECK(reparsed.isValid() && reparsed.scheme() == QLatin1String("ferrowyn") &&
               reparsed.host() == QLatin1String("connect") && reparsed.path().isEmpty() &&
               !reparsed.hasFragment());
    FUZZ_CHECK(QUrlQuery(reparsed).queryItems(QUrl::FullyDecoded) == expected);
    FUZZ_CHECK(splitQuery(reparsed.query(QUrl::FullyEncoded)) == expected);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    startFuzzApplication();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QStringList fields =
        QString::fromUtf8(QByteArray(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size)))
            .split(u'\n');
    while (fields.size() < 9)
        fields.append(QString());
    const QString route = fields.takeFirst();
    const std::optional<QString> expiresAt = SetupLinkBuilder::expiresAtText(fixedTime);
    FUZZ_CHECK(expiresAt.has_value());

    if (route == QLatin1String("lan")) {
        const LANConfig config{fields[0], fields[1].toInt(), fields[2], fields[3], fields[4]};
        const std::optional<QUrl> link = SetupLinkBuilder::lanLink(config, fixedTime);
        const QString endpoint = QStringLiteral("ws://") + config.host + u':' + QString::number(config.port) +
                                 QStringLiteral("/ws");
        checkRoundTrip(link, {{"mode", "sshTunnel"},
                              {"endpoint", endpoint},
                              {"token", config.token},
                              {"hostId", config.hostId},
                              {"pairingNonce", config.pairingNonce},
                              {"expiresAt", *expiresAt}});
    } else if (route == QLatin1String("tunnel")) {
        const DirectTunnelConfig config{fields[0], fields[1], fields[2], fields[3]};
        // Every value can be encoded, so a tunnel link is never refused.
        const std::optional<QUrl> link = SetupLinkBuilder::directTunnelLink(config, fixedTime);
        FUZZ_CHECK(link.has_value());
        checkRoundTrip(link, {{"mode", "sshTunnel"},
                              {"endpoint", config.endpoint},
                              {"token", config.token},
                              {"hostId", config.hostId},
                              {"pairingNonce", config.pairingNonce},
                              {"expiresAt", *expiresAt}});
    } else {
        const HostRelayVersion version =
            fields[5] == QLatin1String("goV1") ? HostRelayVersion::goV1 : HostRelayVersion::elixirV2;
        const RelayConfig config{fields[0], fields[1], fields[2], fields[3], fields[4], version, fields[6]};
        const std::optional<QUrl> link = SetupLinkBuilder::relayLink(config, fixedTime);
        const std::optional<QString> endpoint = relayEndpoint(config.relayURL, config.session);
        FUZZ_CHECK(link.has_value() == endpoint.has_value());
        checkRoundTrip(link, {{"mode", "privateRelay"},
                              {"endpoint", endpoint.value_or(QString())},
                              {"token", config.hostToken},
                              {"relayToken", config.relayToken},
                              {"hostId", config.hostId},
                              {"relayVersion", rawValue(version)},
                              {"sessionId", config.session},
                              {"pairingNonce", config.pairingNonce},
                              {"expiresAt", *expiresAt}});
    }
    return 0;
}
