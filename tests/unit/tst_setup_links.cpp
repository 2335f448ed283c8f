#include "Services/Links/LanAddress.h"
#include "Services/Links/QRCodeRenderer.h"
#include "Services/Links/SetupLinkBuilder.h"
#include "Services/Links/SetupLinkComposer.h"
#include "Services/Links/SetupLinkPublisher.h"
#include "Services/Links/TerminalQRCode.h"
#include "Services/Links/TunnelEndpoint.h"
#include "Services/Redaction/HostSecretRedactor.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimeZone>
#include <QUrlQuery>

using Addresses = std::optional<QList<NetworkInterfaceAddress>>;

namespace {

const QDateTime fixedTime(QDate(2026, 12, 5), QTime(5, 55), QTimeZone::utc());
// Bytes 0 to 8.
const QString serial = QStringLiteral("AAECAwQFBgcI");
// The ticket for the credentials and serial below, at the fixed time: the browser form's, and the app link's
// pairing code when made with the same serial.
const QString ticket = "1796451000." + serial + ".uVHHl4VD5W6W7bkDvYgf8w";
// The agent key of the credentials below: the key pair of RFC 7748's first Diffie-Hellman example.
const QString agentKey = QStringLiteral("dwdtCnMYpX08FsFyUbJmRd9ML4frwJkqsXf7pR25LCo");
const QString agentPublicKey = QStringLiteral("hSDwCYkwp1R0i33ctD73Wg2_Og0mOBr066SpjqqbTmo");
const QString fragment = "/#ticket=" + ticket + "&key=" + agentPublicKey;
const QString lanHead = QStringLiteral("ferrowyn://connect?mode=sshTunnel&endpoint=");
const QString lanTail = "&token=TK&hostId=host_H&pairingNonce=" + ticket +
                        "&expiresAt=2026-12-05T06:10:00Z&agentKey=" + agentPublicKey;
const QString relayHead = QStringLiteral("ferrowyn://connect?mode=privateRelay&endpoint=");
const QString relayTail =
    QStringLiteral("&token=TK&relayToken=RT&hostId=host_H&relayVersion=goV1&sessionId=");
const HostCredentials credentials{"host_H", "TK", "RT", "a b", "PN", agentKey, {}, {}, {}};

QString text(const std::optional<QUrl> &link)
{
    return link ? link->toString(QUrl::FullyEncoded) : QString();
}

QString lan(const QString &host, int port, const QDateTime &now = fixedTime)
{
    return text(SetupLinkBuilder::lanLink(host, port, credentials, serial, now));
}

NetworkInterfaceAddress ipv4(const char *address, bool up = true, bool loopback = false, bool isIPv4 = true)
{
    return {"en0", up, loopback, isIPv4, QString::fromLatin1(address)};
}

} // namespace

// The setup link the tablet scans: where it points, its exact text, and how it is shown masked.
class SetupLinksTest : public QObject {
    Q_OBJECT

private slots:
    void lanAndTunnelLinks();
    void browserLinks();
    void route();
    void masking();
    void qrImage();
    void tunnelPoll();
    void ticketAfterEachPairing();
};

void SetupLinksTest::lanAndTunnelLinks()
{
    // Values round-tripping through the link text for any input is the setup-link fuzz target's job; these
    // are the exact texts the tablet reads.
    QCOMPARE(lan("10.0.0.2", 1), lanHead + "ws://10.0.0.2:1/ws" + lanTail);
    QCOMPARE(lan("10.0.0.2", 65535), lanHead + "ws://10.0.0.2:65535/ws" + lanTail);
    for (const int port : {0, -8765, 65536})
        QCOMPARE(lan("10.0.0.2", port), QString());
    for (const char *host :
         {"", "10.0.0. 2", "10.0.0.2/x", "10.0.0.2:1/ws?x", "10.0.0.2:1/ws#x", "me@10.0.0.2"})
        QCOMPARE(lan(host, 8765), QString());
    QCOMPARE(text(SetupLinkBuilder::directTunnelLink(
                 "wss://t.example/ws?a=1&b=2#f",
                 {"x=y+z;w", "a&token=b", {}, {}, QStringLiteral("50% \u00fc"), agentKey, {}, {}, {}}, serial,
                 fixedTime)),
             lanHead +
                 "wss://t.example/ws?a%3D1%26b%3D2%23f&token=a%26token%3Db&hostId=x%3Dy%2Bz%3Bw"
                 "&pairingNonce=1796451000." +
                 serial +
                 ".x6LREV2eVBtgWSkdBsndFA&expiresAt=2026-12-05T06:10:00Z&agentKey=" + agentPublicKey);
    // Expiry in UTC, fraction dropped; none past a four-digit year or for an invalid time.
    QVERIFY(lan("10.0.0.2", 8765, QDateTime(QDate(2026, 12, 31), QTime(23, 50, 0, 999), QTimeZone(3600)))
                .contains("&expiresAt=2026-12-31T23:05:00Z&"));
    QCOMPARE(lan("10.0.0.2", 8765, QDateTime(QDate(9999, 12, 31), QTime(23, 50), QTimeZone::utc())),
             QString());
    QCOMPARE(lan("10.0.0.2", 8765, QDateTime()), QString());
    // A tunnel's public URL turning into its endpoint is the tunnel poll's job (below).
    for (const char *publicURL : {"ftp://t.example", "t.example/path", "https://t example"})
        QCOMPARE(directTunnelWebSocketEndpoint(publicURL), std::nullopt);
    // A private address wins over an earlier public one, which is taken only when no private one is there.
    for (const char *address : {"10.1.2.3", "192.168.1.20", "172.16.0.1", "172.31.255.1"})
        QCOMPARE(bestLANAddress(Addresses({ipv4("203.0.113.5"), ipv4(address)})), address);
    for (const char *address :
         {"172.15.0.1", "172.32.0.1", "172.x.0.1", "100.64.0.1", "192.169.0.1", "110.0.0.1"})
        QCOMPARE(bestLANAddress(Addresses({ipv4("203.0.113.5"), ipv4(address)})), "203.0.113.5");
    QCOMPARE(bestLANAddress(Addresses({ipv4("169.254.10.1"), ipv4("192.168.1.9", false),
                                       ipv4("127.0.0.1", true, true), ipv4("fd00::1", true, false, false)})),
             std::nullopt);
    const Addresses system = SystemNetworkInterfaces().addresses();
    QVERIFY(system && std::any_of(system->cbegin(), system->cend(), [](const auto &address) {
                return address.isIPv4 && address.numericHost == "127.0.0.1" && address.loopback && address.up;
            }));
}

// The browser form: the agent's page with a pairing ticket in the fragment, and none of the pairing's
// secrets. The expected tickets were computed apart from this code (Python's hmac), as a client author would.
void SetupLinksTest::browserLinks()
{
    const auto lanPage = [](const QString &host, int port, const QString &withSerial = serial) {
        return text(SetupLinkBuilder::lanBrowserLink(host, port, credentials, withSerial, fixedTime));
    };
    const auto tunnelPage = [](const QString &publicURL, const HostCredentials &with = credentials) {
        return text(SetupLinkBuilder::tunnelBrowserLink(publicURL, with, serial, fixedTime));
    };
    QCOMPARE(lanPage("127.0.0.1", 1), "http://127.0.0.1:1" + fragment);
    for (const int port : {0, 65536})
        QCOMPARE(lanPage("10.0.0.2", port), QString());
    for (const char *host : {"", "10.0.0. 2", "10.0.0.2/x", "10.0.0.2:1/x?y", "10.0.0.2#x", "me@10.0.0.2"})
        QCOMPARE(lanPage(host, 8765), QString());
    // A serial of another length or alphabet makes no ticket.
    for (const char *other : {"", "AAECAwQFBgc", "AAECAwQFBgcIC", "AAECAwQFBgc+", "AAECAwQFBgc="})
        QCOMPARE(lanPage("10.0.0.2", 8765, other), QString());
    QCOMPARE(tunnelPage("https://abc.ngrok.app:8443/any/path?q#f"), "https://abc.ngrok.app:8443" + fragment);
    for (const char *publicURL : {"", "http://abc.ngrok.app", "wss://abc.ngrok.app", "https://",
                                  "abc.ngrok.app", "https://a b.example", "https://me@abc.ngrok.app"})
        QCOMPARE(tunnelPage(publicURL), QString());
    // Whatever the secrets are made of, none of them is in the link: only the mac they make.
    HostCredentials odd{"x=y+z;w", "a&token=b#", "RT", {}, QStringLiteral("50% \u00fc"),
                        agentKey,  {},           {},   {}};
    const QString oddLink = tunnelPage("https://t.example", odd);
    QCOMPARE(oddLink, "https://t.example/#ticket=1796451000." + serial +
                          ".x6LREV2eVBtgWSkdBsndFA&key=" + agentPublicKey);
    // The tablet could not reach an agent whose key it cannot pin: no link of any form without one.
    odd.agentKey = agentPublicKey.chopped(1) + 'n'; // not the canonical text of a key
    QVERIFY(tunnelPage("https://t.example", odd).isEmpty() &&
            !SetupLinkBuilder::directTunnelLink("wss://t.example/ws", odd, serial, fixedTime));
    // The computer's name may hold anything a fragment would read otherwise: it stays one encoded value.
    QCOMPARE(
        text(SetupLinkBuilder::withPairingNote(QUrl(oddLink), QStringLiteral("Anna's #1 & 50% \u00fc"), 3)),
        oddLink + "&computer=Anna's%20%231%20%26%2050%25%20%C3%BC&folders=3");
}

void SetupLinksTest::route()
{
    // LAN on port 8765 unless said otherwise; each step changes the inputs of the step before.
    SetupLinkComposer::Inputs in{
        {}, credentials, {}, [] { return std::optional<QString>("192.168.1.20"); }, serial, serial};
    in.settings.lanBindAll = false;
    in.settings.relayURL = "wss://r.example/relay?x=1";
    in.settings.relayVersion = HostRelayVersion::goV1;
    // The local address the links are for, the app's link and the browser's.
    const auto composes = [&in](const char *address, const QString &link, const QString &browserLink = {}) {
        const auto result = SetupLinkComposer::compose(in, fixedTime);
        QCOMPARE(result.resolvedLANAddress.value_or(QString()), address);
        QCOMPARE(text(result.link), link);
        QCOMPARE(text(result.browserLink), browserLink);
    };
    // Loopback unless on all interfaces, and then the best LAN address.
    composes("127.0.0.1:8765", lanHead + "ws://127.0.0.1:8765/ws" + lanTail,
             "http://127.0.0.1:8765" + fragment);
    in.settings.lanBindAll = true;
    composes("192.168.1.20:8765", lanHead + "ws://192.168.1.20:8765/ws" + lanTail,
             "http://192.168.1.20:8765" + fragment);
    // No tunnel link without its public URL.
    in.settings.ngrokTunnelEnabled = true;
    composes("127.0.0.1:8765", "");
    in.tunnelPublicURL = "https://t.example";
    composes("127.0.0.1:8765", lanHead + "wss://t.example/ws" + lanTail, "https://t.example" + fragment);
    in.tunnelPublicURL.clear();
    in.settings.mode = HostingMode::relay;
    // The endpoint's path holds the session encoded for a path; in the link that text is encoded once more.
    // The relay has no browser form, and no local address.
    composes("", relayHead + "wss://r.example/relay/a%2520b" + relayTail + "a%20b&pairingNonce=" + ticket +
                     "&expiresAt=2026-12-05T06:10:00Z&agentKey=" + agentPublicKey);
    // No relay link without the relay's host.
    in.settings.relayURL = "r.example/relay";
    composes("", "");
}

void SetupLinksTest::masking()
{
    const auto masked = [](const char *query, const QStringList &secrets = {}) {
        return HostSecretRedactor::redactedSetupLink(
            QUrl("ferrowyn://connect" + QString(query), QUrl::StrictMode), secrets);
    };
    // Secret items by name (spelt in any case, without value, also inside the endpoint), the rest by value.
    QCOMPARE(
        masked(
            "?endpoint=wss://r.example/hub/s-1&TOKEN=t1&hostId=host_h1&relayToken=t2&HostToken&pairingNonce=",
            {"s-1", "host_h1"}),
        "ferrowyn://connect?endpoint=wss://r.example/hub/redacted&TOKEN=redacted&hostId=redacted&"
        "relayToken=redacted&HostToken=redacted&pairingNonce=redacted");
    QCOMPARE(
        masked(
            "?endpoint=wss://t.example/ws?token%3Dabc%26x%3D1&ENDPOINT=ws://a/?pairingNonce=n&h=1#token=f"),
        "ferrowyn://connect?endpoint=wss://t.example/ws?token%3Dredacted%26x%3D1&ENDPOINT=ws://a/"
        "?pairingNonce%3Dredacted&h=1#token=f");
    // Without a query, the fragment's items: the browser form carries its ticket there.
    QCOMPARE(masked("/t1#token=x&Ticket=y&z=1", {"t1"}),
             "ferrowyn://connect/redacted#token=redacted&Ticket=redacted&z=1");
    // QUrl itself would decode "%74" to "t", so this one goes through the text alone.
    QCOMPARE(HostSecretRedactor::redactSetupURL("ferrowyn://connect?%74oken=t1&relay%54oken=t2"),
             "ferrowyn://connect?%74oken=redacted&relay%54oken=redacted");

    // Every encoded form the redactor claims to match is the agent-output fuzz target's; these are the edges
    // it leaves out: text that only looks like a secret, and what the replacement word makes with its
    // neighbours. The secrets, the text, and what is shown.
    QList<std::tuple<QStringList, QString, QString>> table{
        {{"tok-123"}, "tok-123 and tok-123", "redacted and redacted"},
        {{"abc", "host_abc123"}, "id=host_abc123", "id=host_redacted123"}, // in the order given
        // "redacted" ends in "ed": each replacement of "edXY" would otherwise form the next one.
        {{"edXY"}, "edXYXYXY!", "redactredactredacted!"},
        // A later replacement completes an earlier secret at its edge, or whole.
        {{"dXYZ", "qq"}, "qqXYZ", "redacteredacted"},
        {{"redactedQ", "zzz"}, "zzzQ", "redacted"},
        // A secret inside the replacement word.
        {{"act"}, "act, react", "redacted, reredacted"},
        {{"d", "xr"}, "xdx", "redactededactedx"}};
    for (const char *lookalike : {"TOKEN-ABC", "token-ab", "token%2-abc", "token%2Eabc", "token\\u02d"})
        table.append({{"token-abc"}, lookalike, lookalike});
    for (const auto &[secrets, text, shown] : table)
        QCOMPARE(HostSecretRedactor::redact(text, secrets), shown);
}

void SetupLinksTest::qrImage()
{
    // That the image decodes to the link at its exact size is the QR decode test's job.
    // "x" is a code of 21 modules, with the quiet zone 29: ten pixels each, dark on light.
    const QImage image = QRCodeRenderer::image("x", 290).value();
    QVERIFY(image.pixel(39, 39) == qRgb(255, 255, 255) && image.pixel(40, 40) == qRgb(0, 0, 0));
    // Version 40 at level M holds 2331 bytes; "\u00fc" takes two.
    QVERIFY(QRCodeRenderer::image(QString(2331, 'a'), 220) &&
            QRCodeRenderer::image(QString(1165, QChar(0xfc)), 220));
    for (const QString &text : {QString(2332, 'a'), QString(1166, QChar(0xfc)), QString(QChar(0xd800)) + "x"})
        QCOMPARE(QRCodeRenderer::image(text, 220), std::nullopt);
    for (const qreal size : {0.4, -220.0, qQNaN(), qInf(), QRCodeRenderer::largestSize + 1})
        QCOMPARE(QRCodeRenderer::image("x", size), std::nullopt);
    // In a terminal, dark modules are drawn black on white whatever the theme's own colours: the upper or
    // lower half of a block for each of two rows, a blank for two light ones. Elsewhere, the same blocks
    // without a colour.
    QImage modules(3, 2, QImage::Format_RGB32);
    modules.fill(Qt::white);
    modules.setPixel(0, 0, qRgb(0, 0, 0));
    modules.setPixel(1, 1, qRgb(0, 0, 0));
    QCOMPARE(TerminalQRCode::text(modules, TerminalQRCode::Colours::explicitDarkOnLight),
             u"\x1b[38;5;16;48;5;231m\u2580\u2584 \x1b[0m\n"_qs);
    QCOMPARE(TerminalQRCode::text(modules, TerminalQRCode::Colours::none), u"\u2580\u2584 \n"_qs);
}

void SetupLinksTest::tunnelPoll()
{
    const QByteArray online(R"({"tunnel":{"state":"online","publicUrl":"https://t.example"}})");
    const auto answer = [&online](const char *status, qsizetype length) {
        return "HTTP/1.1 " + QByteArray(status) + "\r\nContent-Length: " + QByteArray::number(length) +
               "\r\n\r\n" + online;
    };
    // What the agent's health endpoint answers, every time, and the tunnel's state. Only a 200 answer counts,
    // whatever its body says; past its bound an answer is not read on, not even to its end, which never
    // comes.
    const QList<std::pair<QByteArray, TunnelState>> table{
        {answer("200 OK", online.size()), TunnelState::online},
        {answer("503 Service Unavailable", online.size()), TunnelState::failed},
        {answer("200 OK", 9999999).chopped(2) + ",\"x\":\"" + QByteArray(70000, 'x'), TunnelState::failed}};
    for (const auto &[answered, state] : table) {
        QTcpServer agent;
        QVERIFY(agent.listen(QHostAddress::LocalHost));
        connect(&agent, &QTcpServer::newConnection, &agent, [&] {
            QTcpSocket *request = agent.nextPendingConnection();
            connect(request, &QTcpSocket::readyRead, request, [=] { request->write(answered); });
        });
        HostingSettings settings;
        settings.ngrokTunnelEnabled = true;
        settings.lanPort = agent.serverPort();
        // Two attempts a moment apart; a request alone could last a minute.
        SetupLinkPublisher publisher({[] { return credentials; }, [] { return true; },
                                      [&] {
                                          return settings;
                                      }},
                                     std::chrono::hours(1),
                                     {std::chrono::milliseconds(50), 2, std::chrono::minutes(1)});
        publisher.agentLaunched(true);
        publisher.agentRunning();
        QTRY_VERIFY_WITH_TIMEOUT(publisher.tunnelState() != TunnelState::starting, 5000);
        QCOMPARE(publisher.tunnelState(), state);
        // The tunnel's link, or none once the poll gave up.
        const bool failed = state == TunnelState::failed;
        QVERIFY(publisher.setupLink().isEmpty() == failed &&
                publisher.tunnelLastError() == (failed ? SetupLinkPublisher::tunnelTimeoutError : QString()));
    }
}

// A pairing code or ticket pairs one device: once one paired, the app link carries a new code and the browser
// link a new ticket, and only then.
void SetupLinksTest::ticketAfterEachPairing()
{
    HostingSettings settings;
    settings.lanBindAll = false;
    bool running = true;
    const SetupLinkPublisher::Hooks hooks{[] { return credentials; }, [&] { return running; },
                                          [&] {
                                              return std::optional(settings);
                                          }};
    SetupLinkPublisher publisher(hooks, std::chrono::hours(1), {});
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const auto device = [&now](const char *id, int pairedAt, int seenAt = 0) {
        return TrustedDevice{id, "iPad", "host_H", now.addSecs(pairedAt), now.addSecs(seenAt), {}};
    };
    const TrustedDevice one = device("d1", 0), seen = device("d1", 0, 60), two = device("d2", 0),
                        again = device("d1", 1);
    // The devices as their file lists them, one after the other, and whether the ticket is then new. `again`
    // is d1 revoked and paired anew under its id.
    const QList<std::pair<QList<TrustedDevice>, bool>> table{
        {{}, false},          {{one}, true},  {{seen}, false}, {{seen, two}, true},
        {{two, again}, true}, {{two}, false}, {{}, false},
    };
    // The serial of the app link's code: a code made anew in another second differs by its expiry alone.
    const auto code = [&publisher] {
        return QUrlQuery(publisher.setupLink()).queryItemValue("pairingNonce").section('.', 1, 1);
    };
    publisher.agentRunning();
    for (const auto &[devices, renewed] : table) {
        const QString before = code();
        const QUrl browserBefore = publisher.browserLink();
        QSignalSpy changed(&publisher, &SetupLinkPublisher::setupLinkChanged);
        publisher.trustedDevicesChanged(devices);
        // Each link's code pairs a device of its own.
        const QString browser = publisher.browserLink().toString();
        QVERIFY(browser.startsWith("http://127.0.0.1:") && !code().isEmpty() && !browser.contains(code()));
        QCOMPARE(code() != before, renewed);
        QCOMPARE(publisher.browserLink() != browserBefore, renewed);
        QCOMPARE(changed.size(), renewed ? 1 : 0);
    }
    // The relay's link has no browser form: its code is renewed all the same.
    settings.mode = HostingMode::relay;
    settings.relayURL = "wss://r.example/relay";
    publisher.recompute(settings);
    const QString relayCode = code();
    publisher.trustedDevicesChanged({device("d3", 0)});
    QVERIFY(!relayCode.isEmpty() && code() != relayCode);
    // Without an agent nothing is published, a new ticket or not.
    running = false;
    publisher.agentExited();
    publisher.trustedDevicesChanged({device("d4", 0)});
    QVERIFY(publisher.browserLink().isEmpty() && publisher.setupLink().isEmpty());
}

QTEST_GUILESS_MAIN(SetupLinksTest)
#include "tst_setup_links.moc"
