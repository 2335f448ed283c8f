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

    void everyWrittenFormIsReplaced_data();
    void everyWrittenFormIsReplaced();
    void lookalikesStay_data();
    void lookalikesStay();
    void emptySecretsChangeNothing();
    void earlierSecretIsReplacedFirst();
    void replacementNeverCompletesASecret();
    void secretInsideTheReplacementWordIsReplacedOnce();
};

void HostSecretRedactorTest::secretItemsAreMaskedByName_data()
{
    QTest::addColumn<QString>("link");
    QTest::addColumn<QStringList>("secrets");
    QTest::addColumn<QString>("shown");

    QTest::newRow("token items, host id not a secret")
        << QStringLiteral(
               "ferrowyn://connect?mode=privateRelay&token=t1&relayToken=t2&hostId=h1&pairingNonce=n1")
        << QStringList()
        << QStringLiteral("ferrowyn://connect?mode=privateRelay&token=redacted&relayToken=redacted&hostId=h1&"
                          "pairingNonce=redacted");
    QTest::newRow("host id among the secrets")
        << QStringLiteral("ferrowyn://connect?token=t1&hostId=host_h1")
        << QStringList{QStringLiteral("host_h1")}
        << QStringLiteral("ferrowyn://connect?token=redacted&hostId=redacted");
    QTest::newRow("name kept as written")
        << QStringLiteral("ferrowyn://connect?TOKEN=t1&HostToken=t2&x=1") << QStringList()
        << QStringLiteral("ferrowyn://connect?TOKEN=redacted&HostToken=redacted&x=1");
    QTest::newRow("item without value")
        << QStringLiteral("ferrowyn://connect?token&pairingNonce=&a") << QStringList()
        << QStringLiteral("ferrowyn://connect?token=redacted&pairingNonce=redacted&a");
    QTest::newRow("nested token masked, rest kept")
        << QStringLiteral("ferrowyn://connect?endpoint=wss://t.example/ws?token%3Dabc%26x%3D1&hostId=h")
        << QStringList()
        << QStringLiteral("ferrowyn://connect?endpoint=wss://t.example/ws?token%3Dredacted%26x%3D1&hostId=h");
    QTest::newRow("nested raw delimiters")
        << QStringLiteral("ferrowyn://connect?ENDPOINT=ws://a/?pairingNonce=n") << QStringList()
        << QStringLiteral("ferrowyn://connect?ENDPOINT=ws://a/?pairingNonce%3Dredacted");
    QTest::newRow("endpoint without query unchanged")
        << QStringLiteral("ferrowyn://connect?endpoint=wss://t.example/relay/s%2520x&mode=m") << QStringList()
        << QStringLiteral("ferrowyn://connect?endpoint=wss://t.example/relay/s%2520x&mode=m");
    QTest::newRow("fragment kept") << QStringLiteral("ferrowyn://connect?token=t#token=f") << QStringList()
                                   << QStringLiteral("ferrowyn://connect?token=redacted#token=f");
}

void HostSecretRedactorTest::secretItemsAreMaskedByName()
{
    QFETCH(QString, link);
    QFETCH(QStringList, secrets);
    QFETCH(QString, shown);
    QCOMPARE(masked(link, secrets), shown);
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

void HostSecretRedactorTest::everyWrittenFormIsReplaced_data()
{
    QTest::addColumn<QString>("secret");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("shown");

    const QString odd = QStringLiteral("a&b=c d/e?f%g+h#\u00fc");
    QTest::newRow("raw, every occurrence")
        << token << token + QStringLiteral(" and ") + token << QStringLiteral("redacted and redacted");
    QTest::newRow("as in a setup link") << odd << QStringLiteral("token=a%26b%3Dc%20d/e?f%25g%2Bh%23%C3%BC&x")
                                        << QStringLiteral("token=redacted&x");
    QTest::newRow("query-allowed set")
        << odd << QStringLiteral("[a&b=c%20d/e?f%25g+h%23%C3%BC]") << QStringLiteral("[redacted]");
    QTest::newRow("fully encoded") << odd << QStringLiteral("a%26b%3Dc%20d%2Fe%3Ff%25g%2Bh%23%C3%BC")
                                   << QStringLiteral("redacted");
    QTest::newRow("lower-case hex") << odd << QStringLiteral("a%26b%3dc%20d%2fe%3ff%25g%2bh%23%c3%bc.")
                                    << QStringLiteral("redacted.");
    QTest::newRow("form encoding") << odd << QStringLiteral("q=a%26b%3Dc+d%2Fe%3Ff%25g%2Bh%23%C3%BC")
                                   << QStringLiteral("q=redacted");
    QTest::newRow("encoded twice")
        << odd
        << QStringLiteral("endpoint=wss://r/relay/a%2526b%253Dc%2520d/e%253Ff%2525g%252Bh%2523%25C3%25BC")
        << QStringLiteral("endpoint=wss://r/relay/redacted");
    QTest::newRow("JSON escapes") << odd << QStringLiteral("{\"s\":\"a\\u0026b=c d\\/e?f%g+h#\\u00FC\"}")
                                  << QStringLiteral("{\"s\":\"redacted\"}");
    QTest::newRow("outside the BMP, raw")
        << QStringLiteral("k\U0001F511y") << QStringLiteral("<k\U0001F511y>") << QStringLiteral("<redacted>");
    QTest::newRow("outside the BMP, encoded")
        << QStringLiteral("k\U0001F511y") << QStringLiteral("<k%F0%9F%94%91y>")
        << QStringLiteral("<redacted>");
    QTest::newRow("outside the BMP, JSON")
        << QStringLiteral("k\U0001F511y") << QStringLiteral("<k\\ud83d\\uDD11y>")
        << QStringLiteral("<redacted>");
    QTest::newRow("percent sign itself") << QStringLiteral("50%x") << QStringLiteral("50%x 50%25x 50%2525x")
                                         << QStringLiteral("redacted redacted redacted");
}

void HostSecretRedactorTest::everyWrittenFormIsReplaced()
{
    QFETCH(QString, secret);
    QFETCH(QString, text);
    QFETCH(QString, shown);
    QCOMPARE(HostSecretRedactor::redact(text, {secret}), shown);
}

void HostSecretRedactorTest::lookalikesStay_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("other case") << QStringLiteral("TOKEN-ABC");
    QTest::newRow("cut short") << QStringLiteral("token-ab");
    QTest::newRow("broken escape") << QStringLiteral("token%2-abc");
    QTest::newRow("wrong byte") << QStringLiteral("token%2Eabc");
    QTest::newRow("JSON escape cut short") << QStringLiteral("token\\u02d");
}

void HostSecretRedactorTest::lookalikesStay()
{
    QFETCH(QString, text);
    QCOMPARE(HostSecretRedactor::redact(text, {QStringLiteral("token-abc")}), text);
}

void HostSecretRedactorTest::emptySecretsChangeNothing()
{
    const QString line = QStringLiteral("agent listening on 0.0.0.0:8765 token=%20");
    QCOMPARE(HostSecretRedactor::redact(line, {}), line);
    QCOMPARE(HostSecretRedactor::redact(line, {QString(), QString()}), line);
    QCOMPARE(HostSecretRedactor::redact(QString(), {token}), QString());
}

void HostSecretRedactorTest::earlierSecretIsReplacedFirst()
{
    const QString line = QStringLiteral("id=host_abc123");
    QCOMPARE(HostSecretRedactor::redact(line, {QStringLiteral("host_abc123"), QStringLiteral("abc")}),
             QStringLiteral("id=redacted"));
    QCOMPARE(HostSecretRedactor::redact(line, {QStringLiteral("abc"), QStringLiteral("host_abc123")}),
             QStringLiteral("id=host_redacted123"));
}

void HostSecretRedactorTest::replacementNeverCompletesASecret()
{
    // "redacted" ends in "ed": each replacement of "edXY" would otherwise form the next one.
    QCOMPARE(HostSecretRedactor::redact(QStringLiteral("edXYXYXY!"), {QStringLiteral("edXY")}),
             QStringLiteral("redactredactredacted!"));
    // A later secret's replacement completes an earlier one, at its edge or as a whole.
    QCOMPARE(
        HostSecretRedactor::redact(QStringLiteral("qqXYZ"), {QStringLiteral("dXYZ"), QStringLiteral("qq")}),
        QStringLiteral("redacteredacted"));
    QCOMPARE(HostSecretRedactor::redact(QStringLiteral("zzzQ"),
                                        {QStringLiteral("redactedQ"), QStringLiteral("zzz")}),
             QStringLiteral("redacted"));
}

void HostSecretRedactorTest::secretInsideTheReplacementWordIsReplacedOnce()
{
    QCOMPARE(HostSecretRedactor::redact(QStringLiteral("act, react"), {QStringLiteral("act")}),
             QStringLiteral("redacted, reredacted"));
    QCOMPARE(HostSecretRedactor::redact(QStringLiteral("xdx"), {QStringLiteral("d"), QStringLiteral("xr")}),
             QStringLiteral("redactededactedx"));
}

QTEST_GUILESS_MAIN(HostSecretRedactorTest)
#include "tst_host_secret_redactor.moc"
