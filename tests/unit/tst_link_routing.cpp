#include "Services/LanAddress.h"
#include "Services/TunnelEndpoint.h"

#include <QTest>

namespace {

NetworkInterfaceAddress ipv4(const QString &name, const QString &address, bool up = true,
                             bool loopback = false)
{
    return {name, up, loopback, true, address};
}

NetworkInterfaceAddress ipv6(const QString &name, const QString &address)
{
    return {name, true, false, false, address};
}

} // namespace

using Addresses = std::optional<QList<NetworkInterfaceAddress>>;

// Where the tablet is told to connect: the LAN address and the tunnel's WebSocket endpoint.
class LinkRoutingTest : public QObject {
    Q_OBJECT

private slots:
    void privateRanges_data();
    void privateRanges();
    void bestAddress_data();
    void bestAddress();
    void systemInterfacesAreListed();
    void tunnelEndpoint_data();
    void tunnelEndpoint();
};

void LinkRoutingTest::privateRanges_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("isPrivate");
    QTest::newRow("10/8") << QStringLiteral("10.1.2.3") << true;
    QTest::newRow("192.168/16") << QStringLiteral("192.168.1.20") << true;
    QTest::newRow("172.16 lower edge") << QStringLiteral("172.16.0.1") << true;
    QTest::newRow("172.31 upper edge") << QStringLiteral("172.31.255.1") << true;
    QTest::newRow("172.15 below") << QStringLiteral("172.15.0.1") << false;
    QTest::newRow("172.32 above") << QStringLiteral("172.32.0.1") << false;
    QTest::newRow("172 empty field skipped") << QStringLiteral("172..20.1") << true;
    QTest::newRow("172 not a number") << QStringLiteral("172.x.0.1") << false;
    QTest::newRow("public") << QStringLiteral("203.0.113.5") << false;
    QTest::newRow("100.64 carrier NAT") << QStringLiteral("100.64.0.1") << false;
    QTest::newRow("192.169 is not 192.168") << QStringLiteral("192.169.0.1") << false;
    QTest::newRow("110 is not 10") << QStringLiteral("110.0.0.1") << false;
}

void LinkRoutingTest::privateRanges()
{
    QFETCH(QString, address);
    QFETCH(bool, isPrivate);
    QCOMPARE(isPrivateIPv4(address), isPrivate);
}

void LinkRoutingTest::bestAddress_data()
{
    QTest::addColumn<Addresses>("addresses");
    QTest::addColumn<std::optional<QString>>("best");

    QTest::newRow("private wins over an earlier public")
        << Addresses({ipv4("en0", "203.0.113.5"), ipv4("en1", "192.168.1.20")})
        << std::optional<QString>("192.168.1.20");
    QTest::newRow("first private in order")
        << Addresses({ipv4("en0", "10.0.0.2"), ipv4("en1", "192.168.1.20")})
        << std::optional<QString>("10.0.0.2");
    QTest::newRow("non-private fallback, link-local skipped")
        << Addresses({ipv4("en0", "169.254.10.1"), ipv4("en1", "172.32.0.5")})
        << std::optional<QString>("172.32.0.5");
    QTest::newRow("first fallback kept")
        << Addresses({ipv4("en0", "203.0.113.5"), ipv4("en1", "198.51.100.7")})
        << std::optional<QString>("203.0.113.5");
    QTest::newRow("down, loopback and IPv6 never chosen")
        << Addresses({ipv4("en0", "192.168.1.9", false), ipv4("lo", "127.0.0.1", true, true),
                      ipv6("en1", "fd00::1"),
                      NetworkInterfaceAddress{"en3", true, false, true, std::nullopt}})
        << std::optional<QString>();
    QTest::newRow("only link-local") << Addresses({ipv4("en0", "169.254.3.3")}) << std::optional<QString>();
    QTest::newRow("empty list") << Addresses(QList<NetworkInterfaceAddress>()) << std::optional<QString>();
    QTest::newRow("enumeration failed") << Addresses() << std::optional<QString>();
}

void LinkRoutingTest::bestAddress()
{
    QFETCH(Addresses, addresses);
    QFETCH(std::optional<QString>, best);
    const std::optional<QString> chosen = bestLANAddress(addresses);
    QCOMPARE(chosen.value_or(QStringLiteral("none")), best.value_or(QStringLiteral("none")));
}

void LinkRoutingTest::systemInterfacesAreListed()
{
    const Addresses addresses = SystemNetworkInterfaces().addresses();
    QVERIFY(addresses.has_value());
    const auto loopback = std::find_if(addresses->cbegin(), addresses->cend(), [](const auto &address) {
        return address.isIPv4 && address.numericHost == QLatin1String("127.0.0.1");
    });
    QVERIFY(loopback != addresses->cend());
    QVERIFY(loopback->loopback);
    QVERIFY(loopback->up);
}

void LinkRoutingTest::tunnelEndpoint_data()
{
    QTest::addColumn<QString>("publicURL");
    QTest::addColumn<std::optional<QString>>("endpoint");
    const auto some = [](const char *text) {
        return std::optional<QString>(QString::fromLatin1(text));
    };

    QTest::newRow("https") << QStringLiteral("https://abc.ngrok-free.app")
                           << some("wss://abc.ngrok-free.app/ws");
    QTest::newRow("http with port and path")
        << QStringLiteral("http://t.example:4040/t/") << some("ws://t.example:4040/t/ws");
    QTest::newRow("query and fragment dropped")
        << QStringLiteral("https://t.example/?a=1#f") << some("wss://t.example/ws");
    QTest::newRow("upper-case scheme") << QStringLiteral("HTTPS://t.example") << some("wss://t.example/ws");
    QTest::newRow("ws kept") << QStringLiteral("ws://t.example/api/") << some("ws://t.example/api/ws");
    QTest::newRow("wss kept") << QStringLiteral("wss://t.example") << some("wss://t.example/ws");
    QTest::newRow("ftp") << QStringLiteral("ftp://t.example") << std::optional<QString>();
    QTest::newRow("no scheme") << QStringLiteral("t.example/path") << std::optional<QString>();
    QTest::newRow("empty") << QString() << std::optional<QString>();
    QTest::newRow("unparsable") << QStringLiteral("https://t example") << std::optional<QString>();
}

void LinkRoutingTest::tunnelEndpoint()
{
    QFETCH(QString, publicURL);
    QFETCH(std::optional<QString>, endpoint);
    const std::optional<QString> result = directTunnelWebSocketEndpoint(publicURL);
    QCOMPARE(result.value_or(QStringLiteral("none")), endpoint.value_or(QStringLiteral("none")));
}

QTEST_GUILESS_MAIN(LinkRoutingTest)
#include "tst_link_routing.moc"
