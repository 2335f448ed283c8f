#include "MemoryKeyring.h"
#include "Platform/JsonFileUserDefaults.h"
#include "Services/Settings/HostPreferences.h"
#include "Shared/BuildConfig.h"

#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString elixirDefault = "wss://" + QLatin1String(BuildConfig::elixirRelayHost) + "/relay/v2";
const QString goDefault = "wss://" + QLatin1String(BuildConfig::goRelayHost) + "/relay";

} // namespace

// What the host keeps between runs: the settings file and the preferences on it (the pairing credentials are
// credential-stores' concern). A damaged file kept aside, byte for byte, is the JSON readers' fuzz target's.
class SettingsStoresTest : public QObject {
    Q_OBJECT

public slots:
    // What a reload from storage reads while a change is being announced.
    void reloadWatchedSetting() { m_reloaded = preferences()->property(m_watched); }

private slots:
    void init();
    void valuesKeepTheirTypes();
    void eachPreference_data();
    void eachPreference();
    void relayVersionAndURLOnLoad_data();
    void relayVersionAndURLOnLoad();
    void ngrokTokenTypedEarlyWins();

private:
    std::unique_ptr<HostPreferences> preferences()
    {
        return std::make_unique<HostPreferences>(*m_defaults,
                                                 HostNgrokTokenStore(m_keyring, "ngrok", "token"));
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<JsonFileUserDefaults> m_defaults;
    MemoryKeyring m_keyring;
    QByteArray m_watched;
    QVariant m_reloaded;
};

void SettingsStoresTest::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_defaults = std::make_unique<JsonFileUserDefaults>();
    m_keyring = MemoryKeyring();
}

void SettingsStoresTest::valuesKeepTheirTypes()
{
    const QString file = m_dir->filePath("sub/dir/defaults.json");
    const QByteArray binary("\x00\xff{\"not\":json}", 14);
    JsonFileUserDefaults defaults(file);
    for (const QVariant &value : {QVariant(8765), QVariant("8765"), QVariant(87.5), QVariant(false),
                                  QVariant(QStringList{"/tmp/\u00e4", QString()}), QVariant(binary)})
        defaults.setObject(value.typeName(), value);
    defaults.setInteger("big", Q_INT64_C(4611686018427387904));
    // Read back from the file, so the types survive the JSON encoding and not just the memory copy.
    JsonFileUserDefaults reloaded(file);
    QCOMPARE(reloaded.integer("big"), Q_INT64_C(4611686018427387904));
    QCOMPARE(reloaded.stringArray("QStringList"), QStringList({"/tmp/\u00e4", QString()}));
    QCOMPARE(reloaded.data("QByteArray"), binary);
    // Each value reads only as its own type: string, integer, boolean, array, data.
    QString reads;
    for (const QString &key : QStringList{"int", "QString", "double", "bool", "QStringList", "QByteArray"})
        reads += QString("%1%2%3%4%5 ")
                     .arg(reloaded.string(key) ? "s" : ".", reloaded.integer(key) ? "i" : ".",
                          reloaded.boolean(key) ? "b" : ".", reloaded.stringArray(key) ? "a" : ".",
                          reloaded.data(key) ? "d" : ".");
    QCOMPARE(reads, ".i... s.... ..... ..b.. ...a. ....d ");
    QCOMPARE(QFile(file).permissions() & (QFileDevice::ReadOther | QFileDevice::ReadGroup),
             QFileDevice::Permissions());
}

void SettingsStoresTest::eachPreference_data()
{
    QTest::addColumn<QByteArray>("property");
    QTest::addColumn<QVariant>("initial");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QVariant>("wrongType"); // stored instead, it reads as the default; invalid: not tried
    const auto row = [](const char *property, QVariant initial, QVariant value, QVariant wrongType) {
        QTest::newRow(property) << QByteArray(property) << initial << value << wrongType;
    };
    row("workspaces", QStringList(), QStringList{"/w/one", "/w/two"}, QString("/w"));
    row("mode", QVariant::fromValue(HostingMode::lan), QVariant::fromValue(HostingMode::relay), "Relay");
    row("lanPort", 8765, 70000, "9000"); // stored as given: nothing here validates
    row("lanBindAll", true, false, "false");
    row("relayURL", elixirDefault, "  wss://relay.example.org/x  ", {});
    row("openAtLogin", false, true, 1);
    row("sessionPrograms", QStringList{"codex"}, QStringList{"aider", "/opt/bin/claude"}, QString("codex"));
    row("allowShell", false, true, "true");
}

void SettingsStoresTest::eachPreference()
{
    QFETCH(QByteArray, property);
    QFETCH(QVariant, initial);
    QFETCH(QVariant, value);
    {
        const auto prefs = preferences();
        QCOMPARE(prefs->property(property), initial);
        const QMetaProperty watched =
            prefs->metaObject()->property(prefs->metaObject()->indexOfProperty(property));
        QSignalSpy notified(prefs.get(), watched.notifySignal());
        // A reaction to the change already finds it stored.
        QVERIFY(connect(prefs.get(), watched.notifySignal(), this,
                        metaObject()->method(metaObject()->indexOfSlot("reloadWatchedSetting()"))));
        m_watched = property;
        QVERIFY(watched.write(prefs.get(), initial) && watched.write(prefs.get(), value) &&
                watched.write(prefs.get(), value));
        QCOMPARE(notified.count(), 1);
        QCOMPARE(m_reloaded, value);
    }
    QFETCH(QVariant, wrongType);
    if (wrongType.isValid()) {
        m_defaults->setObject("FerrowynHost." + property, wrongType);
        QCOMPARE(preferences()->property(property), initial);
    }
}

void SettingsStoresTest::relayVersionAndURLOnLoad_data()
{
    QTest::addColumn<QVariant>("storedURL"); // invalid: none stored
    QTest::addColumn<QVariant>("storedVersion");
    QTest::addColumn<HostRelayVersion>("version");
    QTest::addColumn<QString>("url");
    const auto goV1 = HostRelayVersion::goV1;
    const auto elixirV2 = HostRelayVersion::elixirV2;
    const QString goHost = QString::fromLatin1(BuildConfig::goRelayHost);
    const auto row = [](const char *name, const QVariant &url, const QVariant &version, HostRelayVersion read,
                        const QString &readURL) {
        QTest::newRow(name) << url << version << read << readURL;
    };
    row("self-hosted /relay infers goV1", "wss://r.example/relay", {}, goV1, "wss://r.example/relay");
    row("/Relay/V2 is another relay's path", "wss://r.example/Relay/V2", {}, goV1,
        "wss://r.example/Relay/V2");
    row("self-hosted /relay/v2 infers elixirV2", "wss://r.example/relay/v2", {}, elixirV2,
        "wss://r.example/relay/v2");
    row("unparsable URL infers elixirV2 and is kept", "wss://bad host/relay", {}, elixirV2,
        "wss://bad host/relay");
    row("goV1 with the elixir managed URL", elixirDefault, "goV1", goV1, goDefault);
    row("managed host in any form", "ws://" + goHost.toUpper() + ":8443/x?y=1", "elixirV2", elixirV2,
        elixirDefault);
    row("empty URL is kept", QString(), "goV1", goV1, QString());
}

void SettingsStoresTest::relayVersionAndURLOnLoad()
{
    QFETCH(QVariant, storedURL);
    QFETCH(QVariant, storedVersion);
    QFETCH(HostRelayVersion, version);
    QFETCH(QString, url);
    m_defaults->setObject("FerrowynHost.relayURL", storedURL);
    if (storedVersion.isValid())
        m_defaults->setObject("FerrowynHost.relayVersion", storedVersion);
    const auto prefs = preferences();
    QCOMPARE(prefs->relayVersion(), version);
    QCOMPARE(prefs->relayURL(), url);
    // Loading writes back the two normalised relay values, and nothing else.
    QCOMPARE(m_defaults->string("FerrowynHost.relayURL"), url);
    QCOMPARE(m_defaults->string("FerrowynHost.relayVersion"), rawValue(version));
    QVERIFY(!m_defaults->object("FerrowynHost.keepRelayOnline").isValid());
}

void SettingsStoresTest::ngrokTokenTypedEarlyWins()
{
    // A token typed before the keyring answers is newer than the stored one. Trimming it and deleting a blank
    // one is the keyring round trip's job.
    m_keyring.put("ngrok", "token", "stored");
    m_keyring.holdAnswers = true;
    const auto prefs = preferences();
    prefs->setNgrokAuthtoken("typed");
    m_keyring.answerNow();
    QCoreApplication::sendPostedEvents();
    QCOMPARE(prefs->ngrokAuthtoken(), "typed");
    QCOMPARE(m_keyring.value("ngrok", "token"), QByteArray("typed"));
}

QTEST_GUILESS_MAIN(SettingsStoresTest)
#include "tst_settings_stores.moc"
