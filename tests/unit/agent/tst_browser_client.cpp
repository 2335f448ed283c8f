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
        // No port, an empty, zero, too large or signed one, user info, a path, a blank, IPv6 unbracketed, a
        // bracketed name, an unclosed bracket, two ports.
        for (const char *refused : {"", ":8765", "localhost:", "localhost:0", "localhost:65536",
                                    "localhost:+80", "user@localhost:8765", "localhost/x", "local host",
                                    "::1", "[localhost]", "[::1:8765", "localhost:80:80"})
            QTest::addRow("refused '%s'", refused) << QByteArray(refused) << QString() << 0;
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
        using enum Verdict;
        const auto row = [](const char *name, const char *host, const char *origin, Verdict page,
                            Verdict upgrade) {
            QTest::newRow(name) << QByteArray(host) << QByteArray(origin) << page << upgrade;
        };
        row("LAN address", "192.168.1.5:8765", "http://192.168.1.5:8765", allowed, allowed);
        row("loopback", "127.0.0.1:8765", "http://127.0.0.1:8765", allowed, allowed);
        row("localhost, any case", "LOCALHOST:8765", "http://localhost:8765", allowed, allowed);
        row("IPv6 loopback", "[::1]:8765", "http://[::1]:8765", allowed, allowed);
        row("tunnel", "abc.ngrok.app", "https://abc.ngrok.app", allowed, allowed);
        row("tunnel, port named", "abc.ngrok.app:443", "https://abc.ngrok.app", allowed, allowed);
        row("no Origin: not a browser", "anything.example:1", "", foreignHost, allowed);
        row("another site's page", "192.168.1.5:8765", "https://evil.example", allowed, foreignOrigin);
        row("DNS rebinding", "evil.example:8765", "http://evil.example:8765", foreignHost, foreignHost);
        row("rebinding to the tunnel's port", "evil.example", "https://evil.example", foreignHost,
            foreignHost);
        row("another port", "192.168.1.5:8766", "http://192.168.1.5:8766", foreignHost, foreignHost);
        row("no port: 80 is not ours", "192.168.1.5", "http://192.168.1.5", foreignHost, foreignHost);
        row("another address of ours", "127.0.0.1:8765", "http://192.168.1.5:8765", allowed, foreignOrigin);
        row("https page, http host's port", "192.168.1.5:8765", "https://192.168.1.5", allowed,
            foreignOrigin);
        row("tunnel host on another port", "abc.ngrok.app:8765", "https://abc.ngrok.app:8765", foreignHost,
            foreignHost);
        row("sandboxed page", "127.0.0.1:8765", "null", allowed, foreignOrigin);
        row("Origin with a path", "127.0.0.1:8765", "http://127.0.0.1:8765/x", allowed, foreignOrigin);
        row("Origin of a file", "127.0.0.1:8765", "file://", allowed, foreignOrigin);
        row("Origin with user info", "127.0.0.1:8765", "http://a@127.0.0.1:8765", allowed, foreignOrigin);
        row("malformed Host", "127.0.0.1:8765/", "http://127.0.0.1:8765", foreignHost, foreignHost);
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
        const auto row = [](const char *name, const char *method, const char *path, int status,
                            const char *contentType = "", const char *host = "192.168.1.5:8765") {
            QTest::newRow(name) << QByteArray(method) << QString::fromLatin1(path) << QByteArray(host)
                                << status << QByteArray(contentType);
        };
        row("the page", "GET", "/", 200, "text/html; charset=utf-8");
        row("a script", "GET", "/main.js", 200, "text/javascript; charset=utf-8");
        row("xterm.js", "GET", "/vendor/xterm.mjs", 200, "text/javascript; charset=utf-8");
        row("its styles", "GET", "/vendor/xterm.css", 200, "text/css; charset=utf-8");
        row("the icon", "GET", "/icon.svg", 200, "image/svg+xml");
        row("no such file", "GET", "/missing.js", 404);
        row("climbing out", "GET", "/vendor/../main.js", 404);
        row("hidden name", "GET", "/.main.js", 404);
        row("too deep", "GET", "/a/b/main.js", 404);
        row("POST", "POST", "/", 405);
        row("a foreign name", "GET", "/", 421, "", "evil.example:8765");
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
        for (const char *inlined : {"<script>", "<style", " style="})
            QVERIFY2(!page.body.contains(inlined), inlined);
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
