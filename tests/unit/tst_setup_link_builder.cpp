#include "Services/SetupLinkBuilder.h"

#include <QTest>
#include <QTimeZone>
#include <QUrlQuery>

// Values round-tripping through the link text for any input is the setup-link fuzz target's job; these are
// the exact texts the tablet reads.

namespace {

const QDateTime fixedTime(QDate(2026, 12, 5), QTime(5, 55, 0), QTimeZone::utc());

QString text(const std::optional<QUrl> &link)
{
    return link ? link->toString(QUrl::FullyEncoded) : QString();
}

std::optional<QUrl> lan(const QString &host, int port, const QDateTime &now = fixedTime)
{
    return SetupLinkBuilder::lanLink({host, port, "TK", "host_H", "PN"}, now);
}

std::optional<QUrl> relay(const QString &url, const QString &session, HostRelayVersion version)
{
    return SetupLinkBuilder::relayLink({url, session, "TK", "RT", "host_H", version, "PN"}, fixedTime);
}

} // namespace

class SetupLinkBuilderTest : public QObject {
    Q_OBJECT

private slots:
    void links_data();
    void links();
    void noLinkForAnUnusableEndpoint();
    void expiry_data();
    void expiry();
    void defaultClockIsNow();
};

void SetupLinkBuilderTest::links_data()
{
    QTest::addColumn<std::optional<QUrl>>("link");
    QTest::addColumn<QString>("expected"); // "" for none
    const QString ssh = QStringLiteral("ferrowyn://connect?mode=sshTunnel&endpoint=");
    const QString tail =
        QStringLiteral("&token=TK&hostId=host_H&pairingNonce=PN&expiresAt=2026-12-05T06:10:00Z");
    const QString relayHead = QStringLiteral("ferrowyn://connect?mode=privateRelay&endpoint=");
    const QString relayTail = QStringLiteral("&token=TK&relayToken=RT&hostId=host_H&relayVersion=");
    const QString relayEnd = QStringLiteral("&pairingNonce=PN&expiresAt=2026-12-05T06:10:00Z");
    QTest::newRow("LAN") << lan("192.168.1.20", 8765) << ssh + "ws://192.168.1.20:8765/ws" + tail;
    QTest::newRow("lowest port") << lan("10.0.0.2", 1) << ssh + "ws://10.0.0.2:1/ws" + tail;
    QTest::newRow("highest port") << lan("10.0.0.2", 65535) << ssh + "ws://10.0.0.2:65535/ws" + tail;
    QTest::newRow("tunnel values encoded so none ends its item early")
        << SetupLinkBuilder::directTunnelLink(
               {"wss://t.example/ws?a=1&b=2#f", "a&token=b", "x=y+z;w", QStringLiteral("50% \u00fc")},
               fixedTime)
        << "ferrowyn://connect?mode=sshTunnel&endpoint=wss://t.example/"
           "ws?a%3D1%26b%3D2%23f&token=a%26token%3Db"
           "&hostId=x%3Dy%2Bz%3Bw&pairingNonce=50%25%20%C3%BC&expiresAt=2026-12-05T06:10:00Z";
    QTest::newRow("empty values keep their items")
        << SetupLinkBuilder::relayLink({"wss://r.example", "", "", "", "", HostRelayVersion::goV1, ""},
                                       fixedTime)
        << "ferrowyn://connect?mode=privateRelay&endpoint=wss://r.example/relay/&token=&relayToken=&hostId=&"
           "relayVersion=goV1&sessionId=&pairingNonce=&expiresAt=2026-12-05T06:10:00Z";
    QTest::newRow("relay elixirV2") << relay("wss://elixir.relay.ferrowyn.dev/relay/v2", "s-1",
                                             HostRelayVersion::elixirV2)
                                    << relayHead + "wss://elixir.relay.ferrowyn.dev/relay/v2/s-1" +
                                           relayTail + "elixirV2&sessionId=s-1" + relayEnd;
    QTest::newRow("relay goV1, self-hosted")
        << relay("wss://r.example:8443/?region=eu", "s-1", HostRelayVersion::goV1)
        << relayHead + "wss://r.example:8443/relay/s-1" + relayTail + "goV1&sessionId=s-1" + relayEnd;
    // The endpoint's path holds the session encoded for a path; in the link that text is encoded once more.
    QTest::newRow("session encoded once for the query only")
        << relay("wss://r.example/", "a b", HostRelayVersion::goV1)
        << relayHead + "wss://r.example/relay/a%2520b" + relayTail + "goV1&sessionId=a%20b" + relayEnd;
    QTest::newRow("relay/ path kept, session still sent")
        << relay("wss://r.example/relay/custom", "a b", HostRelayVersion::goV1)
        << relayHead + "wss://r.example/relay/custom" + relayTail + "goV1&sessionId=a%20b" + relayEnd;
}

void SetupLinkBuilderTest::links()
{
    QFETCH(std::optional<QUrl>, link);
    QFETCH(QString, expected);
    QCOMPARE(text(link), expected);
}

void SetupLinkBuilderTest::noLinkForAnUnusableEndpoint()
{
    const std::pair<const char *, int> unusable[]{
        {"10.0.0.2", 0},      {"10.0.0.2", -8765},  {"10.0.0.2", 65536},       {"", 8765},
        {"10.0.0. 2", 8765},  {"10.0.0.2/x", 8765}, {"10.0.0.2:1/ws?x", 8765}, {"10.0.0.2:1/ws#x", 8765},
        {"me@10.0.0.2", 8765}};
    for (const auto &[host, port] : unusable)
        QVERIFY2(!lan(host, port), host);
    QVERIFY(!lan("10.0.0.2", 8765, QDateTime()));
    QVERIFY(!relay("r.example/relay", "s-1", HostRelayVersion::goV1));
}

void SetupLinkBuilderTest::expiry_data()
{
    QTest::addColumn<QDateTime>("now");
    QTest::addColumn<QString>("expiresAt"); // "" for none
    QTest::newRow("UTC") << fixedTime << "2026-12-05T06:10:00Z";
    QTest::newRow("other zone written in UTC")
        << QDateTime(QDate(2026, 12, 5), QTime(7, 55, 0), QTimeZone(2 * 3600)) << "2026-12-05T06:10:00Z";
    QTest::newRow("fraction dropped, not rounded")
        << QDateTime(QDate(2026, 12, 5), QTime(5, 55, 0, 999), QTimeZone::utc()) << "2026-12-05T06:10:00Z";
    QTest::newRow("over the year's end")
        << QDateTime(QDate(2026, 12, 31), QTime(23, 50, 0), QTimeZone::utc()) << "2027-01-01T00:05:00Z";
    QTest::newRow("small year padded")
        << QDateTime(QDate(33, 3, 3), QTime(3, 3, 3), QTimeZone::utc()) << "0033-03-03T03:18:03Z";
    QTest::newRow("past a four-digit year")
        << QDateTime(QDate(9999, 12, 31), QTime(23, 50, 0), QTimeZone::utc()) << "";
    QTest::newRow("invalid time") << QDateTime() << "";
}

void SetupLinkBuilderTest::expiry()
{
    QFETCH(QDateTime, now);
    QFETCH(QString, expiresAt);
    QCOMPARE(SetupLinkBuilder::expiresAtText(now).value_or(QString()), expiresAt);
}

void SetupLinkBuilderTest::defaultClockIsNow()
{
    const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(900).addMSecs(-999);
    const std::optional<QUrl> link = SetupLinkBuilder::lanLink({"10.0.0.2", 8765, "", "", ""});
    const QDateTime after = QDateTime::currentDateTimeUtc().addSecs(900);
    QVERIFY(link);
    const QDateTime expiresAt =
        QDateTime::fromString(QUrlQuery(*link).queryItemValue(QStringLiteral("expiresAt")), Qt::ISODate);
    QVERIFY(expiresAt >= before && expiresAt <= after);
}

QTEST_GUILESS_MAIN(SetupLinkBuilderTest)
#include "tst_setup_link_builder.moc"
