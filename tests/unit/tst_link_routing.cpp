#include "Services/LanAddress.h"
#include "Services/SetupLinkComposer.h"
#include "Services/TunnelEndpoint.h"
#include "Shared/RelayEndpoint.h"
#include "Shared/UrlComponents.h"

#include <QTest>
#include <QTimeZone>

using Addresses = std::optional<QList<NetworkInterfaceAddress>>;

namespace {

NetworkInterfaceAddress ipv4(const char *address, bool up = true, bool loopback = false)
{
    return {QStringLiteral("en0"), up, loopback, true, QString::fromLatin1(address)};
}

const QString session = QStringLiteral("6f1c2a9e-3b7d");

} // namespace

// Where the tablet is told to connect: the LAN address, the tunnel and relay endpoints, and which route the
// setup link takes.
class LinkRoutingTest : public QObject {
    Q_OBJECT

private slots:
    void privateRanges();
    void bestAddress_data();
    void bestAddress();
    void systemInterfacesAreListed();
    void tunnelEndpoint();
    void relayEndpoint_data();
    void relayEndpoint();
    void strictParse();
    void route_data();
    void route();
};

void LinkRoutingTest::privateRanges()
{
    for (const char *address : {"10.1.2.3", "192.168.1.20", "172.16.0.1", "172.31.255.1", "172..20.1"})
        QVERIFY2(isPrivateIPv4(address), address);
    for (const char *address :
         {"172.15.0.1", "172.32.0.1", "172.x.0.1", "203.0.113.5", "100.64.0.1", "192.169.0.1", "110.0.0.1"})
        QVERIFY2(!isPrivateIPv4(address), address);
}

void LinkRoutingTest::bestAddress_data()
{
    QTest::addColumn<Addresses>("addresses");
    QTest::addColumn<QString>("best"); // "" for none
    QTest::newRow("private wins over an earlier public")
        << Addresses({ipv4("203.0.113.5"), ipv4("192.168.1.20")}) << "192.168.1.20";
    QTest::newRow("first private") << Addresses({ipv4("10.0.0.2"), ipv4("192.168.1.20")}) << "10.0.0.2";
    QTest::newRow("first fallback, link-local skipped")
        << Addresses({ipv4("169.254.10.1"), ipv4("172.32.0.5"), ipv4("198.51.100.7")}) << "172.32.0.5";
    QTest::newRow("down, loopback, IPv6 and no address never chosen")
        << Addresses({ipv4("192.168.1.9", false), ipv4("127.0.0.1", true, true),
                      NetworkInterfaceAddress{"en1", true, false, false, "fd00::1"},
                      NetworkInterfaceAddress{"en3", true, false, true, std::nullopt}})
        << "";
    QTest::newRow("enumeration failed") << Addresses() << "";
}

void LinkRoutingTest::bestAddress()
{
    QFETCH(Addresses, addresses);
    QFETCH(QString, best);
    QCOMPARE(bestLANAddress(addresses).value_or(QString()), best);
}

void LinkRoutingTest::systemInterfacesAreListed()
{
    const Addresses addresses = SystemNetworkInterfaces().addresses();
    QVERIFY(addresses.has_value());
    QVERIFY(std::any_of(addresses->cbegin(), addresses->cend(), [](const auto &address) {
        return address.isIPv4 && address.numericHost == QLatin1String("127.0.0.1") && address.loopback &&
               address.up;
    }));
}

void LinkRoutingTest::tunnelEndpoint()
{
    const std::pair<const char *, const char *> rows[]{
        {"https://abc.ngrok-free.app", "wss://abc.ngrok-free.app/ws"},
        {"http://t.example:4040/t/", "ws://t.example:4040/t/ws"},
        {"https://t.example/?a=1#f", "wss://t.example/ws"},
        {"HTTPS://t.example", "wss://t.example/ws"},
        {"ws://t.example/api/", "ws://t.example/api/ws"},
        {"wss://t.example", "wss://t.example/ws"},
        {"ftp://t.example", ""},
        {"t.example/path", ""},
        {"", ""},
        {"https://t example", ""}};
    for (const auto &[publicURL, endpoint] : rows)
        QCOMPARE(directTunnelWebSocketEndpoint(publicURL).value_or(QString()), QString::fromLatin1(endpoint));
}

void LinkRoutingTest::relayEndpoint_data()
{
    QTest::addColumn<QString>("relayURL");
    QTest::addColumn<QString>("session");
    QTest::addColumn<QString>("endpoint"); // "" for none
    const auto row = [](const char *url, const QString &endpoint, const QString &id = session) {
        QTest::newRow(url) << QString::fromUtf8(url) << id << endpoint;
    };
    const QString h = QStringLiteral("wss://r.example/");
    row("wss://r.example", h + "relay/" + session);
    row("wss://r.example//relay//", h + "relay/" + session);
    row("wss://r.example/ws", h + "relay/" + session);
    row("wss://r.example/WS", h + "WS/" + session);
    row("wss://r.example/relay/v2", h + "relay/v2/" + session);
    row("wss://r.example/Relay/v2", h + "Relay/v2/" + session);
    row("wss://r.example/relay/v2/custom", h + "relay/v2/custom");
    row("wss://r.example/relay/x/", h + "relay/x/");
    row("wss://r.example/relayx", h + "relayx/" + session);
    row("wss://r.example/api/", h + "api/" + session);
    row("wss://r.example/x?y=1", h + "x/" + session);
    row("wss://r.example/relay/a?t=1", h + "relay/a");
    row("ws://me@R.example:08443/hub/?q=1#frag", "ws://me@r.example:8443/hub/" + session + "#frag");
    row("ws://[::1]:9000/relay", "ws://[::1]:9000/relay/" + session);
    row("wss://r.example/a%20b/", h + "a%20b/" + session);
    row("wss://r.example/relay%2Fv2", h + "relay%2Fv2/" + session);
    row("wss://r.example/relay/v2/", h + "relay/v2/a%20b%3Fc%23d50%25s%C3%BCa:b@c=d",
        QStringLiteral("a b?c#d50%s\u00fca:b@c=d"));
    row("wss://r.example/relay", h + "relay/", QString());
    for (const char *none :
         {"", "relay.example.com", "/relay", "wss:relay", "wss:///relay", "wss://r.example/a b",
          " wss://r.example", "wss://r.example/\t", "wss://r.example/%zz", "wss://r.example/a%2",
          "wss://r.example:abc/", "wss://r.example:65536/", "wss://r.example:+80/", "wss://[zz]/",
          "wss://r.example/a[b]", "wss://b\u00fccher.example/", "wss://r.example/\u00fc",
          "wss://a@b@r.example/"})
        row(none, QString());
}

void LinkRoutingTest::relayEndpoint()
{
    QFETCH(QString, relayURL);
    QFETCH(QString, session);
    QFETCH(QString, endpoint);
    QCOMPARE(::relayEndpoint(relayURL, session).value_or(QString()), endpoint);
}

void LinkRoutingTest::strictParse()
{
    // The empty text is an empty reference.
    for (const char *parsed : {"", "relay/v2", "ws://[fe80::1]:80/"})
        QVERIFY2(parseUrlComponents(parsed), parsed);
    for (const char *refused : {"ws://h.example/?a[0]=1", "ws://h.example/#[x]", "ws://h.example/\x7f",
                                "ws://h.example/\n", "ws://h.example/a\u00a0b"})
        QVERIFY2(!parseUrlComponents(QString::fromUtf8(refused)), refused);
}

void LinkRoutingTest::route_data()
{
    QTest::addColumn<HostingMode>("mode");
    QTest::addColumn<bool>("bindAll");
    QTest::addColumn<bool>("tunnel");
    QTest::addColumn<QString>("url"); // the tunnel's public URL or the relay URL
    QTest::addColumn<QString>("best");
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("link");
    const QString lan = QStringLiteral("ferrowyn://connect?mode=sshTunnel&endpoint=");
    const QString tail =
        QStringLiteral("&token=HT&hostId=host_ID&pairingNonce=PN&expiresAt=2026-12-05T06:10:00Z");
    QTest::newRow("loopback unless on all interfaces")
        << HostingMode::lan << false << false << ""
        << "192.168.1.20"
        << "127.0.0.1:8765" << lan + "ws://127.0.0.1:8765/ws" + tail;
    QTest::newRow("best address on all interfaces")
        << HostingMode::lan << true << false << ""
        << "192.168.1.20"
        << "192.168.1.20:8765" << lan + "ws://192.168.1.20:8765/ws" + tail;
    QTest::newRow("loopback when no address qualifies")
        << HostingMode::lan << true << false << ""
        << ""
        << "127.0.0.1:8765" << lan + "ws://127.0.0.1:8765/ws" + tail;
    QTest::newRow("tunnel without public URL") << HostingMode::lan << true << true << ""
                                               << "192.168.1.20"
                                               << "127.0.0.1:8765"
                                               << "";
    QTest::newRow("tunnel") << HostingMode::lan << true << true << "https://abc.ngrok-free.app"
                            << ""
                            << "127.0.0.1:8765" << lan + "wss://abc.ngrok-free.app/ws" + tail;
    QTest::newRow("unusable tunnel URL") << HostingMode::lan << true << true << "ftp://abc.example"
                                         << ""
                                         << "127.0.0.1:8765"
                                         << "";
    QTest::newRow("relay, no local address")
        << HostingMode::relay << true << true << "wss://r.example/relay?x=1"
        << "192.168.1.20"
        << ""
        << "ferrowyn://connect?mode=privateRelay&endpoint=wss://r.example/relay/S&token=HT&relayToken=RT"
           "&hostId=host_ID&relayVersion=goV1&sessionId=S&pairingNonce=PN&expiresAt=2026-12-05T06:10:00Z";
    QTest::newRow("unusable relay URL") << HostingMode::relay << true << false << "wss://bad host/relay"
                                        << ""
                                        << ""
                                        << "";
}

void LinkRoutingTest::route()
{
    QFETCH(HostingMode, mode);
    QFETCH(bool, bindAll);
    QFETCH(bool, tunnel);
    QFETCH(QString, url);
    QFETCH(QString, best);
    const SetupLinkComposer::Inputs inputs{mode,
                                           tunnel,
                                           bindAll,
                                           8765,
                                           url,
                                           HostRelayVersion::goV1,
                                           "HT",
                                           "host_ID",
                                           "S",
                                           "RT",
                                           "PN",
                                           url,
                                           [best] {
                                               return best.isEmpty() ? std::nullopt : std::optional(best);
                                           }};
    const auto result =
        SetupLinkComposer::compose(inputs, QDateTime(QDate(2026, 12, 5), QTime(5, 55), QTimeZone::utc()));
    QTEST(result.resolvedLANAddress.value_or(QString()), "address");
    QTEST(result.link ? result.link->toString(QUrl::FullyEncoded) : QString(), "link");
}

QTEST_GUILESS_MAIN(LinkRoutingTest)
#include "tst_link_routing.moc"
