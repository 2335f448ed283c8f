#include "Platform/JsonFileUserDefaults.h"
#include "Platform/SecretServiceKeyring.h"
#include "Services/HostCredentialStore.h"
#include "Services/HostPreferences.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString testService = QStringLiteral("dev.ferrowyn.test");
const QString ngrokService = QStringLiteral("dev.ferrowyn.host.ngrok");

// Locks or unlocks the login collection the way a session does, through gnome-keyring's own D-Bus calls.
const char *lockScript = R"(
import dbus, sys
bus = dbus.SessionBus()
daemon = bus.get_object('org.freedesktop.secrets', '/org/freedesktop/secrets')
service = dbus.Interface(daemon, 'org.freedesktop.Secret.Service')
login = dbus.ObjectPath('/org/freedesktop/secrets/collection/login')
if sys.argv[1] == 'lock':
    service.Lock([login])
else:
    _, session = service.OpenSession('plain', dbus.String('', variant_level=1))
    dbus.Interface(daemon, 'org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface').UnlockWithMasterPassword(
        login, (session, dbus.ByteArray(b''), dbus.ByteArray(b'ferrowyn-test'), 'text/plain'))
)";

} // namespace

// Runs inside its own D-Bus session with a fresh gnome-keyring (see tests/with-keyring.sh).
class KeyringRoundTripTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void readWriteRemove();
    void secretsRoundTripAndStayOutOfTheDefaultsFile();
    void lockedCollectionReadsLockedAndKeepsThePairing();
    void withoutASessionBusTheKeyringFailsFast();

private:
    Keyring::ReadResult read(const QString &account, const QString &service = testService);
    QString write(const QByteArray &data, const QString &account);
    QString remove(const QString &account, const QString &service = testService);
    HostCredentials load(HostCredentialStore &store);
    void setLocked(bool locked);

    QTemporaryDir m_dir;
    // Short limits: a headless keyring cannot show its unlock prompt, and the test must not wait two minutes.
    SecretServiceKeyring m_keyring{KeyringTimeLimits{std::chrono::seconds(5), std::chrono::seconds(2)}};
};

// The keyring answers on a later turn of the event loop; this waits for that answer.
template <typename Answer, typename Call> Answer awaitAnswer(Call call, Answer none, int timeout = 10000)
{
    std::optional<Answer> answer;
    call([&answer](const Answer &value) { answer = value; });
    [&answer, timeout] {
        QTRY_VERIFY_WITH_TIMEOUT(answer, timeout);
    }();
    return answer.value_or(none);
}

Keyring::ReadResult KeyringRoundTripTest::read(const QString &account, const QString &service)
{
    return awaitAnswer<Keyring::ReadResult>([&](auto done) { m_keyring.read(service, account, this, done); },
                                            {Keyring::ReadResult::Status::Error, {}, "no answer"});
}

QString KeyringRoundTripTest::write(const QByteArray &data, const QString &account)
{
    return awaitAnswer<QString>([&](auto done) { m_keyring.write(data, testService, account, this, done); },
                                QStringLiteral("no answer"));
}

QString KeyringRoundTripTest::remove(const QString &account, const QString &service)
{
    return awaitAnswer<QString>([&](auto done) { m_keyring.remove(service, account, this, done); },
                                QStringLiteral("no answer"));
}

HostCredentials KeyringRoundTripTest::load(HostCredentialStore &store)
{
    return awaitAnswer<HostCredentials>(
        [&](auto done) { store.request(HostRelayVersion::elixirV2, this, done); }, {}, 15000);
}

void KeyringRoundTripTest::setLocked(bool locked)
{
    QCOMPARE(QProcess::execute(QStringLiteral("/usr/bin/python3"),
                               {QStringLiteral("-c"), QString::fromLatin1(lockScript),
                                locked ? QStringLiteral("lock") : QStringLiteral("unlock")}),
             0);
}

void KeyringRoundTripTest::initTestCase()
{
    QVERIFY2(!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"),
             "run this test through tests/with-keyring.sh");
}

void KeyringRoundTripTest::readWriteRemove()
{
    const QString account = QStringLiteral("plain");
    QCOMPARE(read(account).status, Keyring::ReadResult::Status::NotFound);
    QCOMPARE(write("first", account), QString());
    // A second write replaces the item, and bytes that are not UTF-8 come back as they went in.
    const QByteArray bytes("\xff\x00\xc3\x28tail", 8);
    QCOMPARE(write(bytes, account), QString());
    const Keyring::ReadResult stored = read(account);
    QCOMPARE(stored.status, Keyring::ReadResult::Status::Found);
    QCOMPARE(stored.data, bytes);
    // Another account under the same service is a different item.
    QCOMPARE(read(QStringLiteral("other")).status, Keyring::ReadResult::Status::NotFound);

    QCOMPARE(remove(account), QString());
    QCOMPARE(read(account).status, Keyring::ReadResult::Status::NotFound);
    QCOMPARE(remove(account), QString()); // removing a missing item is not an error
}

void KeyringRoundTripTest::secretsRoundTripAndStayOutOfTheDefaultsFile()
{
    const QString defaultsPath = m_dir.filePath(QStringLiteral("defaults.json"));
    HostCredentials made;
    {
        JsonFileUserDefaults defaults(defaultsPath);
        HostCredentialStore store(defaults, m_keyring);
        made = load(store);
        HostPreferences preferences(defaults, HostNgrokTokenStore(m_keyring, ngrokService, "authtoken"));
        preferences.setNgrokAuthtoken(QStringLiteral(" 2ngrokTOKENvalue "));
        preferences.setWorkspaces({QStringLiteral("/home/me/project")});
        QTRY_COMPARE(read(QStringLiteral("authtoken"), ngrokService).data, "2ngrokTOKENvalue");
        QCOMPARE(store.lastKeyringError(), QString());
    }

    JsonFileUserDefaults defaults(defaultsPath);
    HostCredentialStore store(defaults, m_keyring);
    QCOMPARE(load(store), made);
    HostPreferences preferences(defaults, HostNgrokTokenStore(m_keyring, ngrokService, "authtoken"));
    QTRY_COMPARE(preferences.ngrokAuthtoken(), QStringLiteral("2ngrokTOKENvalue"));

    QFile file(defaultsPath);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray content = file.readAll();
    QVERIFY(content.contains("/home/me/project"));
    QVERIFY(content.contains("FerrowynHost.credentials.metadata"));
    // The metadata record is stored as base64 data: look for the secrets in the file and in the record, also
    // in the keyring's copy of the record.
    const QByteArray keyringRecord =
        read(QStringLiteral("metadata"), HostCredentialStore::defaultService).data;
    QCOMPARE(keyringRecord, HostCredentialStore::metadataRecord(made));
    for (const QString &secret :
         {made.hostToken, made.relayToken, made.pairingNonce, QStringLiteral("2ngrokTOKENvalue")}) {
        QVERIFY2(!content.contains(secret.toUtf8()), qPrintable(secret));
        QVERIFY2(!defaults.data(HostCredentialStore::defaultMetadataKey)->contains(secret.toUtf8()),
                 qPrintable(secret));
        QVERIFY2(!keyringRecord.contains(secret.toUtf8()), qPrintable(secret));
    }

    preferences.setNgrokAuthtoken(QString());
    QTRY_COMPARE(read(QStringLiteral("authtoken"), ngrokService).status,
                 Keyring::ReadResult::Status::NotFound);
}

void KeyringRoundTripTest::lockedCollectionReadsLockedAndKeepsThePairing()
{
    const QString defaultsPath = m_dir.filePath(QStringLiteral("locked.json"));
    JsonFileUserDefaults defaults(defaultsPath);
    HostCredentials stored;
    {
        HostCredentialStore store(defaults, m_keyring);
        stored = load(store);
        QTRY_VERIFY(read(QStringLiteral("metadata"), HostCredentialStore::defaultService).found());
    }
    const std::optional<QByteArray> record = defaults.data(HostCredentialStore::defaultMetadataKey);

    setLocked(true);
    // An item that exists and one that does not answer alike: the keyring cannot tell until it is unlocked.
    QCOMPARE(read(QStringLiteral("host-token"), HostCredentialStore::defaultService).status,
             Keyring::ReadResult::Status::Locked);
    QCOMPARE(read(QStringLiteral("never-stored")).status, Keyring::ReadResult::Status::Locked);

    // Nobody can answer the unlock prompt here: the store hosts on credentials in memory and writes nothing.
    HostCredentialStore duringLock(defaults, m_keyring);
    const HostCredentials temporary = load(duringLock);
    QVERIFY(!duringLock.lastKeyringError().isEmpty());
    QVERIFY(!duringLock.waitingForUnlock());
    QVERIFY(temporary.hostToken != stored.hostToken);
    QCOMPARE(defaults.data(HostCredentialStore::defaultMetadataKey), record);

    setLocked(false);
    HostCredentialStore afterUnlock(defaults, m_keyring);
    QCOMPARE(load(afterUnlock), stored);
    QCOMPARE(afterUnlock.lastKeyringError(), QString());
}

void KeyringRoundTripTest::withoutASessionBusTheKeyringFailsFast()
{
    const QByteArray address = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    qputenv("XDG_RUNTIME_DIR", m_dir.path().toUtf8());

    QElapsedTimer timer;
    timer.start();
    const Keyring::ReadResult result = read(QStringLiteral("plain"));
    const QString error = write("x", QStringLiteral("plain"));

    qputenv("DBUS_SESSION_BUS_ADDRESS", address);
    qputenv("XDG_RUNTIME_DIR", runtime);
    QCOMPARE(result.status, Keyring::ReadResult::Status::Error);
    QVERIFY(!result.error.isEmpty());
    QVERIFY(!error.isEmpty());
    QVERIFY(timer.elapsed() < 2000);
}

QTEST_GUILESS_MAIN(KeyringRoundTripTest)
#include "tst_keyring_roundtrip.moc"
