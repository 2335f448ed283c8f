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

    void emptyDefaultsGiveTheDefaultsAndPersistTheRelay();
    void wrongTypesFallBackToDefaults();
    void relayVersionAndURLOnLoad_data();
    void relayVersionAndURLOnLoad();
    void settersPersistAndNotifyOnlyOnChange();
    void changeIsStoredBeforeItIsAnnounced_data();
    void changeIsStoredBeforeItIsAnnounced();
    void ngrokTokenIsTrimmedInTheKeyringOnly();
    void blankNgrokTokenDeletesTheItem();
    void unreadableNgrokTokenReadsEmpty();

    void managedURLNormalisation_data();
    void managedURLNormalisation();
    void inference_data();
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

void HostPreferencesTest::emptyDefaultsGiveTheDefaultsAndPersistTheRelay()
{
    const auto preferences = load();
    QVERIFY(preferences->workspaces().isEmpty());
    QCOMPARE(preferences->mode(), HostingMode::lan);
    QCOMPARE(preferences->lanPort(), 8765);
    QCOMPARE(preferences->lanBindAll(), true);
    QCOMPARE(preferences->ngrokTunnelEnabled(), false);
    QCOMPARE(preferences->ngrokAuthtoken(), QString());
    QCOMPARE(preferences->relayVersion(), HostRelayVersion::elixirV2);
    QCOMPARE(preferences->relayURL(), elixirDefault);
    QCOMPARE(preferences->startHostingOnLaunch(), false);
    QCOMPARE(preferences->openAtLogin(), false);
    QCOMPARE(preferences->keepRelayOnline(), true);

    QCOMPARE(m_defaults->string(QStringLiteral("FerrowynHost.relayURL")), elixirDefault);
    QCOMPARE(m_defaults->string(QStringLiteral("FerrowynHost.relayVersion")), QStringLiteral("elixirV2"));
    // Loading writes only the two normalised relay values.
    QVERIFY(!m_defaults->object(QStringLiteral("FerrowynHost.lanPort")).isValid());
    QVERIFY(!m_defaults->object(QStringLiteral("FerrowynHost.keepRelayOnline")).isValid());
}

void HostPreferencesTest::wrongTypesFallBackToDefaults()
{
    m_defaults->setString(QStringLiteral("FerrowynHost.lanPort"), QStringLiteral("9000"));
    m_defaults->setString(QStringLiteral("FerrowynHost.lanBindAll"), QStringLiteral("false"));
    m_defaults->setInteger(QStringLiteral("FerrowynHost.keepRelayOnline"), 0);
    m_defaults->setObject(QStringLiteral("FerrowynHost.workspaces"), QVariantList{QStringLiteral("/a"), 1});
    m_defaults->setString(QStringLiteral("FerrowynHost.mode"), QStringLiteral("Relay"));
    m_defaults->setInteger(QStringLiteral("FerrowynHost.relayURL"), 1);

    const auto preferences = load();
    QCOMPARE(preferences->lanPort(), 8765);
    QCOMPARE(preferences->lanBindAll(), true);
    QCOMPARE(preferences->keepRelayOnline(), true);
    QCOMPARE(preferences->workspaces(), QStringList{QStringLiteral("/a")});
    QCOMPARE(preferences->mode(), HostingMode::lan);
    QCOMPARE(preferences->relayURL(), elixirDefault);
    QCOMPARE(m_defaults->string(QStringLiteral("FerrowynHost.relayURL")), elixirDefault);
}

void HostPreferencesTest::relayVersionAndURLOnLoad_data()
{
    QTest::addColumn<QVariant>("storedURL"); // invalid: none stored
    QTest::addColumn<QVariant>("storedVersion");
    QTest::addColumn<HostRelayVersion>("version");
    QTest::addColumn<QString>("url");

    const QString productURL = QStringLiteral("wss://") + QLatin1String(BuildConfig::productRelayHost) +
                               QStringLiteral("/anything?x=1");
    QTest::newRow("self-hosted /relay infers goV1")
        << QVariant(QStringLiteral("wss://relay.example.org/relay")) << QVariant() << HostRelayVersion::goV1
        << QStringLiteral("wss://relay.example.org/relay");
    QTest::newRow("upper-case /Relay/V2 is another relay's path, as for its endpoint")
        << QVariant(QStringLiteral("wss://relay.example.org/Relay/V2")) << QVariant()
        << HostRelayVersion::goV1 << QStringLiteral("wss://relay.example.org/Relay/V2");
    QTest::newRow("unparsable URL infers elixirV2 and is kept")
        << QVariant(QStringLiteral("wss://bad host/relay")) << QVariant() << HostRelayVersion::elixirV2
        << QStringLiteral("wss://bad host/relay");
    QTest::newRow("goV1 with the elixir managed URL is rewritten")
        << QVariant(elixirDefault) << QVariant(QStringLiteral("goV1")) << HostRelayVersion::goV1 << goDefault;
    QTest::newRow("product host becomes the elixir default")
        << QVariant(productURL) << QVariant(QStringLiteral("elixirV2")) << HostRelayVersion::elixirV2
        << elixirDefault;
    QTest::newRow("version in the wrong case is inferred")
        << QVariant(QStringLiteral("wss://relay.example.org/ws")) << QVariant(QStringLiteral("elixirv2"))
        << HostRelayVersion::goV1 << QStringLiteral("wss://relay.example.org/ws");
    QTest::newRow("stored version without URL")
        << QVariant() << QVariant(QStringLiteral("goV1")) << HostRelayVersion::goV1 << goDefault;
    QTest::newRow("empty URL is kept")
        << QVariant(QString()) << QVariant(QStringLiteral("goV1")) << HostRelayVersion::goV1 << QString();
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
    QCOMPARE(m_defaults->string(QStringLiteral("FerrowynHost.relayURL")), url);
    QCOMPARE(m_defaults->string(QStringLiteral("FerrowynHost.relayVersion")), rawValue(version));
}

void HostPreferencesTest::settersPersistAndNotifyOnlyOnChange()
{
    {
        const auto preferences = load();
        QSignalSpy portSpy(preferences.get(), &HostPreferences::lanPortChanged);
        QSignalSpy modeSpy(preferences.get(), &HostPreferences::modeChanged);
        preferences->setLanPort(8765);
        QCOMPARE(portSpy.count(), 0);
        preferences->setLanPort(70000); // stored as given; nothing here validates
        preferences->setMode(HostingMode::relay);
        preferences->setMode(HostingMode::relay);
        QCOMPARE(portSpy.count(), 1);
        QCOMPARE(modeSpy.count(), 1);
        preferences->setWorkspaces({QStringLiteral("/w/one"), QStringLiteral("/w/two")});
        preferences->setLanBindAll(false);
        preferences->setNgrokTunnelEnabled(true);
        preferences->setRelayURL(QStringLiteral("  wss://relay.example.org/x  "));
        preferences->setRelayVersion(HostRelayVersion::goV1);
        preferences->setStartHostingOnLaunch(true);
        preferences->setOpenAtLogin(true);
        preferences->setKeepRelayOnline(false);
    }
    QCOMPARE(m_defaults->integer(QStringLiteral("FerrowynHost.lanPort")), 70000);
    QCOMPARE(m_defaults->string(QStringLiteral("FerrowynHost.mode")), QStringLiteral("relay"));

    const auto reloaded = load();
    QCOMPARE(reloaded->lanPort(), 70000);
    QCOMPARE(reloaded->mode(), HostingMode::relay);
    QCOMPARE(reloaded->workspaces(), QStringList({QStringLiteral("/w/one"), QStringLiteral("/w/two")}));
    QCOMPARE(reloaded->lanBindAll(), false);
    QCOMPARE(reloaded->ngrokTunnelEnabled(), true);
    QCOMPARE(reloaded->relayURL(), QStringLiteral("  wss://relay.example.org/x  "));
    QCOMPARE(reloaded->relayVersion(), HostRelayVersion::goV1);
    QCOMPARE(reloaded->startHostingOnLaunch(), true);
    QCOMPARE(reloaded->openAtLogin(), true);
    QCOMPARE(reloaded->keepRelayOnline(), false);
}

void HostPreferencesTest::changeIsStoredBeforeItIsAnnounced_data()
{
    QTest::addColumn<QByteArray>("property");
    QTest::addColumn<QVariant>("value");
    QTest::newRow("workspaces") << QByteArray("workspaces") << QVariant(QStringList{QStringLiteral("/w")});
    QTest::newRow("mode") << QByteArray("mode") << QVariant::fromValue(HostingMode::relay);
    QTest::newRow("lanPort") << QByteArray("lanPort") << QVariant(9000);
    QTest::newRow("lanBindAll") << QByteArray("lanBindAll") << QVariant(false);
    QTest::newRow("ngrokTunnelEnabled") << QByteArray("ngrokTunnelEnabled") << QVariant(true);
    QTest::newRow("relayURL") << QByteArray("relayURL")
                              << QVariant(QStringLiteral("wss://r.example/relay/v2"));
    QTest::newRow("relayVersion") << QByteArray("relayVersion")
                                  << QVariant::fromValue(HostRelayVersion::goV1);
    QTest::newRow("startHostingOnLaunch") << QByteArray("startHostingOnLaunch") << QVariant(true);
    QTest::newRow("openAtLogin") << QByteArray("openAtLogin") << QVariant(true);
    QTest::newRow("keepRelayOnline") << QByteArray("keepRelayOnline") << QVariant(false);
}

void HostPreferencesTest::changeIsStoredBeforeItIsAnnounced()
{
    QFETCH(QByteArray, property);
    QFETCH(QVariant, value);
    const auto preferences = load();
    const QMetaObject *meta = preferences->metaObject();
    const QMetaProperty watched = meta->property(meta->indexOfProperty(property));
    QVERIFY(connect(preferences.get(), watched.notifySignal(), this,
                    metaObject()->method(metaObject()->indexOfSlot("reloadWatchedSetting()"))));
    m_watched = property;
    m_reloaded = QVariant();

    QVERIFY(watched.write(preferences.get(), value));
    QCOMPARE(m_reloaded, value);
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

void HostPreferencesTest::managedURLNormalisation_data()
{
    QTest::addColumn<HostRelayVersion>("version");
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("normalised");

    const QString goHostUpper = QString::fromLatin1(BuildConfig::goRelayHost).toUpper();
    QTest::newRow("go host in upper case, any scheme, port and query")
        << HostRelayVersion::elixirV2 << QStringLiteral("ws://") + goHostUpper + QStringLiteral(":8443/x?y=1")
        << elixirDefault;
    QTest::newRow("self-hosted kept as typed")
        << HostRelayVersion::goV1 << QStringLiteral("wss://Relay.Example.org/relay/")
        << QStringLiteral("wss://Relay.Example.org/relay/");
    QTest::newRow("no host") << HostRelayVersion::goV1 << QStringLiteral("relay/v2")
                             << QStringLiteral("relay/v2");
    QTest::newRow("unparsable") << HostRelayVersion::goV1 << QStringLiteral("wss://x/%zz")
                                << QStringLiteral("wss://x/%zz");
    QTest::newRow("managed host as a suffix is not managed")
        << HostRelayVersion::goV1 << QStringLiteral("wss://evil") + QLatin1String(BuildConfig::goRelayHost)
        << QStringLiteral("wss://evil") + QLatin1String(BuildConfig::goRelayHost);
}

void HostPreferencesTest::managedURLNormalisation()
{
    QFETCH(HostRelayVersion, version);
    QFETCH(QString, url);
    QFETCH(QString, normalised);
    QCOMPARE(normalizedManagedRelayURL(version, url), normalised);
}

void HostPreferencesTest::inference_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<HostRelayVersion>("version");
    QTest::newRow("elixir in host") << QStringLiteral("wss://my-ELIXIR-box.example/relay")
                                    << HostRelayVersion::elixirV2;
    QTest::newRow("v2 path") << QStringLiteral("wss://box.example/base/relay/v2/x")
                             << HostRelayVersion::elixirV2;
    QTest::newRow("plain path") << QStringLiteral("wss://box.example/relay") << HostRelayVersion::goV1;
    QTest::newRow("empty") << QString() << HostRelayVersion::goV1;
    QTest::newRow("space") << QStringLiteral("wss://box example/relay") << HostRelayVersion::elixirV2;
    QTest::newRow("go managed default") << goDefault << HostRelayVersion::goV1;
    QTest::newRow("elixir managed default") << elixirDefault << HostRelayVersion::elixirV2;
}

void HostPreferencesTest::inference()
{
    QFETCH(QString, url);
    QFETCH(HostRelayVersion, version);
    QCOMPARE(inferredRelayVersion(url), version);
}

QTEST_GUILESS_MAIN(HostPreferencesTest)
#include "tst_host_preferences.moc"
