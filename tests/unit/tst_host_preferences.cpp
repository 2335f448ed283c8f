#include "MemoryKeyring.h"
#include "Platform/JsonFileUserDefaults.h"
#include "Services/HostPreferences.h"
#include "Shared/BuildConfig.h"

#include <QSignalSpy>
#include <QTest>

#include <memory>

namespace {

const QString ngrokService = QStringLiteral("dev.ferrowyn.host.ngrok");
const QString ngrokAccount = QStringLiteral("authtoken");
const QString goDefault =
    QStringLiteral("wss://") + QLatin1String(BuildConfig::goRelayHost) + QStringLiteral("/relay");
const QString elixirDefault =
    QStringLiteral("wss://") + QLatin1String(BuildConfig::elixirRelayHost) + QStringLiteral("/relay/v2");

} // namespace

class HostPreferencesTest : public QObject {
    Q_OBJECT

public slots:
    // What a reload from storage reads while a change is being announced.
    void reloadWatchedSetting() { m_reloaded = load()->property(m_watched); }

private slots:
    void init();
    void eachSetting_data();
    void eachSetting();
    void relayVersionAndURLOnLoad_data();
    void relayVersionAndURLOnLoad();
    void ngrokTokenIsTrimmedInTheKeyringOnly();
    void blankNgrokTokenDeletesTheItem();
    void unreadableNgrokTokenReadsEmpty();
    void managedURLNormalisation();
    void inference();

private:
    std::unique_ptr<HostPreferences> load();

    std::unique_ptr<JsonFileUserDefaults> m_defaults;
    MemoryKeyring m_keyring;
    QByteArray m_watched;
    QVariant m_reloaded;
};

void HostPreferencesTest::init()
{
    m_defaults = std::make_unique<JsonFileUserDefaults>();
    m_keyring = MemoryKeyring();
}

std::unique_ptr<HostPreferences> HostPreferencesTest::load()
{
    return std::make_unique<HostPreferences>(*m_defaults,
                                             HostNgrokTokenStore(m_keyring, ngrokService, ngrokAccount));
}

void HostPreferencesTest::eachSetting_data()
{
    QTest::addColumn<QByteArray>("property");
    QTest::addColumn<QVariant>("initial");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QString>("stored");     // the stored text of a named value, or ""
    QTest::addColumn<QVariant>("wrongType"); // stored instead, it reads as the default; invalid: not tried
    const auto row = [](const char *property, QVariant initial, QVariant value, const char *stored = "",
                        QVariant wrongType = {}) {
        QTest::newRow(property) << QByteArray(property) << initial << value << QString::fromLatin1(stored)
                                << wrongType;
    };
    row("workspaces", QStringList(), QStringList{"/w/one", "/w/two"}, "", QString("/w"));
    row("mode", QVariant::fromValue(HostingMode::lan), QVariant::fromValue(HostingMode::relay), "relay",
        "Relay");
    // Stored as given: nothing here validates.
    row("lanPort", 8765, 70000, "", "9000");
    row("lanBindAll", true, false, "", "false");
    row("ngrokTunnelEnabled", false, true, "", 1);
    row("relayURL", elixirDefault, "  wss://relay.example.org/x  ");
    row("relayVersion", QVariant::fromValue(HostRelayVersion::elixirV2),
        QVariant::fromValue(HostRelayVersion::goV1), "goV1");
    row("startHostingOnLaunch", false, true, "", "true");
    row("openAtLogin", false, true, "", 1);
    row("keepRelayOnline", true, false, "", 0);
}

void HostPreferencesTest::eachSetting()
{
    QFETCH(QByteArray, property);
    QFETCH(QVariant, initial);
    QFETCH(QVariant, value);
    QFETCH(QString, stored);
    QFETCH(QVariant, wrongType);
    const QString key = QStringLiteral("FerrowynHost.") + QString::fromLatin1(property);
    {
        const auto preferences = load();
        QCOMPARE(preferences->property(property), initial);
        const QMetaProperty watched =
            preferences->metaObject()->property(preferences->metaObject()->indexOfProperty(property));
        QSignalSpy notified(preferences.get(), watched.notifySignal());
        // A reaction to the change already finds it stored.
        QVERIFY(connect(preferences.get(), watched.notifySignal(), this,
                        metaObject()->method(metaObject()->indexOfSlot("reloadWatchedSetting()"))));
        m_watched = property;
        QVERIFY(watched.write(preferences.get(), initial));
        QCOMPARE(notified.count(), 0);
        QVERIFY(watched.write(preferences.get(), value));
        QVERIFY(watched.write(preferences.get(), value));
        QCOMPARE(notified.count(), 1);
        QCOMPARE(m_reloaded, value);
    }
    QCOMPARE(load()->property(property), value);
    if (!stored.isEmpty())
        QCOMPARE(m_defaults->string(key), stored);
    if (wrongType.isValid()) {
        m_defaults->setObject(key, wrongType);
        QCOMPARE(load()->property(property), initial);
    }
}

void HostPreferencesTest::relayVersionAndURLOnLoad_data()
{
    QTest::addColumn<QVariant>("storedURL"); // invalid: none stored
    QTest::addColumn<QVariant>("storedVersion");
    QTest::addColumn<HostRelayVersion>("version");
    QTest::addColumn<QString>("url");

    const QString productURL = QStringLiteral("wss://") + QLatin1String(BuildConfig::productRelayHost) +
                               QStringLiteral("/anything?x=1");
    const auto goV1 = HostRelayVersion::goV1;
    const auto elixirV2 = HostRelayVersion::elixirV2;
    QTest::newRow("nothing stored") << QVariant() << QVariant() << elixirV2 << elixirDefault;
    QTest::newRow("URL not a string") << QVariant(1) << QVariant() << elixirV2 << elixirDefault;
    QTest::newRow("self-hosted /relay infers goV1")
        << QVariant("wss://relay.example.org/relay") << QVariant() << goV1 << "wss://relay.example.org/relay";
    QTest::newRow("upper-case /Relay/V2 is another relay's path, as for its endpoint")
        << QVariant("wss://relay.example.org/Relay/V2") << QVariant() << goV1
        << "wss://relay.example.org/Relay/V2";
    QTest::newRow("unparsable URL infers elixirV2 and is kept")
        << QVariant("wss://bad host/relay") << QVariant() << elixirV2 << "wss://bad host/relay";
    QTest::newRow("goV1 with the elixir managed URL is rewritten")
        << QVariant(elixirDefault) << QVariant("goV1") << goV1 << goDefault;
    QTest::newRow("product host becomes the elixir default")
        << QVariant(productURL) << QVariant("elixirV2") << elixirV2 << elixirDefault;
    QTest::newRow("version in the wrong case is inferred")
        << QVariant("wss://relay.example.org/ws") << QVariant("elixirv2") << goV1
        << "wss://relay.example.org/ws";
    QTest::newRow("stored version without URL") << QVariant() << QVariant("goV1") << goV1 << goDefault;
    QTest::newRow("empty URL is kept") << QVariant(QString()) << QVariant("goV1") << goV1 << QString();
}

void HostPreferencesTest::relayVersionAndURLOnLoad()
{
    QFETCH(QVariant, storedURL);
    QFETCH(QVariant, storedVersion);
    QFETCH(HostRelayVersion, version);
    QFETCH(QString, url);
    if (storedURL.isValid())
        m_defaults->setObject(QStringLiteral("FerrowynHost.relayURL"), storedURL);
    if (storedVersion.isValid())
        m_defaults->setObject(QStringLiteral("FerrowynHost.relayVersion"), storedVersion);

    const auto preferences = load();
    QCOMPARE(preferences->relayVersion(), version);
    QCOMPARE(preferences->relayURL(), url);
    // Loading writes back the two normalised relay values, and nothing else.
    QCOMPARE(m_defaults->string(QStringLiteral("FerrowynHost.relayURL")), url);
    QCOMPARE(m_defaults->string(QStringLiteral("FerrowynHost.relayVersion")), rawValue(version));
    QVERIFY(!m_defaults->object(QStringLiteral("FerrowynHost.keepRelayOnline")).isValid());
}

void HostPreferencesTest::ngrokTokenIsTrimmedInTheKeyringOnly()
{
    {
        const auto preferences = load();
        preferences->setNgrokAuthtoken(QStringLiteral("  2abcDEF_token\n"));
        QCOMPARE(preferences->ngrokAuthtoken(), QStringLiteral("  2abcDEF_token\n"));
        QTRY_COMPARE(m_keyring.value(ngrokService, ngrokAccount), QByteArray("2abcDEF_token"));
        preferences->setNgrokAuthtoken(QStringLiteral("second"));
    }
    QTRY_COMPARE(m_keyring.value(ngrokService, ngrokAccount), QByteArray("second"));
    QCOMPARE(m_keyring.itemCount(), 1);
    const auto reloaded = load();
    QTRY_COMPARE(reloaded->ngrokAuthtoken(), QStringLiteral("second"));
    // Only the keyring ever holds the token.
    for (const QString &key :
         {QStringLiteral("FerrowynHost.relayURL"), QStringLiteral("FerrowynHost.relayVersion")})
        QVERIFY(!m_defaults->string(key)->contains(QLatin1String("second")));
}

void HostPreferencesTest::blankNgrokTokenDeletesTheItem()
{
    const auto preferences = load();
    preferences->setNgrokAuthtoken(QStringLiteral(" \t\u3000")); // nothing stored, nothing to delete: silent
    preferences->setNgrokAuthtoken(QStringLiteral("tok"));
    QTRY_VERIFY(m_keyring.contains(ngrokService, ngrokAccount));
    preferences->setNgrokAuthtoken(QString());
    QTRY_VERIFY(!m_keyring.contains(ngrokService, ngrokAccount));
}

void HostPreferencesTest::unreadableNgrokTokenReadsEmpty()
{
    m_keyring.put(ngrokService, ngrokAccount, QByteArray("\xff\xfe"));
    m_keyring.holdAnswers = true;
    const auto preferences = load();
    QCOMPARE(m_keyring.heldCount(), 1);
    m_keyring.answerNow();
    QCoreApplication::sendPostedEvents();
    QCOMPARE(preferences->ngrokAuthtoken(), QString());

    // A token typed before the keyring answers is newer than the stored one, which then changes nothing.
    m_keyring.put(ngrokService, ngrokAccount, QByteArray("fine"));
    const auto typedEarly = load();
    typedEarly->setNgrokAuthtoken(QStringLiteral("typed"));
    m_keyring.holdAnswers = false;
    m_keyring.answerNow();
    QTRY_COMPARE(m_keyring.value(ngrokService, ngrokAccount), QByteArray("typed"));
    QCOMPARE(typedEarly->ngrokAuthtoken(), QStringLiteral("typed"));

    // A failing keyring leaves the stored token alone.
    m_keyring.failReads = true;
    const auto duringFailure = load();
    QCoreApplication::sendPostedEvents();
    QCOMPARE(duringFailure->ngrokAuthtoken(), QString());
    QCOMPARE(m_keyring.value(ngrokService, ngrokAccount), QByteArray("typed"));
}

void HostPreferencesTest::managedURLNormalisation()
{
    const QString goHost = QString::fromLatin1(BuildConfig::goRelayHost);
    // The go host in upper case, with any scheme, port and query, is managed.
    QCOMPARE(
        normalizedManagedRelayURL(HostRelayVersion::elixirV2, "ws://" + goHost.toUpper() + ":8443/x?y=1"),
        elixirDefault);
    for (const QString &kept : {QStringLiteral("wss://Relay.Example.org/relay/"), QStringLiteral("relay/v2"),
                                QStringLiteral("wss://x/%zz"), "wss://evil" + goHost})
        QCOMPARE(normalizedManagedRelayURL(HostRelayVersion::goV1, kept), kept);
}

void HostPreferencesTest::inference()
{
    for (const QString &url : {QStringLiteral("wss://my-ELIXIR-box.example/relay"),
                               QStringLiteral("wss://box.example/base/relay/v2/x"),
                               QStringLiteral("wss://box example/relay"), elixirDefault})
        QVERIFY2(inferredRelayVersion(url) == HostRelayVersion::elixirV2, qPrintable(url));
    for (const QString &url : {QStringLiteral("wss://box.example/relay"), QString(), goDefault})
        QVERIFY2(inferredRelayVersion(url) == HostRelayVersion::goV1, qPrintable(url));
}

QTEST_GUILESS_MAIN(HostPreferencesTest)
#include "tst_host_preferences.moc"
