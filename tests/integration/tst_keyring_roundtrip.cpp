#include "Platform/JsonFileUserDefaults.h"
#include "Platform/SecretServiceKeyring.h"
#include "Services/HostCredentialStore.h"
#include "Services/HostPreferences.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

// Runs inside its own D-Bus session with a fresh gnome-keyring (see tests/with-keyring.sh).
class KeyringRoundTripTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void readWriteRemove();
    void bytesThatAreNotUtf8SurviveTheKeyring();
    void secretsRoundTripAndStayOutOfTheDefaultsFile();
    void withoutASessionBusTheKeyringFailsFast();

private:
    QTemporaryDir m_dir;
    SecretServiceKeyring m_keyring;
};

void KeyringRoundTripTest::initTestCase()
{
    QVERIFY2(!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"),
             "run this test through tests/with-keyring.sh");
}

void KeyringRoundTripTest::readWriteRemove()
{
    const QString service = QStringLiteral("dev.ferrowyn.test");
    const QString account = QStringLiteral("plain");
    QCOMPARE(m_keyring.read(service, account).status, Keyring::ReadResult::Status::NotFound);

    QString error;
    QVERIFY2(m_keyring.write("first", service, account, &error), qPrintable(error));
    QVERIFY2(m_keyring.write("second", service, account, &error), qPrintable(error));
    const Keyring::ReadResult read = m_keyring.read(service, account);
    QCOMPARE(read.status, Keyring::ReadResult::Status::Found);
    QCOMPARE(read.data, QByteArray("second"));
    // Another account under the same service is a different item.
    QCOMPARE(m_keyring.read(service, QStringLiteral("other")).status, Keyring::ReadResult::Status::NotFound);

    QVERIFY2(m_keyring.remove(service, account, &error), qPrintable(error));
    QCOMPARE(m_keyring.read(service, account).status, Keyring::ReadResult::Status::NotFound);
    QVERIFY2(m_keyring.remove(service, account, &error), "removing a missing item is not an error");
}

void KeyringRoundTripTest::bytesThatAreNotUtf8SurviveTheKeyring()
{
    const QByteArray bytes("\xff\x00\xc3\x28tail", 8);
    QVERIFY(m_keyring.write(bytes, QStringLiteral("dev.ferrowyn.test"), QStringLiteral("binary")));
    QCOMPARE(m_keyring.read(QStringLiteral("dev.ferrowyn.test"), QStringLiteral("binary")).data, bytes);
}

void KeyringRoundTripTest::secretsRoundTripAndStayOutOfTheDefaultsFile()
{
    const QString defaultsPath = m_dir.filePath(QStringLiteral("defaults.json"));
    HostCredentials made;
    {
        JsonFileUserDefaults defaults(defaultsPath);
        HostCredentialStore store(defaults, m_keyring);
        made = store.current(HostRelayVersion::elixirV2);
        QCOMPARE(store.lastKeyringError(), QString());
        HostPreferences preferences(defaults,
                                    HostNgrokTokenStore(m_keyring, QStringLiteral("dev.ferrowyn.host.ngrok"),
                                                        QStringLiteral("authtoken")));
        preferences.setNgrokAuthtoken(QStringLiteral(" 2ngrokTOKENvalue "));
        preferences.setWorkspaces({QStringLiteral("/home/me/project")});
    }

    JsonFileUserDefaults defaults(defaultsPath);
    HostCredentialStore store(defaults, m_keyring);
    QCOMPARE(store.current(HostRelayVersion::elixirV2), made);
    HostPreferences preferences(defaults,
                                HostNgrokTokenStore(m_keyring, QStringLiteral("dev.ferrowyn.host.ngrok"),
                                                    QStringLiteral("authtoken")));
    QCOMPARE(preferences.ngrokAuthtoken(), QStringLiteral("2ngrokTOKENvalue"));

    QFile file(defaultsPath);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray content = file.readAll();
    QVERIFY(content.contains("/home/me/project"));
    QVERIFY(content.contains("FerrowynHost.credentials.metadata"));
    // The metadata record is stored as base64 data: look for the secrets in the file and in the record.
    for (const QString &secret :
         {made.hostToken, made.relayToken, made.pairingNonce, QStringLiteral("2ngrokTOKENvalue")}) {
        QVERIFY2(!content.contains(secret.toUtf8()), qPrintable(secret));
        QVERIFY2(!JsonFileUserDefaults(defaultsPath)
                      .data(QStringLiteral("FerrowynHost.credentials.metadata"))
                      ->contains(secret.toUtf8()),
                 qPrintable(secret));
    }

    preferences.setNgrokAuthtoken(QString());
    QCOMPARE(m_keyring.read(QStringLiteral("dev.ferrowyn.host.ngrok"), QStringLiteral("authtoken")).status,
             Keyring::ReadResult::Status::NotFound);
}

void KeyringRoundTripTest::withoutASessionBusTheKeyringFailsFast()
{
    const QByteArray address = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    qputenv("XDG_RUNTIME_DIR", m_dir.path().toUtf8());

    QElapsedTimer timer;
    timer.start();
    const Keyring::ReadResult read =
        m_keyring.read(QStringLiteral("dev.ferrowyn.test"), QStringLiteral("plain"));
    QString error;
    const bool written =
        m_keyring.write("x", QStringLiteral("dev.ferrowyn.test"), QStringLiteral("plain"), &error);

    qputenv("DBUS_SESSION_BUS_ADDRESS", address);
    qputenv("XDG_RUNTIME_DIR", runtime);
    QCOMPARE(read.status, Keyring::ReadResult::Status::Error);
    QVERIFY(!read.error.isEmpty());
    QVERIFY(!written);
    QVERIFY(!error.isEmpty());
    QVERIFY(timer.elapsed() < 2000);
}

QTEST_GUILESS_MAIN(KeyringRoundTripTest)
#include "tst_keyring_roundtrip.moc"
