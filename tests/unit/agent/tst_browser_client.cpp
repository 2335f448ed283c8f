#include "Web/BrowserOrigin.h"
#include "Web/WebClient.h"

#include <QNetworkInterface>
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
    void hostHeaderIsParsedStrictly()
    {
        // An IPv6 address is read in its shortest form, and no port is none (-1). (Names in any case, ports
        // and brackets are the requests' rows.)
        const std::optional<BrowserOrigin::Authority> loopback =
            BrowserOrigin::parseHost("[0:0:0:0:0:0:0:1]");
        QVERIFY(loopback && loopback->host == "::1" && loopback->port == -1);
        // No port, an empty, zero, too large or signed one, user info, a path, a blank, IPv6 unbracketed, a
        // bracketed name or IPv4 address, an unclosed bracket, two ports.
        for (const char *refused : {"", ":8765", "localhost:", "localhost:0", "localhost:65536",
                                    "localhost:+80", "user@localhost:8765", "localhost/x", "local host",
                                    "::1", "[localhost]", "[127.0.0.1]", "[::1:8765", "localhost:80:80"})
            QVERIFY2(!BrowserOrigin::parseHost(refused), refused);
    }

    // The page and the WebSocket, from a browser, under each name: only the agent's own names are answered,
    // and a WebSocket only from a page of the same origin.
    void requestsFromBrowsers()
    {
        using enum Verdict;
        // What the case is, the Host, the Origin (empty: not a browser), and the verdicts on the page and on
        // the upgrade.
        const std::tuple<const char *, const char *, const char *, Verdict, Verdict> rows[]{
            {"LAN address", "192.168.1.5:8765", "http://192.168.1.5:8765", allowed, allowed},
            {"loopback", "127.0.0.1:8765", "http://127.0.0.1:8765", allowed, allowed},
            {"localhost, any case", "LOCALHOST:8765", "http://localhost:8765", allowed, allowed},
            {"IPv6 loopback", "[::1]:8765", "http://[::1]:8765", allowed, allowed},
            {"tunnel", "abc.ngrok.app", "https://abc.ngrok.app", allowed, allowed},
            {"tunnel, port named", "abc.ngrok.app:443", "https://abc.ngrok.app", allowed, allowed},
            {"no Origin: not a browser", "anything.example:1", "", foreignHost, allowed},
            {"another site's page", "192.168.1.5:8765", "https://evil.example", allowed, foreignOrigin},
            {"DNS rebinding", "evil.example:8765", "http://evil.example:8765", foreignHost, foreignHost},
            {"rebinding to the tunnel's port", "evil.example", "https://evil.example", foreignHost,
             foreignHost},
            {"another port", "192.168.1.5:8766", "http://192.168.1.5:8766", foreignHost, foreignHost},
            {"no port: 80 is not ours", "192.168.1.5", "http://192.168.1.5", foreignHost, foreignHost},
            {"another address of ours", "127.0.0.1:8765", "http://192.168.1.5:8765", allowed, foreignOrigin},
            {"https page, http host's port", "192.168.1.5:8765", "https://192.168.1.5", allowed,
             foreignOrigin},
            {"tunnel host on another port", "abc.ngrok.app:8765", "https://abc.ngrok.app:8765", foreignHost,
             foreignHost},
            {"sandboxed page", "127.0.0.1:8765", "null", allowed, foreignOrigin},
            {"Origin with a path", "127.0.0.1:8765", "http://127.0.0.1:8765/x", allowed, foreignOrigin},
            {"Origin with a slash", "127.0.0.1:8765", "http://127.0.0.1:8765/", allowed, foreignOrigin},
            {"Origin of a file", "127.0.0.1:8765", "file://", allowed, foreignOrigin},
            {"Origin with user info", "127.0.0.1:8765", "http://a@127.0.0.1:8765", allowed, foreignOrigin},
            {"malformed Host", "127.0.0.1:8765/", "http://127.0.0.1:8765", foreignHost, foreignHost}};
        for (const auto &[name, host, origin, page, upgrade] : rows) {
            QVERIFY2(BrowserOrigin::checkPage(host, ownHosts()) == page, name);
            QVERIFY2(BrowserOrigin::checkUpgrade(origin, host, ownHosts()) == upgrade, name);
        }
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
        // Every loopback name, whichever loopback address the agent listens on.
        for (const auto loopback : {QHostAddress::LocalHost, QHostAddress::LocalHostIPv6}) {
            const auto agent = BrowserOrigin::OwnHosts::forListening(loopback, 8765, {});
            for (const char *name : {"localhost", "127.0.0.1", "::1"})
                QVERIFY2(agent.contains({QString::fromLatin1(name), 8765}), name);
        }
        QVERIFY(!loopbackOnly.contains({QStringLiteral("x.example"), -1}));
        for (const QHostAddress &address : QNetworkInterface::allAddresses()) {
            if (!address.isLoopback())
                QVERIFY(!loopbackOnly.contains({address.toString(), 8765}));
        }
    }

    void filesAndWhatTheyAreServedWith()
    {
        // GET or not, the path, the status, and the type a file is served as; 421 for a request under a
        // foreign name.
        const std::tuple<bool, const char *, int, const char *> rows[]{
            {true, "/", 200, "text/html; charset=utf-8"},
            {true, "/main.js", 200, "text/javascript; charset=utf-8"},
            {true, "/vendor/xterm.mjs", 200, "text/javascript; charset=utf-8"},
            {true, "/vendor/xterm.css", 200, "text/css; charset=utf-8"},
            {true, "/vendor/noble/curves/abstract/montgomery.js", 200, "text/javascript; charset=utf-8"},
            {true, "/vendor/LICENSE-noble-curves.txt", 200, "text/plain; charset=utf-8"},
            {true, "/vendor/noble/../../main.js", 404, ""},
            {true, "/icon.svg", 200, "image/svg+xml"},
            {true, "/missing.js", 404, ""},
            {true, "/vendor/../main.js", 404, ""},
            {true, "/.main.js", 404, ""},
            {true, "/a/b/main.js", 404, ""},
            {false, "/", 405, ""},
            {true, "/", 421, ""}};
        for (const auto &[get, path, status, contentType] : rows) {
            const WebClient::Response response = WebClient::answer(
                get, path, status == 421 ? "evil.example:8765" : "192.168.1.5:8765", ownHosts());
            QVERIFY2(response.status == status, path);
            QCOMPARE(header(response, "Cache-Control"), QByteArray("no-store"));
            QCOMPARE(header(response, "X-Content-Type-Options"), QByteArray("nosniff"));
            if (status != 200)
                continue;
            QCOMPARE(header(response, "Content-Type"), QByteArray(contentType));
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
    }

    // The client's scripts write no markup, so no text from outside can become some. (What the page carries
    // inline, the policy refuses in the browser, and the browser test fails on the console's error.)
    void clientWritesNoMarkup()
    {
        for (const char *script :
             {"/main.js", "/dom.js", "/home-view.js", "/terminal-view.js", "/key-bar.js",
              "/agent-connection.js", "/device-store.js", "/pairing-link.js", "/noise.js"}) {
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
