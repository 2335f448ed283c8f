#include "Web/BrowserOrigin.h"
#include "Web/WebClient.h"

#include <QNetworkInterface>
#include <QRegularExpression>
#include <QTest>

using BrowserOrigin::Verdict;

namespace {

BrowserOrigin::OwnHosts ownHosts()
{
    BrowserOrigin::OwnHosts own;
    own.addresses = {QHostAddress(QStringLiteral("127.0.0.1")), QHostAddress(QStringLiteral("192.168.1.5")),
                     QHostAddress(QStringLiteral("::1"))};
    own.port = 8765;
    own.publicHost = QStringLiteral("abc.ngrok.app");
    return own;
}

QByteArray header(const WebClient::Response &response, const QByteArray &name)
{
    for (const auto &[key, value] : response.headers) {
        if (key == name)
            return value;
    }
    return {};
}

} // namespace

// Which requests a browser gets answered, and what the client's files are served with.
class BrowserClientTest : public QObject {
    Q_OBJECT

private slots:
    void hostHeaderIsParsedStrictly_data()
    {
        QTest::addColumn<QByteArray>("header");
        QTest::addColumn<QString>("host"); // empty: refused
        QTest::addColumn<int>("port");
        QTest::newRow("name") << QByteArray("LocalHost") << "localhost" << -1;
        QTest::newRow("name and port") << QByteArray("192.168.1.5:8765") << "192.168.1.5" << 8765;
        QTest::newRow("IPv6") << QByteArray("[::1]:8765") << "::1" << 8765;
        QTest::newRow("IPv6 in full") << QByteArray("[0:0:0:0:0:0:0:1]") << "::1" << -1;
        QTest::newRow("empty") << QByteArray("") << "" << 0;
        QTest::newRow("port only") << QByteArray(":8765") << "" << 0;
        QTest::newRow("empty port") << QByteArray("localhost:") << "" << 0;
        QTest::newRow("port zero") << QByteArray("localhost:0") << "" << 0;
        QTest::newRow("port too large") << QByteArray("localhost:65536") << "" << 0;
        QTest::newRow("port with a sign") << QByteArray("localhost:+80") << "" << 0;
        QTest::newRow("user info") << QByteArray("user@localhost:8765") << "" << 0;
        QTest::newRow("path") << QByteArray("localhost/x") << "" << 0;
        QTest::newRow("blank") << QByteArray("local host") << "" << 0;
        QTest::newRow("IPv6 unbracketed") << QByteArray("::1") << "" << 0;
        QTest::newRow("bracketed name") << QByteArray("[localhost]") << "" << 0;
        QTest::newRow("unclosed bracket") << QByteArray("[::1:8765") << "" << 0;
        QTest::newRow("two ports") << QByteArray("localhost:80:80") << "" << 0;
    }
    void hostHeaderIsParsedStrictly()
    {
        QFETCH(QByteArray, header);
        QFETCH(QString, host);
        QFETCH(int, port);
        const std::optional<BrowserOrigin::Authority> parsed = BrowserOrigin::parseHost(header);
        QCOMPARE(parsed.has_value(), !host.isEmpty());
        if (parsed) {
            QCOMPARE(parsed->host, host);
            QCOMPARE(parsed->port, port);
        }
    }

    // The page and the WebSocket, from a browser, under each name: only the agent's own names are answered,
    // and a WebSocket only from a page of the same origin.
    void requestsFromBrowsers_data()
    {
        QTest::addColumn<QByteArray>("host");
        QTest::addColumn<QByteArray>("origin"); // empty: not a browser
        QTest::addColumn<Verdict>("page");
        QTest::addColumn<Verdict>("upgrade");
        const Verdict allowed = Verdict::allowed;
        const Verdict foreignHost = Verdict::foreignHost;
        const Verdict foreignOrigin = Verdict::foreignOrigin;
        QTest::newRow("LAN address") << QByteArray("192.168.1.5:8765")
                                     << QByteArray("http://192.168.1.5:8765") << allowed << allowed;
        QTest::newRow("loopback") << QByteArray("127.0.0.1:8765") << QByteArray("http://127.0.0.1:8765")
                                  << allowed << allowed;
        QTest::newRow("localhost, any case")
            << QByteArray("LOCALHOST:8765") << QByteArray("http://localhost:8765") << allowed << allowed;
        QTest::newRow("IPv6 loopback")
            << QByteArray("[::1]:8765") << QByteArray("http://[::1]:8765") << allowed << allowed;
        QTest::newRow("tunnel") << QByteArray("abc.ngrok.app") << QByteArray("https://abc.ngrok.app")
                                << allowed << allowed;
        QTest::newRow("tunnel, port named")
            << QByteArray("abc.ngrok.app:443") << QByteArray("https://abc.ngrok.app") << allowed << allowed;
        QTest::newRow("no Origin: not a browser")
            << QByteArray("anything.example:1") << QByteArray() << foreignHost << allowed;
        QTest::newRow("another site's page")
            << QByteArray("192.168.1.5:8765") << QByteArray("https://evil.example") << allowed
            << foreignOrigin;
        QTest::newRow("DNS rebinding")
            << QByteArray("evil.example:8765") << QByteArray("http://evil.example:8765") << foreignHost
            << foreignHost;
        QTest::newRow("rebinding to the tunnel's port")
            << QByteArray("evil.example") << QByteArray("https://evil.example") << foreignHost << foreignHost;
        QTest::newRow("another port") << QByteArray("192.168.1.5:8766")
                                      << QByteArray("http://192.168.1.5:8766") << foreignHost << foreignHost;
        QTest::newRow("no port: 80 is not ours")
            << QByteArray("192.168.1.5") << QByteArray("http://192.168.1.5") << foreignHost << foreignHost;
        QTest::newRow("another address of ours")
            << QByteArray("127.0.0.1:8765") << QByteArray("http://192.168.1.5:8765") << allowed
            << foreignOrigin;
        QTest::newRow("https page, http host's port")
            << QByteArray("192.168.1.5:8765") << QByteArray("https://192.168.1.5") << allowed
            << foreignOrigin;
        QTest::newRow("tunnel host on another port")
            << QByteArray("abc.ngrok.app:8765") << QByteArray("https://abc.ngrok.app:8765") << foreignHost
            << foreignHost;
        QTest::newRow("sandboxed page")
            << QByteArray("127.0.0.1:8765") << QByteArray("null") << allowed << foreignOrigin;
        QTest::newRow("Origin with a path")
            << QByteArray("127.0.0.1:8765") << QByteArray("http://127.0.0.1:8765/x") << allowed
            << foreignOrigin;
        QTest::newRow("Origin of a file")
            << QByteArray("127.0.0.1:8765") << QByteArray("file://") << allowed << foreignOrigin;
        QTest::newRow("Origin with user info")
            << QByteArray("127.0.0.1:8765") << QByteArray("http://a@127.0.0.1:8765") << allowed
            << foreignOrigin;
        QTest::newRow("malformed Host") << QByteArray("127.0.0.1:8765/")
                                        << QByteArray("http://127.0.0.1:8765") << foreignHost << foreignHost;
    }
    void requestsFromBrowsers()
    {
        QFETCH(QByteArray, host);
        QFETCH(QByteArray, origin);
        QFETCH(Verdict, page);
        QFETCH(Verdict, upgrade);
        QCOMPARE(BrowserOrigin::checkPage(host, ownHosts()), page);
        QCOMPARE(BrowserOrigin::checkUpgrade(origin, host, ownHosts()), upgrade);
    }

    void anyAddressStandsForEveryAddressOfThisComputer()
    {
        const auto own = BrowserOrigin::OwnHosts::forListening(QHostAddress(QHostAddress::AnyIPv4), 8765,
                                                               QStringLiteral("https://Abc.ngrok.app"));
        QVERIFY(own.contains({QStringLiteral("127.0.0.1"), 8765}));
        QVERIFY(own.contains({QStringLiteral("localhost"), 8765}));
        QVERIFY(own.contains({QStringLiteral("abc.ngrok.app"), -1}));
        const auto loopbackOnly = BrowserOrigin::OwnHosts::forListening(QHostAddress::LocalHost, 8765,
                                                                        QStringLiteral("http://x.example"));
        QVERIFY(loopbackOnly.contains({QStringLiteral("localhost"), 8765}));
        QVERIFY(!loopbackOnly.contains({QStringLiteral("x.example"), -1}));
        for (const QHostAddress &address : QNetworkInterface::allAddresses()) {
            if (!address.isLoopback())
                QVERIFY(!loopbackOnly.contains({address.toString(), 8765}));
        }
    }

    void filesAndWhatTheyAreServedWith_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("host");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("contentType");
        const QByteArray own("192.168.1.5:8765");
        QTest::newRow("the page") << QByteArray("GET") << "/" << own << 200
                                  << QByteArray("text/html; charset=utf-8");
        QTest::newRow("a script") << QByteArray("GET") << "/main.js" << own << 200
                                  << QByteArray("text/javascript; charset=utf-8");
        QTest::newRow("xterm.js") << QByteArray("GET") << "/vendor/xterm.mjs" << own << 200
                                  << QByteArray("text/javascript; charset=utf-8");
        QTest::newRow("its styles") << QByteArray("GET") << "/vendor/xterm.css" << own << 200
                                    << QByteArray("text/css; charset=utf-8");
        QTest::newRow("the icon") << QByteArray("GET") << "/icon.svg" << own << 200
                                  << QByteArray("image/svg+xml");
        QTest::newRow("no such file") << QByteArray("GET") << "/missing.js" << own << 404 << QByteArray();
        QTest::newRow("climbing out")
            << QByteArray("GET") << "/vendor/../main.js" << own << 404 << QByteArray();
        QTest::newRow("hidden name") << QByteArray("GET") << "/.main.js" << own << 404 << QByteArray();
        QTest::newRow("too deep") << QByteArray("GET") << "/a/b/main.js" << own << 404 << QByteArray();
        QTest::newRow("POST") << QByteArray("POST") << "/" << own << 405 << QByteArray();
        QTest::newRow("a foreign name")
            << QByteArray("GET") << "/" << QByteArray("evil.example:8765") << 421 << QByteArray();
    }
    void filesAndWhatTheyAreServedWith()
    {
        QFETCH(QByteArray, method);
        QFETCH(QString, path);
        QFETCH(QByteArray, host);
        QFETCH(int, status);
        QFETCH(QByteArray, contentType);
        const WebClient::Response response = WebClient::answer(method == "GET", path, host, ownHosts());
        QCOMPARE(response.status, status);
        QCOMPARE(header(response, "Cache-Control"), QByteArray("no-store"));
        QCOMPARE(header(response, "X-Content-Type-Options"), QByteArray("nosniff"));
        if (status != 200)
            return;
        QCOMPARE(header(response, "Content-Type"), contentType);
        QVERIFY(!response.body.isEmpty());
        const QByteArray policy = header(response, "Content-Security-Policy");
        for (const char *directive : {"default-src 'self'", "script-src 'self';", "style-src 'self';",
                                      "frame-ancestors 'none'", "object-src 'none'", "base-uri 'none'"})
            QVERIFY2(policy.contains(directive), directive);
        QVERIFY(!policy.contains("unsafe"));
        QVERIFY(policy.contains("ws://192.168.1.5:8765 wss://192.168.1.5:8765;"));
        QCOMPARE(header(response, "Referrer-Policy"), QByteArray("no-referrer"));
        QCOMPARE(header(response, "X-Frame-Options"), QByteArray("DENY"));
    }

    // The page and its own scripts carry nothing inline for the policy to refuse, and write no markup.
    void clientHasNoInlineCodeOrMarkupWrites()
    {
        const WebClient::Response page =
            WebClient::answer(true, QStringLiteral("/"), "127.0.0.1:8765", ownHosts());
        QVERIFY(!page.body.contains("<script>"));
        QVERIFY(!page.body.contains("<style"));
        QVERIFY(!page.body.contains(" style="));
        QVERIFY(!QRegularExpression(QStringLiteral("\\son[a-z]+\\s*="))
                     .match(QString::fromUtf8(page.body))
                     .hasMatch());
        for (const char *script : {"/main.js", "/dom.js", "/home-view.js", "/terminal-view.js", "/key-bar.js",
                                   "/agent-connection.js", "/device-store.js", "/pairing-link.js"}) {
            const QByteArray body =
                WebClient::answer(true, QString::fromLatin1(script), "127.0.0.1:8765", ownHosts()).body;
            QVERIFY2(!body.isEmpty(), script);
            for (const char *unsafe :
                 {"innerHTML", "outerHTML", "insertAdjacentHTML", "document.write", "eval(", "new Function"})
                QVERIFY2(!body.contains(unsafe), script);
        }
    }
};

QTEST_GUILESS_MAIN(BrowserClientTest)
#include "tst_browser_client.moc"
