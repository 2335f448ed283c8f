#include "MemoryKeyring.h"
#include "Platform/JsonFileUserDefaults.h"
#include "Platform/SecretsFileKeyring.h"
#include "Services/HostWarnings.h"
#include "Services/Pairing/PairingSecretsPlace.h"
#include "Services/Settings/HostCredentialStore.h"
#include "TestFiles.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString credentialService = QStringLiteral("dev.ferrowyn.host.credentials");
const QString metadataKey = QStringLiteral("FerrowynHost.credentials.metadata");
// The keyring's items, in the order of values().
const QStringList credentialAccounts{"metadata", "host-token", "relay-token", "pairing-nonce", "agent-key"};

QList<QByteArray> values(const HostCredentials &c)
{
    return {HostCredentialStore::metadataRecord(c), c.hostToken.toUtf8(), c.relayToken.toUtf8(),
            c.pairingNonce.toUtf8(), c.agentKey.toUtf8()};
}

} // namespace

// The pairing credentials between runs: in the keyring or the owner-only secrets file, loaded while the event
// loop turns, and where they are said to be.
class CredentialStoresTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void secretsFileThatIsNotPrivate_data();
    void secretsFileThatIsNotPrivate();
    void damagedSecretsFileIsKeptAsideUnreadableByOthers();
    void credentialLoad_data();
    void credentialLoad();
    void rotationWinsOverALoad();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<JsonFileUserDefaults> m_defaults;
    MemoryKeyring m_keyring;
};

void CredentialStoresTest::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_defaults = std::make_unique<JsonFileUserDefaults>();
    m_keyring = MemoryKeyring();
}

void CredentialStoresTest::secretsFileThatIsNotPrivate_data()
{
    QTest::addColumn<int>("folderMode");
    QTest::addColumn<int>("fileMode");   // 0: no file
    QTest::addColumn<bool>("othersOwn"); // the file belongs to another user
    QTest::addColumn<QString>("words");  // FILE and FOLDER stand for the paths; empty: the file is used
    const QString file =
        "The secrets file FILE is not used: its permissions (%1) let other users read or change "
        "it. Run: chmod 600 FILE";
    const QString folder =
        "The folder FOLDER of the secrets file is not used: its permissions (%1) let other "
        "users into it. Run: chmod 700 FOLDER";
    // Each mode stands for a bit of its own: others', the group's, reading, writing, passing.
    QTest::newRow("private") << 0700 << 0600 << false << QString();
    QTest::newRow("read-only for its owner") << 0700 << 0400 << false << QString();
    QTest::newRow("not there yet") << 0700 << 0 << false << QString();
    QTest::newRow("readable by the group") << 0700 << 0640 << false << file.arg("0640");
    QTest::newRow("writable by others") << 0700 << 0602 << false << file.arg("0602");
    QTest::newRow("folder others may pass") << 0711 << 0600 << false << folder.arg("0711");
    QTest::newRow("folder open, no file yet") << 0755 << 0 << false << folder.arg("0755");
    QTest::newRow("another user's file")
        << 0700 << 0600 << true
        << "The secrets file FILE is not used: it belongs to nobody, not to you (root). If what it holds is "
           "yours, run: sudo chown root: FILE";
}

void CredentialStoresTest::secretsFileThatIsNotPrivate()
{
    QFETCH(int, folderMode);
    QFETCH(int, fileMode);
    QFETCH(bool, othersOwn);
    QFETCH(QString, words);
    if (othersOwn && ::geteuid() != 0)
        QSKIP("giving a file to another user takes root");
    const QString folder = m_dir->filePath("state");
    const QString path = folder + "/credentials.json";
    QVERIFY(QDir().mkdir(folder) && ::chmod(QFile::encodeName(folder), static_cast<mode_t>(folderMode)) == 0);
    if (fileMode != 0) {
        QVERIFY(writeFile(path, R"({"service/account": "c2VjcmV0"})") &&
                ::chmod(QFile::encodeName(path), static_cast<mode_t>(fileMode)) == 0);
        if (othersOwn)
            QVERIFY(::chown(QFile::encodeName(path), 65534, 65534) == 0);
    }
    // Taken at once: a QFileInfo reads the file only when first asked.
    const auto seen = [&] {
        const QFileInfo file(path);
        return std::tuple(file.exists(), file.permissions(), file.ownerId(), QFileInfo(folder).permissions());
    };
    const auto before = seen();
    SecretsFileKeyring keyring(path);
    QCOMPARE(keyring.loadError(), QString(words).replace("FOLDER", folder).replace("FILE", path));
    Keyring::ReadResult read;
    QString written = "(no answer)";
    keyring.read("service", "account", this, [&read](const Keyring::ReadResult &result) { read = result; });
    keyring.write("new", "service", "other", this, [&written](const QString &error) { written = error; });
    QTRY_VERIFY(written != "(no answer)");
    // Where the pairing is kept says whether the file is used; why it is not is the file's own warning.
    HostCredentialStore store(*m_defaults, keyring);
    HostWarnings warnings;
    const PairingSecretsPlace place(store, warnings, path);
    store.request(HostRelayVersion::elixirV2, this, [](const HostCredentials &) {});
    QTRY_VERIFY(store.cached());
    QCOMPARE(place.place(), words.isEmpty() ? path : PairingSecretsPlace::memoryOnly);
    QCOMPARE(warnings.text(), QString());
    if (words.isEmpty()) {
        QCOMPARE(read.status,
                 fileMode ? Keyring::ReadResult::Status::Found : Keyring::ReadResult::Status::NotFound);
        QCOMPARE(written, QString());
        return;
    }
    // Nothing is read from it, nothing written over it, and nothing about it changed.
    QVERIFY(read.status == Keyring::ReadResult::Status::Error && read.error == keyring.loadError());
    QCOMPARE(written, keyring.loadError());
    QVERIFY(seen() == before);
}

void CredentialStoresTest::damagedSecretsFileIsKeptAsideUnreadableByOthers()
{
    const QString path = m_dir->filePath("state/credentials.json");
    QVERIFY(QDir().mkpath(m_dir->filePath("state")) &&
            QFile::setPermissions(m_dir->filePath("state"),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    QVERIFY(writeFile(path, "{not json") &&
            QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner));
    SecretsFileKeyring keyring(path);
    QCOMPARE(keyring.loadError(), QString());
    const QFileInfo aside(keyring.movedAsidePath());
    QVERIFY(aside.fileName().startsWith("credentials.json.corrupt-"));
    QCOMPARE(aside.permissions() & 0x0777, QFileDevice::ReadUser | QFileDevice::WriteUser);
}

void CredentialStoresTest::credentialLoad_data()
{
    // What exists before the load (settings: the record in the settings file; metadata: the keyring's copy),
    // the keyring's fault, which stored values come back, and whether the outcome is saved.
    QTest::addColumn<QStringList>("stored");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QStringList>("kept");
    QTest::addColumn<bool>("saved");
    const QStringList everything = QStringList{"settings"} + credentialAccounts;
    const QStringList all{"hostId", "hostToken", "relayToken", "pairingNonce", "agentKey"};
    const QStringList allButRelayToken{"hostId", "hostToken", "pairingNonce", "agentKey"};
    const QStringList allButAgentKey{"hostId", "hostToken", "relayToken", "pairingNonce"};
    // Found: everything but the keyring's copy of the record.
    QTest::newRow("found") << QStringList{"settings"} + credentialAccounts.mid(1) << "" << all << true;
    // A pairing from before the agent had a key, or with one that is no key: it gains one, and nothing else
    // changes for its tablets.
    QTest::newRow("agent key missing") << everything.mid(0, 5) << "" << allButAgentKey << true;
    QTest::newRow("agent key not a key")
        << everything + QStringList{"bad agent key"} << "" << allButAgentKey << true;
    QTest::newRow("not found") << QStringList() << "" << QStringList() << true;
    QTest::newRow("locked, then unlocked") << everything << "locked" << all << true;
    QTest::newRow("locked, unlock dismissed") << everything << "locked, dismissed" << QStringList() << false;
    QTest::newRow("timed out") << everything << "timed out" << QStringList() << false;
    QTest::newRow("relay token read fails") << everything << "relay-token fails" << allButRelayToken << false;
    QTest::newRow("relay token missing")
        << QStringList{"settings", "metadata", "host-token", "pairing-nonce", "agent-key"} << ""
        << allButRelayToken << true;
    QTest::newRow("host token not UTF-8")
        << QStringList{"settings", "metadata", "bad", "relay-token", "pairing-nonce", "agent-key"} << ""
        << QStringList{"relayToken", "pairingNonce", "agentKey"} << true;
    QTest::newRow("record only in the keyring") << everything.mid(1) << "" << all << true;
    QTest::newRow("host token but no record anywhere")
        << everything.mid(2) << "" << QStringList{"hostToken", "relayToken", "pairingNonce", "agentKey"}
        << true;
}

void CredentialStoresTest::credentialLoad()
{
    QFETCH(QStringList, stored);
    QFETCH(QString, fault);
    QFETCH(QStringList, kept);
    QFETCH(bool, saved);
    const HostCredentials before = HostCredentialStore::make(HostRelayVersion::elixirV2);
    if (stored.contains("settings"))
        m_defaults->setData(metadataKey, HostCredentialStore::metadataRecord(before));
    for (qsizetype i = 0; i < credentialAccounts.size(); ++i) {
        if (stored.contains(credentialAccounts.at(i)))
            m_keyring.put(credentialService, credentialAccounts.at(i), values(before).at(i));
    }
    if (stored.contains("bad"))
        m_keyring.put(credentialService, "host-token", "\xc3\x28");
    if (stored.contains("bad agent key"))
        m_keyring.put(credentialService, "agent-key", before.agentKey.chopped(1).toUtf8());
    const std::optional<QByteArray> settingsBefore = m_defaults->data(metadataKey);
    m_keyring.locked = fault.startsWith("locked");
    m_keyring.unlockAnswer = fault.contains("dismissed") ? MemoryKeyring::UnlockAnswer::Dismiss
                                                         : MemoryKeyring::UnlockAnswer::Unlock;
    m_keyring.failReads = fault == "timed out";
    m_keyring.failReadsOf = fault == "relay-token fails" ? QStringLiteral("relay-token") : QString();

    // Nothing is answered inside the call, and the event loop turns while the keyring keeps its answer.
    m_keyring.holdAnswers = true;
    HostCredentialStore store(*m_defaults, m_keyring);
    HostWarnings warnings;
    const PairingSecretsPlace place(store, warnings, {});
    std::optional<HostCredentials> loaded;
    store.request(HostRelayVersion::goV1, this, [&loaded](const HostCredentials &c) { loaded = c; });
    QCoreApplication::processEvents();
    QVERIFY(!loaded && !store.cached());
    QCOMPARE(place.place(), QString()); // not known yet, so not said
    bool sawWaiting = false;
    for (int round = 0; round < 4 && !loaded; ++round) {
        if (store.waitingForUnlock()) {
            sawWaiting = true;
            QCOMPARE(warnings.text(), PairingSecretsPlace::waitingForKeyringWarning);
        }
        m_keyring.answerNow();
        QTRY_VERIFY(loaded || m_keyring.heldCount() > 0);
    }
    QVERIFY(loaded && !store.waitingForUnlock());
    QCOMPARE(sawWaiting, fault.startsWith("locked"));
    // The secrets are where the keyring put them, or in memory only, and then the user learns what that
    // means.
    QCOMPARE(place.place(), saved ? PairingSecretsPlace::systemKeyring : PairingSecretsPlace::memoryOnly);
    QCOMPARE(warnings.text(), saved ? QString() : PairingSecretsPlace::keyringUnavailableWarning);
    QCOMPARE(loaded->relayVersion, HostRelayVersion::goV1);
    QCOMPARE(loaded->relaySessionId == before.relaySessionId, kept.contains("hostId"));
    const QStringList fields{"hostId", "hostToken", "relayToken", "pairingNonce", "agentKey"};
    const QStringList now{loaded->hostId, loaded->hostToken, loaded->relayToken, loaded->pairingNonce,
                          loaded->agentKey};
    const QStringList previous{before.hostId, before.hostToken, before.relayToken, before.pairingNonce,
                               before.agentKey};
    QVERIFY(loaded->agentPublicKey());
    for (qsizetype i = 0; i < fields.size(); ++i)
        QVERIFY2((now.at(i) == previous.at(i)) == kept.contains(fields.at(i)), qPrintable(fields.at(i)));

    m_keyring.holdAnswers = false;
    m_keyring.answerNow();
    if (!saved) {
        QCOMPARE(m_keyring.writeCount, 0);
        QCOMPARE(m_defaults->data(metadataKey), settingsBefore);
        return;
    }
    QCOMPARE(m_defaults->data(metadataKey), HostCredentialStore::metadataRecord(*loaded));
    QVERIFY(!HostCredentialStore::metadataRecord(*loaded).contains(loaded->agentKey.toUtf8()));
    for (qsizetype i = 0; i < credentialAccounts.size(); ++i)
        QTRY_COMPARE(m_keyring.value(credentialService, credentialAccounts.at(i)), values(*loaded).at(i));
}

void CredentialStoresTest::rotationWinsOverALoad()
{
    m_keyring.holdAnswers = true;
    HostCredentialStore store(*m_defaults, m_keyring);
    std::optional<HostCredentials> answered;
    store.request(HostRelayVersion::goV1, this, [&answered](const HostCredentials &c) { answered = c; });
    const HostCredentials rotated = store.rotate(HostRelayVersion::goV1);
    m_keyring.holdAnswers = false;
    m_keyring.answerNow();
    QTRY_COMPARE(answered, rotated);
    for (qsizetype i = 0; i < credentialAccounts.size(); ++i)
        QTRY_COMPARE(m_keyring.value(credentialService, credentialAccounts.at(i)), values(rotated).at(i));
    QCOMPARE(m_defaults->data(metadataKey), HostCredentialStore::metadataRecord(rotated));
}

QTEST_GUILESS_MAIN(CredentialStoresTest)
#include "tst_credential_stores.moc"
