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
    void eachPreference();
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

void SettingsStoresTest::eachPreference()
{
    // The property, its default, a value set, and one of another type that, stored instead, reads as the
    // default (invalid: not tried).
    const QList<std::tuple<QByteArray, QVariant, QVariant, QVariant>> table{
        {"workspaces", QStringList(), QStringList{"/w/one", "/w/two"}, QString("/w")},
        {"mode", QVariant::fromValue(HostingMode::lan), QVariant::fromValue(HostingMode::relay), "Relay"},
        {"lanPort", 8765, 70000, "9000"}, // stored as given: nothing here validates
        {"lanBindAll", true, false, "false"},
        {"relayURL", elixirDefault, "  wss://relay.example.org/x  ", {}},
        {"openAtLogin", false, true, 1},
        {"sessionPrograms", QStringList{"codex"}, QStringList{"aider", "/opt/bin/claude"}, QString("codex")},
        {"allowShell", false, true, "true"}};
    for (const auto &[property, initial, value, wrongType] : table) {
        init();
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
            QVERIFY2(notified.count() == 1, property);
            QCOMPARE(m_reloaded, value);
        }
        if (wrongType.isValid()) {
            m_defaults->setObject("FerrowynHost." + property, wrongType);
            QCOMPARE(preferences()->property(property), initial);
        }
    }
}

void SettingsStoresTest::relayVersionAndURLOnLoad()
{
    const auto goV1 = HostRelayVersion::goV1;
    const auto elixirV2 = HostRelayVersion::elixirV2;
    const QString goHost = QString::fromLatin1(BuildConfig::goRelayHost);
    // The stored URL (invalid: none) and version, and the version and URL read.
    const QList<std::tuple<QVariant, QVariant, HostRelayVersion, QString>> table{
        // A self-hosted /relay infers goV1; /Relay/V2 is another relay's path.
        {"wss://r.example/relay", {}, goV1, "wss://r.example/relay"},
        {"wss://r.example/Relay/V2", {}, goV1, "wss://r.example/Relay/V2"},
        {"wss://r.example/relay/v2", {}, elixirV2, "wss://r.example/relay/v2"},
        // An unparsable URL infers elixirV2 and is kept.
        {"wss://bad host/relay", {}, elixirV2, "wss://bad host/relay"},
        // goV1 with the elixir managed URL, and the managed host in any form.
        {elixirDefault, "goV1", goV1, goDefault},
        {"ws://" + goHost.toUpper() + ":8443/x?y=1", "elixirV2", elixirV2, elixirDefault},
        // An empty URL is kept.
        {QString(), "goV1", goV1, QString()}};
    for (const auto &[storedURL, storedVersion, version, url] : table) {
        init();
        m_defaults->setObject("FerrowynHost.relayURL", storedURL);
        if (storedVersion.isValid())
            m_defaults->setObject("FerrowynHost.relayVersion", storedVersion);
        const auto prefs = preferences();
        QVERIFY2(prefs->relayVersion() == version, qPrintable(storedURL.toString()));
        QCOMPARE(prefs->relayURL(), url);
        // Loading writes back the two normalised relay values, and nothing else.
        QCOMPARE(m_defaults->string("FerrowynHost.relayURL"), url);
        QCOMPARE(m_defaults->string("FerrowynHost.relayVersion"), rawValue(version));
        QVERIFY(!m_defaults->object("FerrowynHost.keepRelayOnline").isValid());
    }
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
