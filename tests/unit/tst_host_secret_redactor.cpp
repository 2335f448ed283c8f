#include "Services/HostSecretRedactor.h"
#include "Services/SetupLinkBuilder.h"

#include <QTest>
#include <QTimeZone>

namespace {

const QString token = QStringLiteral("q3Vb8kX_2mZ-pL0aRt7yNw4cE1sD9fGhJkLmNoPqRsT");
const QString relayToken = QStringLiteral("Rt0-kP9_mQ8nW7bV6cX5zL4aS3dF2gH1jK0lZ9xC8vB");
const QString hostId = QStringLiteral("host_Ab3dE5fG7hJ9kL1mN3pQ5r");
const QString nonce = QStringLiteral("Zx9-Yw8_Vu7Ts6Rq5Po4Nm3Lk2Ji1Hg0Fe9Dc8Ba7z6y");
const QString session = QStringLiteral("6f1c2a9e-3b7d-4c1e-9a2f-0d8e5b4c3a21");

QString masked(const QString &linkText, const QStringList &secrets = {})
{
    return HostSecretRedactor::redactedSetupLink(QUrl(linkText, QUrl::StrictMode), secrets);
}

} // namespace

class HostSecretRedactorTest : public QObject {
    Q_OBJECT

private slots:
    void secretItemsAreMaskedByName_data();
    void secretItemsAreMaskedByName();
    void secretNamesAreComparedDecoded();
    void relayLinkShowsNoSecret();
    void linkWithoutQueryIsMaskedByValueOnly();
    void redact_data();
    void redact();
};

void HostSecretRedactorTest::secretItemsAreMaskedByName_data()
{
    QTest::addColumn<QString>("query"); // of a link "ferrowyn://connect?"
    QTest::addColumn<QStringList>("secrets");
    QTest::addColumn<QString>("shown");
    const auto row = [](const char *name, const char *query, const char *shown,
                        const QStringList &secrets = {}) {
        QTest::newRow(name) << QString::fromLatin1(query) << secrets << QString::fromLatin1(shown);
    };
    row("token items, host id not a secret", "mode=m&token=t1&relayToken=t2&hostId=h1&pairingNonce=n1",
        "mode=m&token=redacted&relayToken=redacted&hostId=h1&pairingNonce=redacted");
    row("host id among the secrets", "token=t1&hostId=host_h1", "token=redacted&hostId=redacted",
        {"host_h1"});
    row("name kept as written", "TOKEN=t1&HostToken=t2&x=1", "TOKEN=redacted&HostToken=redacted&x=1");
    row("item without value", "token&pairingNonce=&a", "token=redacted&pairingNonce=redacted&a");
    row("nested token masked, rest kept", "endpoint=wss://t.example/ws?token%3Dabc%26x%3D1&hostId=h",
        "endpoint=wss://t.example/ws?token%3Dredacted%26x%3D1&hostId=h");
    row("nested raw delimiters", "ENDPOINT=ws://a/?pairingNonce=n",
        "ENDPOINT=ws://a/?pairingNonce%3Dredacted");
    row("endpoint without query unchanged", "endpoint=wss://t.example/relay/s%2520x&mode=m",
        "endpoint=wss://t.example/relay/s%2520x&mode=m");
    row("fragment kept", "token=t#token=f", "token=redacted#token=f");
}

void HostSecretRedactorTest::secretItemsAreMaskedByName()
{
    QFETCH(QString, query);
    QFETCH(QStringList, secrets);
    QFETCH(QString, shown);
    QCOMPARE(masked(QStringLiteral("ferrowyn://connect?") + query, secrets),
             QStringLiteral("ferrowyn://connect?") + shown);
}

void HostSecretRedactorTest::secretNamesAreComparedDecoded()
{
    // QUrl itself would decode "%74" to "t", so this one goes through the text alone.
    QCOMPARE(
        HostSecretRedactor::redactSetupURL(QStringLiteral("ferrowyn://connect?%74oken=t1&relay%54oken=t2")),
        QStringLiteral("ferrowyn://connect?%74oken=redacted&relay%54oken=redacted"));
}

void HostSecretRedactorTest::relayLinkShowsNoSecret()
{
    const RelayConfig config{QStringLiteral("wss://relay.example.org/hub?key=1"),
                             session,
                             token,
                             relayToken,
                             hostId,
                             HostRelayVersion::goV1,
                             nonce};
    const std::optional<QUrl> link =
        SetupLinkBuilder::relayLink(config, QDateTime(QDate(2026, 12, 5), QTime(5, 55), QTimeZone::utc()));
    QVERIFY(link);
    QCOMPARE(
        HostSecretRedactor::redactedSetupLink(*link, {token, session, hostId, relayToken, nonce}),
        QStringLiteral("ferrowyn://connect?mode=privateRelay&endpoint=wss://relay.example.org/hub/redacted&"
                       "token=redacted&relayToken=redacted&hostId=redacted&relayVersion=goV1&"
                       "sessionId=redacted&pairingNonce=redacted&expiresAt=2026-12-05T06:10:00Z"));
}

void HostSecretRedactorTest::linkWithoutQueryIsMaskedByValueOnly()
{
    QCOMPARE(HostSecretRedactor::redactSetupURL(QStringLiteral("ferrowyn://connect/t1#token=x")),
             std::nullopt);
    QCOMPARE(masked(QStringLiteral("ferrowyn://connect/t1#token=x"), {QStringLiteral("t1")}),
             QStringLiteral("ferrowyn://connect/redacted#token=x"));
    QCOMPARE(HostSecretRedactor::redactEndpoint(QStringLiteral("not a url")), QStringLiteral("not a url"));
}

void HostSecretRedactorTest::redact_data()
{
    QTest::addColumn<QStringList>("secrets");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("shown");
    const QStringList odd{QStringLiteral("a&b=c d/e?f%g+h#\u00fc")};
    const QStringList key{QStringLiteral("k\U0001F511y")};
    QTest::newRow("raw, every occurrence")
        << QStringList{token} << token + " and " + token << "redacted and redacted";
    QTest::newRow("as in a setup link") << odd << "token=a%26b%3Dc%20d/e?f%25g%2Bh%23%C3%BC&x"
                                        << "token=redacted&x";
    QTest::newRow("query-allowed set") << odd << "[a&b=c%20d/e?f%25g+h%23%C3%BC]"
                                       << "[redacted]";
    QTest::newRow("fully encoded") << odd << "a%26b%3Dc%20d%2Fe%3Ff%25g%2Bh%23%C3%BC"
                                   << "redacted";
    QTest::newRow("lower-case hex") << odd << "a%26b%3dc%20d%2fe%3ff%25g%2bh%23%c3%bc."
                                    << "redacted.";
    QTest::newRow("form encoding") << odd << "q=a%26b%3Dc+d%2Fe%3Ff%25g%2Bh%23%C3%BC"
                                   << "q=redacted";
    QTest::newRow("encoded twice") << odd << "/a%2526b%253Dc%2520d/e%253Ff%2525g%252Bh%2523%25C3%25BC"
                                   << "/redacted";
    QTest::newRow("JSON escapes") << odd << "{\"s\":\"a\\u0026b=c d\\/e?f%g+h#\\u00FC\"}"
                                  << "{\"s\":\"redacted\"}";
    QTest::newRow("outside the BMP, raw") << key << QStringLiteral("<k\U0001F511y>") << "<redacted>";
    QTest::newRow("outside the BMP, encoded") << key << "<k%F0%9F%94%91y>"
                                              << "<redacted>";
    QTest::newRow("outside the BMP, JSON") << key << "<k\\ud83d\\uDD11y>"
                                           << "<redacted>";
    QTest::newRow("percent sign itself") << QStringList{"50%x"} << "50%x 50%25x 50%2525x"
                                         << "redacted redacted redacted";
    for (const char *lookalike : {"TOKEN-ABC", "token-ab", "token%2-abc", "token%2Eabc", "token\\u02d"})
        QTest::newRow(lookalike) << QStringList{"token-abc"} << lookalike << lookalike;
    QTest::newRow("no secrets") << QStringList() << "token=%20"
                                << "token=%20";
    QTest::newRow("empty secrets") << QStringList{"", ""} << "token=%20"
                                   << "token=%20";
    QTest::newRow("empty text") << QStringList{token} << ""
                                << "";
    QTest::newRow("earlier secret first") << QStringList{"host_abc123", "abc"} << "id=host_abc123"
                                          << "id=redacted";
    QTest::newRow("in the order given") << QStringList{"abc", "host_abc123"} << "id=host_abc123"
                                        << "id=host_redacted123";
    // "redacted" ends in "ed": each replacement of "edXY" would otherwise form the next one.
    QTest::newRow("replacement completes no secret") << QStringList{"edXY"} << "edXYXYXY!"
                                                     << "redactredactredacted!";
    QTest::newRow("a later replacement completes an earlier secret at its edge")
        << QStringList{"dXYZ", "qq"} << "qqXYZ"
        << "redacteredacted";
    QTest::newRow("a later replacement completes an earlier secret whole")
        << QStringList{"redactedQ", "zzz"} << "zzzQ"
        << "redacted";
    QTest::newRow("secret inside the replacement word, once") << QStringList{"act"} << "act, react"
                                                              << "redacted, reredacted";
    QTest::newRow("secret inside the replacement, two secrets") << QStringList{"d", "xr"} << "xdx"
                                                                << "redactededactedx";
}

void HostSecretRedactorTest::redact()
{
    QFETCH(QStringList, secrets);
    QFETCH(QString, text);
    QTEST(HostSecretRedactor::redact(text, secrets), "shown");
}

QTEST_GUILESS_MAIN(HostSecretRedactorTest)
#include "tst_host_secret_redactor.moc"
