#include "Shared/RelayEndpoint.h"
#include "Shared/UrlComponents.h"

#include <QTest>

#include <optional>

namespace {

const QString session = QStringLiteral("6f1c2a9e-3b7d-4c1e-9a2f-0d8e5b4c3a21");

} // namespace

class RelayEndpointTest : public QObject {
    Q_OBJECT

private slots:
    void endpointRule_data();
    void endpointRule();
    void sessionIsEncodedForThePath_data();
    void sessionIsEncodedForThePath();
    void noEndpoint_data();
    void noEndpoint();
    void strictParse_data();
    void strictParse();
};

void RelayEndpointTest::endpointRule_data()
{
    QTest::addColumn<QString>("relayURL");
    QTest::addColumn<QString>("endpoint");

    const QString bare = QStringLiteral("wss://relay.example.com/relay/") + session;
    QTest::newRow("no path") << QStringLiteral("wss://relay.example.com") << bare;
    QTest::newRow("root") << QStringLiteral("wss://relay.example.com/") << bare;
    QTest::newRow("ws") << QStringLiteral("wss://relay.example.com/ws") << bare;
    QTest::newRow("ws/") << QStringLiteral("wss://relay.example.com/ws/") << bare;
    QTest::newRow("relay") << QStringLiteral("wss://relay.example.com/relay") << bare;
    QTest::newRow("//relay//") << QStringLiteral("wss://relay.example.com//relay//") << bare;
    QTest::newRow("relay/v2/") << QStringLiteral("wss://relay.example.com/relay/v2/")
                               << QStringLiteral("wss://relay.example.com/relay/v2/") + session;
    QTest::newRow("relay/v2") << QStringLiteral("wss://relay.example.com/relay/v2")
                              << QStringLiteral("wss://relay.example.com/relay/v2/") + session;
    QTest::newRow("Relay/v2 is some other path")
        << QStringLiteral("wss://relay.example.com/Relay/v2")
        << QStringLiteral("wss://relay.example.com/Relay/v2/") + session;
    QTest::newRow("WS is some other path") << QStringLiteral("wss://relay.example.com/WS")
                                           << QStringLiteral("wss://relay.example.com/WS/") + session;
    QTest::newRow("relay/v2/custom stays") << QStringLiteral("wss://relay.example.com/relay/v2/custom")
                                           << QStringLiteral("wss://relay.example.com/relay/v2/custom");
    QTest::newRow("relay/x/ stays with its slash") << QStringLiteral("wss://relay.example.com/relay/x/")
                                                   << QStringLiteral("wss://relay.example.com/relay/x/");
    QTest::newRow("relay/v3 stays") << QStringLiteral("wss://relay.example.com/relay/v3")
                                    << QStringLiteral("wss://relay.example.com/relay/v3");
    QTest::newRow("relayx is another path") << QStringLiteral("wss://relay.example.com/relayx")
                                            << QStringLiteral("wss://relay.example.com/relayx/") + session;
    QTest::newRow("api/") << QStringLiteral("wss://relay.example.com/api/")
                          << QStringLiteral("wss://relay.example.com/api/") + session;
    QTest::newRow("query dropped") << QStringLiteral("wss://relay.example.com/x?y=1")
                                   << QStringLiteral("wss://relay.example.com/x/") + session;
    QTest::newRow("empty query dropped") << QStringLiteral("wss://relay.example.com/relay?")
                                         << QStringLiteral("wss://relay.example.com/relay/") + session;
    QTest::newRow("query dropped, relay/ path kept") << QStringLiteral("wss://relay.example.com/relay/a?t=1")
                                                     << QStringLiteral("wss://relay.example.com/relay/a");
    QTest::newRow("port, user and fragment kept")
        << QStringLiteral("ws://me@relay.example.com:8443/hub/?q=1#frag")
        << QStringLiteral("ws://me@relay.example.com:8443/hub/") + session + QStringLiteral("#frag");
    QTest::newRow("scheme not rewritten") << QStringLiteral("https://relay.example.com")
                                          << QStringLiteral("https://relay.example.com/relay/") + session;
    QTest::newRow("IPv6 literal") << QStringLiteral("ws://[::1]:9000/relay")
                                  << QStringLiteral("ws://[::1]:9000/relay/") + session;
    QTest::newRow("encoded path kept as encoded")
        << QStringLiteral("wss://relay.example.com/a%20b/")
        << QStringLiteral("wss://relay.example.com/a%20b/") + session;
    QTest::newRow("encoded slash is no separator")
        << QStringLiteral("wss://relay.example.com/relay%2Fv2")
        << QStringLiteral("wss://relay.example.com/relay%2Fv2/") + session;
}

void RelayEndpointTest::endpointRule()
{
    QFETCH(QString, relayURL);
    QFETCH(QString, endpoint);
    QCOMPARE(relayEndpoint(relayURL, session), std::optional<QString>(endpoint));
}

void RelayEndpointTest::sessionIsEncodedForThePath_data()
{
    QTest::addColumn<QString>("session");
    QTest::addColumn<QString>("endpoint");
    QTest::newRow("blank and query delimiters")
        << QStringLiteral("a b?c#d") << QStringLiteral("wss://r.example/relay/a%20b%3Fc%23d");
    QTest::newRow("percent") << QStringLiteral("50%") << QStringLiteral("wss://r.example/relay/50%25");
    QTest::newRow("non-ASCII as UTF-8")
        << QStringLiteral("s\u00fc") << QStringLiteral("wss://r.example/relay/s%C3%BC");
    QTest::newRow("path characters stay")
        << QStringLiteral("a:b@c=d") << QStringLiteral("wss://r.example/relay/a:b@c=d");
    QTest::newRow("empty") << QString() << QStringLiteral("wss://r.example/relay/");
}

void RelayEndpointTest::sessionIsEncodedForThePath()
{
    QFETCH(QString, session);
    QFETCH(QString, endpoint);
    const std::optional<QString> result = relayEndpoint(QStringLiteral("wss://r.example/relay"), session);
    QCOMPARE(result, std::optional<QString>(endpoint));
    QVERIFY(QUrl(*result, QUrl::StrictMode).isValid());
}

void RelayEndpointTest::noEndpoint_data()
{
    QTest::addColumn<QString>("relayURL");
    QTest::newRow("empty") << QString();
    QTest::newRow("no scheme") << QStringLiteral("relay.example.com");
    QTest::newRow("path only") << QStringLiteral("/relay");
    QTest::newRow("no host") << QStringLiteral("wss:relay");
    QTest::newRow("empty host") << QStringLiteral("wss:///relay");
    QTest::newRow("blank") << QStringLiteral("wss://relay.example.com/a b");
    QTest::newRow("blank around") << QStringLiteral(" wss://relay.example.com");
    QTest::newRow("tab") << QStringLiteral("wss://relay.example.com/\t");
    QTest::newRow("bad escape") << QStringLiteral("wss://relay.example.com/%zz");
    QTest::newRow("short escape") << QStringLiteral("wss://relay.example.com/a%2");
    QTest::newRow("port not a number") << QStringLiteral("wss://relay.example.com:abc/");
    QTest::newRow("port too large") << QStringLiteral("wss://relay.example.com:65536/");
    QTest::newRow("signed port") << QStringLiteral("wss://relay.example.com:+80/");
    QTest::newRow("bad IPv6") << QStringLiteral("wss://[zz]/");
    QTest::newRow("bracket in path") << QStringLiteral("wss://relay.example.com/a[b]");
    QTest::newRow("non-ASCII host") << QStringLiteral("wss://b\u00fccher.example/");
    QTest::newRow("non-ASCII path") << QStringLiteral("wss://relay.example.com/\u00fc");
    QTest::newRow("two at signs") << QStringLiteral("wss://a@b@relay.example.com/");
}

void RelayEndpointTest::noEndpoint()
{
    QFETCH(QString, relayURL);
    QCOMPARE(relayEndpoint(relayURL, session), std::nullopt);
}

void RelayEndpointTest::strictParse_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("parses");
    QTest::newRow("empty is an empty reference") << QString() << true;
    QTest::newRow("relative path") << QStringLiteral("relay/v2") << true;
    QTest::newRow("IPv6 host") << QStringLiteral("ws://[fe80::1]:80/") << true;
    QTest::newRow("brackets in query") << QStringLiteral("ws://h.example/?a[0]=1") << false;
    QTest::newRow("brackets in fragment") << QStringLiteral("ws://h.example/#[x]") << false;
    QTest::newRow("DEL") << QStringLiteral("ws://h.example/\x7f") << false;
    QTest::newRow("newline") << QStringLiteral("ws://h.example/\n") << false;
    QTest::newRow("no-break space") << QStringLiteral("ws://h.example/a\u00a0b") << false;
}

void RelayEndpointTest::strictParse()
{
    QFETCH(QString, text);
    QFETCH(bool, parses);
    QCOMPARE(parseUrlComponents(text).has_value(), parses);
}

QTEST_GUILESS_MAIN(RelayEndpointTest)
#include "tst_relay_endpoint.moc"
