#include "Services/HostSecretRedactor.h"
#include "Services/SetupLinkBuilder.h"

#include <QRandomGenerator>
#include <QTest>
#include <QTimeZone>
#include <QUrl>

#include <functional>

// Random texts against secrets of the shapes the host really has. The forms a secret is looked for in
// are computed here with QUrl's own encoder, independently of the redactor.

#ifndef FUZZ_ITERATIONS
#define FUZZ_ITERATIONS 200000
#endif

namespace {

const QString base64URL = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_");
const QString needsEncoding =
    QStringLiteral(" &=+#%/?:@;,!$'()*\"<>[]\\^`{|}\u00fc\u20ac") + QString::fromUcs4(U"\U0001F511");

int iterations(int compiled)
{
    bool ok = false;
    const int fromEnvironment = qEnvironmentVariableIntValue("FERROWYN_FUZZ_ITERATIONS", &ok);
    return ok && fromEnvironment > 0 ? fromEnvironment : compiled;
}

QString pick(QRandomGenerator &random, const QString &pool, int length)
{
    QString text;
    for (int i = 0; i < length; ++i) {
        const qsizetype at = random.bounded(pool.size());
        if (pool.at(at).isLowSurrogate())
            text += pool.mid(at - 1, 2);
        else if (pool.at(at).isHighSurrogate())
            text += pool.mid(at, 2);
        else
            text += pool.at(at);
    }
    return text;
}

QString uuid(QRandomGenerator &random)
{
    const QString hex = QStringLiteral("0123456789abcdef");
    return pick(random, hex, 8) + QLatin1Char('-') + pick(random, hex, 4) + QLatin1Char('-') +
           pick(random, hex, 4) + QLatin1Char('-') + pick(random, hex, 4) + QLatin1Char('-') +
           pick(random, hex, 12);
}

QString lowerHex(QString encoded)
{
    for (qsizetype i = encoded.indexOf(QLatin1Char('%')); i >= 0 && i + 2 < encoded.size();
         i = encoded.indexOf(QLatin1Char('%'), i + 1)) {
        encoded[i + 1] = encoded.at(i + 1).toLower();
        encoded[i + 2] = encoded.at(i + 2).toLower();
    }
    return encoded;
}

QString jsonEscaped(const QString &text)
{
    QString escaped;
    for (const QChar c : text) {
        if (c.unicode() < 0x80 && c != QLatin1Char('"') && c != QLatin1Char('\\'))
            escaped += c;
        else
            escaped += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
    }
    return escaped;
}

// The forms in which a secret can stand in a setup link or in a log line.
QStringList formsOf(const QString &secret)
{
    const auto encoded = [](const QString &text, const QByteArray &keep) {
        return QString::fromLatin1(QUrl::toPercentEncoding(text, keep));
    };
    const QString inQuery = encoded(secret, "!$'()*,:@/?");          // a setup link's values
    const QString queryAllowed = encoded(secret, "!$&'()*+,;=:@/?"); // RFC 3986 query characters
    const QString inPath = encoded(secret, "!$&'()*+,;=:@/");        // a relay endpoint's session
    const QString full = encoded(secret, {});
    const QStringList percentEncoded{inQuery,
                                     queryAllowed,
                                     inPath,
                                     full,
                                     encoded(inPath, "!$'()*,:@/?"), // a session in an endpoint in a link
                                     encoded(full, {}),
                                     QString(full).replace(QStringLiteral("%20"), QStringLiteral("+"))};
    QStringList forms{secret, jsonEscaped(secret)};
    // Every "%" in these is an escape (a "%" of the secret itself is written "%25"), so its hex may be lower.
    for (const QString &form : percentEncoded)
        forms << form << lowerHex(form);
    forms.removeDuplicates();
    return forms;
}

struct SecretSet {
    QString hostToken, session, hostId, relayToken, nonce, odd;
    QStringList list() const { return {hostToken, session, hostId, relayToken, nonce, odd}; }
};

SecretSet randomSecrets(QRandomGenerator &random)
{
    SecretSet set;
    set.hostToken = pick(random, base64URL, 43);
    set.session = uuid(random);
    set.hostId = QStringLiteral("host_") + pick(random, base64URL, 22);
    set.relayToken = pick(random, base64URL, 43);
    set.nonce = pick(random, base64URL, 43);
    do {
        set.odd = QString();
        const int length = 3 + random.bounded(14);
        for (int i = 0; i < length; ++i)
            set.odd += pick(random, random.bounded(3) == 0 ? needsEncoding : base64URL, 1);
    } while (HostSecretRedactor::replacement.contains(set.odd));
    return set;
}

QString randomText(QRandomGenerator &random, const QList<QStringList> &forms)
{
    static const QStringList fragments{
        QStringLiteral("redacted"), QStringLiteral("ed"),    QStringLiteral("red"), QStringLiteral("acted"),
        QStringLiteral("%"),        QStringLiteral("%2"),    QStringLiteral("%25"), QStringLiteral("\\u"),
        QStringLiteral("+"),        QStringLiteral("token=")};
    QString text;
    const int pieces = 1 + random.bounded(8);
    for (int p = 0; p < pieces; ++p) {
        const QStringList &secretForms = forms.at(random.bounded(forms.size()));
        const QString &form = secretForms.at(random.bounded(secretForms.size()));
        switch (random.bounded(6)) {
        case 0:
            text += pick(random, base64URL + needsEncoding, 1 + random.bounded(10));
            break;
        case 1:
        case 2:
            text += form;
            break;
        case 3:
            text += form.left(random.bounded(form.size() + 1));
            break;
        case 4:
            text += form.mid(random.bounded(form.size() + 1));
            break;
        default:
            text += fragments.at(random.bounded(fragments.size()));
        }
    }
    return text;
}

QString firstLeak(const QString &shown, const QList<QStringList> &forms)
{
    for (const QStringList &secretForms : forms) {
        for (const QString &form : secretForms) {
            if (!form.isEmpty() && shown.contains(form))
                return form;
        }
    }
    return QString();
}

QList<QStringList> formsOfAll(const QStringList &secrets)
{
    QList<QStringList> forms;
    for (const QString &secret : secrets)
        forms.append(formsOf(secret));
    return forms;
}

} // namespace

class HostSecretRedactorFuzzTest : public QObject {
    Q_OBJECT

private slots:
    void noSecretSurvivesInAnyForm();
    void noMaskedLinkShowsASecret();
};

void HostSecretRedactorFuzzTest::noSecretSurvivesInAnyForm()
{
    QRandomGenerator random(0xF3220);
    SecretSet secrets;
    QStringList list;
    QList<QStringList> forms;
    const int count = iterations(FUZZ_ITERATIONS);
    for (int i = 0; i < count; ++i) {
        if (i % 500 == 0) {
            secrets = randomSecrets(random);
            list = secrets.list();
            forms = formsOfAll(list);
        }
        const QString text = randomText(random, forms);
        const QString shown = HostSecretRedactor::redact(text, list);
        const QString leak = firstLeak(shown, forms);
        if (!leak.isEmpty())
            QFAIL(qPrintable(QStringLiteral("\"%1\" shows \"%2\" as \"%3\"").arg(text, leak, shown)));
    }
}

void HostSecretRedactorFuzzTest::noMaskedLinkShowsASecret()
{
    static const QStringList relayURLs{
        QStringLiteral("wss://elixir.relay.ferrowyn.dev/relay/v2"),
        QStringLiteral("wss://go.relay.ferrowyn.dev/relay"), QStringLiteral("wss://relay.example.org:8443/"),
        QStringLiteral("wss://relay.example.org/relay/v2/custom?key=1"),
        QStringLiteral(
            "ws://operator@relay.internal.example.org:9443/a/long/self/hosted/deployment/path/for/the/"
            "relay/service/v2/?region=eu-central-1&tenant=workshop#primary")};
    QRandomGenerator random(0x11E);
    const QDateTime now(QDate(2026, 12, 5), QTime(5, 55), QTimeZone::utc());
    const int count = iterations(FUZZ_ITERATIONS) / 30;
    for (int i = 0; i < count; ++i) {
        SecretSet secrets = randomSecrets(random);
        // Any secret may be the odd one: the ngrok authtoken is typed by the user.
        if (random.bounded(4) == 0)
            std::swap(secrets.hostToken, secrets.odd);
        if (random.bounded(4) == 0)
            std::swap(secrets.session, secrets.odd);
        if (random.bounded(4) == 0)
            std::swap(secrets.nonce, secrets.odd);
        std::optional<QUrl> link;
        switch (random.bounded(3)) {
        case 0:
            link = SetupLinkBuilder::lanLink(
                {QStringLiteral("192.168.%1.%2").arg(random.bounded(256)).arg(random.bounded(256)),
                 1 + random.bounded(65535), secrets.hostToken, secrets.hostId, secrets.nonce},
                now);
            break;
        case 1:
            link = SetupLinkBuilder::directTunnelLink(
                {QStringLiteral("wss://t.ngrok.example/ws?token=") + secrets.odd, secrets.hostToken,
                 secrets.hostId, secrets.nonce},
                now);
            break;
        default:
            link = SetupLinkBuilder::relayLink({relayURLs.at(random.bounded(relayURLs.size())),
                                                secrets.session, secrets.hostToken, secrets.relayToken,
                                                secrets.hostId, HostRelayVersion::elixirV2, secrets.nonce},
                                               now);
        }
        QVERIFY(link);
        const QString shown = HostSecretRedactor::redactedSetupLink(*link, secrets.list());
        const QString leak = firstLeak(shown, formsOfAll(secrets.list()));
        if (!leak.isEmpty())
            QFAIL(qPrintable(QStringLiteral("%1 shows \"%2\" as %3").arg(link->toString(), leak, shown)));
        QVERIFY2(shown.startsWith(QStringLiteral("ferrowyn://connect?mode=")), qPrintable(shown));
    }
}

QTEST_GUILESS_MAIN(HostSecretRedactorFuzzTest)
#include "tst_host_secret_redactor_fuzz.moc"
