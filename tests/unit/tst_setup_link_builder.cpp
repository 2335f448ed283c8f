#include "Services/SetupLinkBuilder.h"

#include <QRandomGenerator>
#include <QTest>
#include <QTimeZone>
#include <QUrlQuery>

#include <optional>

namespace {

const QString token = QStringLiteral("q3Vb8kX_2mZ-pL0aRt7yNw4cE1sD9fGhJkLmNoPqRsT");
const QString relayToken = QStringLiteral("Rt0-kP9_mQ8nW7bV6cX5zL4aS3dF2gH1jK0lZ9xC8vB");
const QString hostId = QStringLiteral("host_Ab3dE5fG7hJ9kL1mN3pQ5r");
const QString nonce = QStringLiteral("Zx9-Yw8_Vu7Ts6Rq5Po4Nm3Lk2Ji1Hg0Fe9Dc8Ba7z6y");
const QString session = QStringLiteral("6f1c2a9e-3b7d-4c1e-9a2f-0d8e5b4c3a21");

QDateTime fixedTime()
{
    return QDateTime(QDate(2026, 12, 5), QTime(5, 55, 0), QTimeZone::utc());
}

LANConfig lanConfig()
{
    return LANConfig{QStringLiteral("192.168.1.20"), 8765, token, hostId, nonce};
}

RelayConfig relayConfig(const QString &relayURL, HostRelayVersion version = HostRelayVersion::elixirV2)
{
    return RelayConfig{relayURL, session, token, relayToken, hostId, version, nonce};
}

QString text(const std::optional<QUrl> &link)
{
    return link ? link->toString(QUrl::FullyEncoded) : QStringLiteral("<no link>");
}

QList<std::pair<QString, QString>> decodedItems(const QUrl &link)
{
    return QUrlQuery(link).queryItems(QUrl::FullyDecoded);
}

QString randomValue(QRandomGenerator &random)
{
    // Every kind of character a value could carry: query delimiters, escapes, blanks, non-ASCII and
    // characters outside the Basic Multilingual Plane.
    static const QString pool = QStringLiteral("aZ09-._~!$'()*,;:@/?&=+#%[]{}|\\^`\"<> \t\u00e9\u20ac") +
                                QString::fromUcs4(U"\U0001F600");
    QString value;
    const int length = random.bounded(12);
    for (int i = 0; i < length; ++i) {
        const qsizetype at = random.bounded(pool.size() - 1);
        if (pool.at(at).isHighSurrogate())
            value += pool.mid(at, 2);
        else if (!pool.at(at).isLowSurrogate())
            value += pool.at(at);
    }
    return value;
}

} // namespace

class SetupLinkBuilderTest : public QObject {
    Q_OBJECT

private slots:
    void completeLinksAreByteExact_data();
    void completeLinksAreByteExact();
    void expiry_data();
    void expiry();
    void linksASecondApartDifferOnlyInExpiry();
    void defaultClockIsNow();
    void emptyValuesKeepTheirItems();
    void valuesAreEncodedSoNoneEndsItsItemEarly();
    void anyValueRoundTripsThroughTheLinkText();
    void lanLinkNeedsAUsableEndpoint_data();
    void lanLinkNeedsAUsableEndpoint();
    void relayVersionItem();
    void relaySessionIsEncodedOnceForTheQueryOnly();
    void relayURLThatGivesNoLink_data();
    void relayURLThatGivesNoLink();
};

void SetupLinkBuilderTest::completeLinksAreByteExact_data()
{
    QTest::addColumn<std::optional<QUrl>>("link");
    QTest::addColumn<QString>("expected");

    const QString secrets = QStringLiteral("&token=") + token + QStringLiteral("&hostId=") + hostId +
                            QStringLiteral("&pairingNonce=") + nonce +
                            QStringLiteral("&expiresAt=2026-12-05T06:10:00Z");
    QTest::newRow("LAN") << SetupLinkBuilder::lanLink(lanConfig(), fixedTime())
                         << QStringLiteral(
                                "ferrowyn://connect?mode=sshTunnel&endpoint=ws://192.168.1.20:8765/ws") +
                                secrets;
    LANConfig loopback = lanConfig();
    loopback.host = QStringLiteral("127.0.0.1");
    loopback.port = 9000;
    QTest::newRow("LAN loopback")
        << SetupLinkBuilder::lanLink(loopback, fixedTime())
        << QStringLiteral("ferrowyn://connect?mode=sshTunnel&endpoint=ws://127.0.0.1:9000/ws") + secrets;
    const DirectTunnelConfig tunnel{QStringLiteral("wss://ab12-34-56.ngrok-free.app/ws"), token, hostId,
                                    nonce};
    QTest::newRow("direct tunnel")
        << SetupLinkBuilder::directTunnelLink(tunnel, fixedTime())
        << QStringLiteral("ferrowyn://connect?mode=sshTunnel&endpoint=wss://ab12-34-56.ngrok-free.app/ws") +
               secrets;
    const QString relayTail = QStringLiteral("&token=") + token + QStringLiteral("&relayToken=") +
                              relayToken + QStringLiteral("&hostId=") + hostId;
    const QString relayEnd = QStringLiteral("&sessionId=") + session + QStringLiteral("&pairingNonce=") +
                             nonce + QStringLiteral("&expiresAt=2026-12-05T06:10:00Z");
    QTest::newRow("relay elixirV2")
        << SetupLinkBuilder::relayLink(
               relayConfig(QStringLiteral("wss://elixir.relay.ferrowyn.dev/relay/v2")), fixedTime())
        << QStringLiteral(
               "ferrowyn://connect?mode=privateRelay&endpoint=wss://elixir.relay.ferrowyn.dev/relay/v2/") +
               session + relayTail + QStringLiteral("&relayVersion=elixirV2") + relayEnd;
    QTest::newRow("relay goV1 on a self-hosted relay")
        << SetupLinkBuilder::relayLink(
               relayConfig(QStringLiteral("wss://relay.example.org:8443/?region=eu"), HostRelayVersion::goV1),
               fixedTime())
        << QStringLiteral(
               "ferrowyn://connect?mode=privateRelay&endpoint=wss://relay.example.org:8443/relay/") +
               session + relayTail + QStringLiteral("&relayVersion=goV1") + relayEnd;
}

void SetupLinkBuilderTest::completeLinksAreByteExact()
{
    QFETCH(std::optional<QUrl>, link);
    QFETCH(QString, expected);
    QCOMPARE(text(link), expected);
    QCOMPARE(link->scheme(), QStringLiteral("ferrowyn"));
    QCOMPARE(link->host(), QStringLiteral("connect"));
    QVERIFY(link->path().isEmpty());
    QVERIFY(!link->hasFragment());
}

void SetupLinkBuilderTest::expiry_data()
{
    QTest::addColumn<QDateTime>("now");
    QTest::addColumn<std::optional<QString>>("expiresAt");
    QTest::newRow("UTC") << fixedTime() << std::optional<QString>(QStringLiteral("2026-12-05T06:10:00Z"));
    QTest::newRow("other zone written in UTC")
        << QDateTime(QDate(2026, 12, 5), QTime(7, 55, 0), QTimeZone(2 * 3600))
        << std::optional<QString>(QStringLiteral("2026-12-05T06:10:00Z"));
    QTest::newRow("fraction dropped, not rounded")
        << QDateTime(QDate(2026, 12, 5), QTime(5, 55, 0, 999), QTimeZone::utc())
        << std::optional<QString>(QStringLiteral("2026-12-05T06:10:00Z"));
    QTest::newRow("over the year's end") << QDateTime(QDate(2026, 12, 31), QTime(23, 50, 0), QTimeZone::utc())
                                         << std::optional<QString>(QStringLiteral("2027-01-01T00:05:00Z"));
    QTest::newRow("small year padded") << QDateTime(QDate(33, 3, 3), QTime(3, 3, 3), QTimeZone::utc())
                                       << std::optional<QString>(QStringLiteral("0033-03-03T03:18:03Z"));
    QTest::newRow("past a four-digit year")
        << QDateTime(QDate(9999, 12, 31), QTime(23, 50, 0), QTimeZone::utc()) << std::optional<QString>();
    QTest::newRow("invalid time") << QDateTime() << std::optional<QString>();
}

void SetupLinkBuilderTest::expiry()
{
    QFETCH(QDateTime, now);
    QFETCH(std::optional<QString>, expiresAt);
    QCOMPARE(SetupLinkBuilder::expiresAtText(now), expiresAt);
    const std::optional<QUrl> link = SetupLinkBuilder::lanLink(lanConfig(), now);
    QCOMPARE(link.has_value(), expiresAt.has_value());
    if (link)
        QCOMPARE(QUrlQuery(*link).queryItemValue(QStringLiteral("expiresAt")), *expiresAt);
}

void SetupLinkBuilderTest::linksASecondApartDifferOnlyInExpiry()
{
    const QString first = text(SetupLinkBuilder::lanLink(lanConfig(), fixedTime()));
    const QString second = text(SetupLinkBuilder::lanLink(lanConfig(), fixedTime().addSecs(1)));
    QVERIFY(first != second);
    const QString stem = QStringLiteral("&expiresAt=");
    QCOMPARE(first.left(first.indexOf(stem)), second.left(second.indexOf(stem)));
    QVERIFY(second.endsWith(QStringLiteral("&expiresAt=2026-12-05T06:10:01Z")));
}

void SetupLinkBuilderTest::defaultClockIsNow()
{
    const QDateTime before = QDateTime::currentDateTimeUtc();
    const std::optional<QUrl> link = SetupLinkBuilder::lanLink(lanConfig());
    const QDateTime after = QDateTime::currentDateTimeUtc();
    QVERIFY(link);
    const QDateTime expiresAt =
        QDateTime::fromString(QUrlQuery(*link).queryItemValue(QStringLiteral("expiresAt")), Qt::ISODate);
    QVERIFY(expiresAt.isValid());
    QCOMPARE_GE(expiresAt, before.addSecs(900).addMSecs(-before.time().msec()));
    QCOMPARE_LE(expiresAt, after.addSecs(900));
}

void SetupLinkBuilderTest::emptyValuesKeepTheirItems()
{
    const LANConfig config{QStringLiteral("10.0.0.2"), 8765, QString(), QString(), QString()};
    QCOMPARE(text(SetupLinkBuilder::lanLink(config, fixedTime())),
             QStringLiteral("ferrowyn://connect?mode=sshTunnel&endpoint=ws://10.0.0.2:8765/ws&token=&hostId=&"
                            "pairingNonce=&expiresAt=2026-12-05T06:10:00Z"));
    const RelayConfig relay{QStringLiteral("wss://r.example"),
                            QString(),
                            QString(),
                            QString(),
                            QString(),
                            HostRelayVersion::goV1,
                            QString()};
    QCOMPARE(text(SetupLinkBuilder::relayLink(relay, fixedTime())),
             QStringLiteral("ferrowyn://connect?mode=privateRelay&endpoint=wss://r.example/relay/&token=&"
                            "relayToken=&hostId=&relayVersion=goV1&sessionId=&pairingNonce=&"
                            "expiresAt=2026-12-05T06:10:00Z"));
}

void SetupLinkBuilderTest::valuesAreEncodedSoNoneEndsItsItemEarly()
{
    const DirectTunnelConfig config{QStringLiteral("wss://t.example/ws?a=1&b=2#f"),
                                    QStringLiteral("a&token=b"), QStringLiteral("x=y+z;w"),
                                    QStringLiteral("50% \u00fc")};
    const std::optional<QUrl> link = SetupLinkBuilder::directTunnelLink(config, fixedTime());
    QCOMPARE(text(link),
             QStringLiteral("ferrowyn://connect?mode=sshTunnel&endpoint=wss://t.example/ws?a%3D1%26b%3D2%23f"
                            "&token=a%26token%3Db&hostId=x%3Dy%2Bz%3Bw&pairingNonce=50%25%20%C3%BC"
                            "&expiresAt=2026-12-05T06:10:00Z"));
    const QList<std::pair<QString, QString>> expected{
        {QStringLiteral("mode"), QStringLiteral("sshTunnel")},
        {QStringLiteral("endpoint"), config.endpoint},
        {QStringLiteral("token"), config.token},
        {QStringLiteral("hostId"), config.hostId},
        {QStringLiteral("pairingNonce"), config.pairingNonce},
        {QStringLiteral("expiresAt"), QStringLiteral("2026-12-05T06:10:00Z")}};
    QCOMPARE(decodedItems(*link), expected);
}

void SetupLinkBuilderTest::anyValueRoundTripsThroughTheLinkText()
{
    QRandomGenerator random(20261205);
    for (int i = 0; i < 3000; ++i) {
        const DirectTunnelConfig config{randomValue(random), randomValue(random), randomValue(random),
                                        randomValue(random)};
        const std::optional<QUrl> link = SetupLinkBuilder::directTunnelLink(config, fixedTime());
        QVERIFY2(link, qPrintable(config.endpoint + QLatin1Char('|') + config.token));
        // What the tablet reads: the same text after a fresh parse, and the values as they were given.
        const QString linkText = link->toString(QUrl::FullyEncoded);
        QCOMPARE(QUrl(linkText, QUrl::StrictMode).toString(QUrl::FullyEncoded), linkText);
        const QList<std::pair<QString, QString>> items = decodedItems(*link);
        QCOMPARE(items.size(), 6);
        QCOMPARE(items.at(1).second, config.endpoint);
        QCOMPARE(items.at(2).second, config.token);
        QCOMPARE(items.at(3).second, config.hostId);
        QCOMPARE(items.at(4).second, config.pairingNonce);
    }
}

void SetupLinkBuilderTest::lanLinkNeedsAUsableEndpoint_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::addColumn<bool>("linked");
    QTest::newRow("lowest port") << QStringLiteral("10.0.0.2") << 1 << true;
    QTest::newRow("highest port") << QStringLiteral("10.0.0.2") << 65535 << true;
    QTest::newRow("port 0") << QStringLiteral("10.0.0.2") << 0 << false;
    QTest::newRow("negative port") << QStringLiteral("10.0.0.2") << -8765 << false;
    QTest::newRow("port too large") << QStringLiteral("10.0.0.2") << 65536 << false;
    QTest::newRow("empty host") << QString() << 8765 << false;
    QTest::newRow("blank in host") << QStringLiteral("10.0.0. 2") << 8765 << false;
    QTest::newRow("path in host") << QStringLiteral("10.0.0.2/x") << 8765 << false;
    QTest::newRow("user in host") << QStringLiteral("me@10.0.0.2") << 8765 << false;
}

void SetupLinkBuilderTest::lanLinkNeedsAUsableEndpoint()
{
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(bool, linked);
    const LANConfig config{host, port, token, hostId, nonce};
    QCOMPARE(SetupLinkBuilder::lanLink(config, fixedTime()).has_value(), linked);
}

void SetupLinkBuilderTest::relayVersionItem()
{
    const QString url = QStringLiteral("wss://r.example/relay");
    const auto version = [&](HostRelayVersion v) {
        return QUrlQuery(*SetupLinkBuilder::relayLink(relayConfig(url, v), fixedTime()))
            .queryItemValue(QStringLiteral("relayVersion"));
    };
    QCOMPARE(version(HostRelayVersion::goV1), QStringLiteral("goV1"));
    QCOMPARE(version(HostRelayVersion::elixirV2), QStringLiteral("elixirV2"));
}

void SetupLinkBuilderTest::relaySessionIsEncodedOnceForTheQueryOnly()
{
    RelayConfig config = relayConfig(QStringLiteral("wss://r.example/relay/custom"));
    config.session = QStringLiteral("a b");
    const QString linkText = text(SetupLinkBuilder::relayLink(config, fixedTime()));
    // A relay/ path is kept and gets no session, but the session is still sent.
    QVERIFY2(linkText.contains(QStringLiteral("&endpoint=wss://r.example/relay/custom&")),
             qPrintable(linkText));
    QVERIFY2(linkText.contains(QStringLiteral("&sessionId=a%20b&")), qPrintable(linkText));

    config.relayURL = QStringLiteral("wss://r.example/");
    const std::optional<QUrl> link = SetupLinkBuilder::relayLink(config, fixedTime());
    // The endpoint's path holds the session encoded for a path; in the link that text is encoded once more.
    QVERIFY2(text(link).contains(QStringLiteral("&endpoint=wss://r.example/relay/a%2520b&")),
             qPrintable(text(link)));
    QCOMPARE(QUrlQuery(*link).queryItemValue(QStringLiteral("endpoint"), QUrl::FullyDecoded),
             QStringLiteral("wss://r.example/relay/a%20b"));
}

void SetupLinkBuilderTest::relayURLThatGivesNoLink_data()
{
    QTest::addColumn<QString>("relayURL");
    QTest::newRow("blank") << QStringLiteral("wss://r.example/a b");
    QTest::newRow("bad escape") << QStringLiteral("wss://r.example/%zz");
    QTest::newRow("bad port") << QStringLiteral("wss://r.example:99999/relay");
    QTest::newRow("no scheme") << QStringLiteral("r.example/relay");
    QTest::newRow("empty") << QString();
}

void SetupLinkBuilderTest::relayURLThatGivesNoLink()
{
    QFETCH(QString, relayURL);
    QCOMPARE(SetupLinkBuilder::relayLink(relayConfig(relayURL), fixedTime()), std::nullopt);
}

QTEST_GUILESS_MAIN(SetupLinkBuilderTest)
#include "tst_setup_link_builder.moc"
