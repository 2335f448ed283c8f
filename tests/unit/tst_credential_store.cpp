#include "MemoryKeyring.h"
#include "Platform/JsonFileUserDefaults.h"
#include "Services/HostCredentialStore.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTest>
#include <QTimeZone>

#include <memory>

namespace {

const QString service = QStringLiteral("dev.ferrowyn.host.credentials");
const QString metadataKey = QStringLiteral("FerrowynHost.credentials.metadata");

QJsonObject metadataObject(const UserDefaults &defaults)
{
    return QJsonDocument::fromJson(defaults.data(metadataKey).value_or(QByteArray())).object();
}

} // namespace

class CredentialStoreTest : public QObject {
    Q_OBJECT

private slots:
    void init();

    void firstUseMakesAndStoresARecord();
    void secondStoreReadsTheSameRecord();
    void missingHostTokenMeansAWholeNewPairing_data();
    void missingHostTokenMeansAWholeNewPairing();
    void missingRelayTokenOrNonceIsRegeneratedInPlace_data();
    void missingRelayTokenOrNonceIsRegeneratedInPlace();
    void olderRecordWithoutSecretKeysDecodes();
    void unreadableRecords_data();
    void unreadableRecords();
    void otherRelayVersionIsStoredInPlace();
    void datesUseTheReferenceEpoch();
    void keyringOutageDoesNotOverwriteTheStoredPairing();
    void failedSaveIsReported();
    void recordIsReadFromTheKeyringOnce();
    void randomBase64URLShape();

private:
    HostCredentialStore &store();
    HostCredentialStore freshStore() { return HostCredentialStore(*m_defaults, m_keyring); }

    std::unique_ptr<JsonFileUserDefaults> m_defaults;
    MemoryKeyring m_keyring;
    std::unique_ptr<HostCredentialStore> m_store;
};

void CredentialStoreTest::init()
{
    m_defaults = std::make_unique<JsonFileUserDefaults>();
    m_keyring = MemoryKeyring();
    m_store = std::make_unique<HostCredentialStore>(*m_defaults, m_keyring);
}

HostCredentialStore &CredentialStoreTest::store()
{
    return *m_store;
}

void CredentialStoreTest::firstUseMakesAndStoresARecord()
{
    const HostCredentials credentials = store().current(HostRelayVersion::goV1);
    QVERIFY(credentials.hostId.startsWith(QLatin1String("host_")));
    QCOMPARE(credentials.hostId.size(), 27);
    QCOMPARE(credentials.hostToken.size(), 43);
    QCOMPARE(credentials.relayToken.size(), 43);
    QCOMPARE(credentials.pairingNonce.size(), 43);
    QVERIFY(QRegularExpression(
                QStringLiteral("^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$"))
                .match(credentials.relaySessionId)
                .hasMatch());
    QCOMPARE(credentials.relayVersion, HostRelayVersion::goV1);
    QCOMPARE(credentials.createdAt, credentials.rotatedAt);
    QVERIFY(qAbs(credentials.createdAt.secsTo(QDateTime::currentDateTimeUtc())) < 5);

    const QJsonObject metadata = metadataObject(*m_defaults);
    QCOMPARE(metadata.keys().size(), 8);
    QCOMPARE(metadata.value(QStringLiteral("hostToken")).toString(QStringLiteral("absent")), QString());
    QCOMPARE(metadata.value(QStringLiteral("relayToken")).toString(QStringLiteral("absent")), QString());
    QCOMPARE(metadata.value(QStringLiteral("pairingNonce")).toString(QStringLiteral("absent")), QString());
    QCOMPARE(metadata.value(QStringLiteral("hostId")).toString(), credentials.hostId);
    QCOMPARE(metadata.value(QStringLiteral("relayVersion")).toString(), QStringLiteral("goV1"));

    QCOMPARE(m_keyring.value(service, QStringLiteral("host-token")), credentials.hostToken.toUtf8());
    QCOMPARE(m_keyring.value(service, QStringLiteral("relay-token")), credentials.relayToken.toUtf8());
    QCOMPARE(m_keyring.value(service, QStringLiteral("pairing-nonce")), credentials.pairingNonce.toUtf8());
    QCOMPARE(m_keyring.itemCount(), 3);
}

void CredentialStoreTest::secondStoreReadsTheSameRecord()
{
    const HostCredentials first = store().current(HostRelayVersion::elixirV2);
    QCOMPARE(freshStore().current(HostRelayVersion::elixirV2), first);
}

void CredentialStoreTest::missingHostTokenMeansAWholeNewPairing_data()
{
    QTest::addColumn<QByteArray>("storedToken"); // null: item deleted
    QTest::newRow("deleted") << QByteArray();
    QTest::newRow("empty") << QByteArray("");
    QTest::newRow("not UTF-8") << QByteArray("\xc3\x28");
}

void CredentialStoreTest::missingHostTokenMeansAWholeNewPairing()
{
    QFETCH(QByteArray, storedToken);
    const HostCredentials first = store().current(HostRelayVersion::elixirV2);
    if (storedToken.isNull())
        m_keyring.remove(service, QStringLiteral("host-token"));
    else
        m_keyring.write(storedToken, service, QStringLiteral("host-token"));

    const HostCredentials second = freshStore().current(HostRelayVersion::elixirV2);
    QVERIFY(second.hostId != first.hostId);
    QVERIFY(second.hostToken != first.hostToken);
    QVERIFY(second.relaySessionId != first.relaySessionId);
    QCOMPARE(freshStore().current(HostRelayVersion::elixirV2), second);
}

void CredentialStoreTest::missingRelayTokenOrNonceIsRegeneratedInPlace_data()
{
    QTest::addColumn<QString>("account");
    QTest::newRow("relay token") << QStringLiteral("relay-token");
    QTest::newRow("pairing nonce") << QStringLiteral("pairing-nonce");
}

void CredentialStoreTest::missingRelayTokenOrNonceIsRegeneratedInPlace()
{
    QFETCH(QString, account);
    const HostCredentials first = store().current(HostRelayVersion::elixirV2);
    m_keyring.remove(service, account);

    const HostCredentials second = freshStore().current(HostRelayVersion::elixirV2);
    QCOMPARE(second.hostId, first.hostId);
    QCOMPARE(second.hostToken, first.hostToken);
    QCOMPARE(second.relaySessionId, first.relaySessionId);
    const QString regenerated =
        account == QLatin1String("relay-token") ? second.relayToken : second.pairingNonce;
    const QString previous = account == QLatin1String("relay-token") ? first.relayToken : first.pairingNonce;
    QCOMPARE(regenerated.size(), 43);
    QVERIFY(regenerated != previous);
    // Saved at once, so the next reader agrees.
    QCOMPARE(m_keyring.value(service, account), regenerated.toUtf8());
    QCOMPARE(freshStore().current(HostRelayVersion::elixirV2), second);
}

void CredentialStoreTest::olderRecordWithoutSecretKeysDecodes()
{
    m_defaults->setData(metadataKey, R"({"hostId":"host_old","hostToken":null,"relaySessionId":"s-1",)"
                                     R"("relayVersion":"goV1","createdAt":10.5,"rotatedAt":20})");
    m_keyring.write("host-token-value", service, QStringLiteral("host-token"));
    m_keyring.write("nonce-value", service, QStringLiteral("pairing-nonce"));

    const HostCredentials credentials = store().current(HostRelayVersion::goV1);
    QCOMPARE(credentials.hostId, QStringLiteral("host_old"));
    QCOMPARE(credentials.hostToken, QStringLiteral("host-token-value"));
    QCOMPARE(credentials.pairingNonce, QStringLiteral("nonce-value"));
    QCOMPARE(credentials.relayToken.size(), 43);
    QCOMPARE(credentials.relaySessionId, QStringLiteral("s-1"));
    // Saving again writes every key, without the secrets.
    const QJsonObject metadata = metadataObject(*m_defaults);
    QCOMPARE(metadata.keys().size(), 8);
    QCOMPARE(metadata.value(QStringLiteral("relayToken")).toString(QStringLiteral("absent")), QString());
}

void CredentialStoreTest::unreadableRecords_data()
{
    QTest::addColumn<QByteArray>("metadata");
    QTest::newRow("no relayVersion") << QByteArray(
        R"({"hostId":"host_a","relaySessionId":"s","createdAt":1,"rotatedAt":1})");
    QTest::newRow("unknown relayVersion") << QByteArray(
        R"({"hostId":"host_a","relaySessionId":"s","relayVersion":"v3","createdAt":1,"rotatedAt":1})");
    QTest::newRow("no hostId") << QByteArray(
        R"({"relaySessionId":"s","relayVersion":"goV1","createdAt":1,"rotatedAt":1})");
    QTest::newRow("date as text") << QByteArray(
        R"({"hostId":"host_a","relaySessionId":"s","relayVersion":"goV1","createdAt":"1","rotatedAt":1})");
    QTest::newRow("token of the wrong type") << QByteArray(
        R"({"hostId":"host_a","hostToken":5,"relaySessionId":"s","relayVersion":"goV1","createdAt":1,"rotatedAt":1})");
    QTest::newRow("not JSON") << QByteArray("host_a");
}

void CredentialStoreTest::unreadableRecords()
{
    QFETCH(QByteArray, metadata);
    m_defaults->setData(metadataKey, metadata);
    m_keyring.write("host-token-value", service, QStringLiteral("host-token"));

    const HostCredentials credentials = store().current(HostRelayVersion::goV1);
    QVERIFY(credentials.hostId != QLatin1String("host_a"));
    QVERIFY(credentials.hostToken != QLatin1String("host-token-value"));
    QCOMPARE(HostCredentials::fromJson(m_defaults->data(metadataKey).value_or(QByteArray()))->hostId,
             credentials.hostId);
}

void CredentialStoreTest::otherRelayVersionIsStoredInPlace()
{
    const HostCredentials first = store().current(HostRelayVersion::goV1);
    const HostCredentials second = store().current(HostRelayVersion::elixirV2);
    HostCredentials expected = first;
    expected.relayVersion = HostRelayVersion::elixirV2;
    QCOMPARE(second, expected);
    QCOMPARE(freshStore().current(HostRelayVersion::elixirV2), expected);
    QCOMPARE(metadataObject(*m_defaults).value(QStringLiteral("relayVersion")).toString(),
             QStringLiteral("elixirV2"));
}

void CredentialStoreTest::datesUseTheReferenceEpoch()
{
    const QDateTime moment(QDate(2026, 12, 5), QTime(6, 10, 0, 250), QTimeZone::utc());
    const HostCredentials made = HostCredentialStore::make(HostRelayVersion::goV1, moment);
    store().save(made);
    const QJsonObject metadata = metadataObject(*m_defaults);
    // 2026-12-05T06:10:00.25Z is 818,143,800.25 seconds after 2001-01-01T00:00:00Z.
    QCOMPARE(metadata.value(QStringLiteral("createdAt")).toDouble(), 818143800.25);
    QCOMPARE(freshStore().current(HostRelayVersion::goV1).createdAt, moment);
}

void CredentialStoreTest::keyringOutageDoesNotOverwriteTheStoredPairing()
{
    const HostCredentials stored = store().current(HostRelayVersion::elixirV2);
    const QByteArray storedMetadata = m_defaults->data(metadataKey).value_or(QByteArray());

    m_keyring.failReads = true;
    m_keyring.failWrites = true;
    HostCredentialStore duringOutage = freshStore();
    const HostCredentials temporary = duringOutage.current(HostRelayVersion::elixirV2);
    QVERIFY(!duringOutage.lastKeyringError().isEmpty());
    QVERIFY(temporary.hostToken != stored.hostToken);
    QVERIFY(!temporary.hostToken.isEmpty());
    // Stable for the rest of the session, also across a version change.
    QCOMPARE(duringOutage.current(HostRelayVersion::goV1).hostToken, temporary.hostToken);
    QCOMPARE(m_defaults->data(metadataKey), storedMetadata);

    m_keyring.failReads = false;
    m_keyring.failWrites = false;
    QCOMPARE(freshStore().current(HostRelayVersion::elixirV2), stored);
}

void CredentialStoreTest::failedSaveIsReported()
{
    m_keyring.failWrites = true;
    store().current(HostRelayVersion::goV1);
    QVERIFY(!store().lastKeyringError().isEmpty());
    m_keyring.failWrites = false;
    store().save(store().current(HostRelayVersion::goV1));
    QCOMPARE(store().lastKeyringError(), QString());
}

void CredentialStoreTest::recordIsReadFromTheKeyringOnce()
{
    const HostCredentials first = store().current(HostRelayVersion::goV1);
    HostCredentialStore reader = freshStore();
    reader.current(HostRelayVersion::goV1);
    const int reads = m_keyring.readCount;
    for (int i = 0; i < 100; ++i)
        QCOMPARE(reader.current(HostRelayVersion::goV1), first);
    QCOMPARE(m_keyring.readCount, reads);

    // A saved record replaces the copy: the next caller sees it without asking the keyring.
    const HostCredentials rotated = HostCredentialStore::make(HostRelayVersion::goV1);
    reader.save(rotated);
    QCOMPARE(reader.current(HostRelayVersion::goV1), rotated);
    QCOMPARE(m_keyring.readCount, reads);
}

void CredentialStoreTest::randomBase64URLShape()
{
    const QRegularExpression alphabet(QStringLiteral("^[A-Za-z0-9_-]*$"));
    QSet<QString> seen;
    for (int i = 0; i < 200; ++i) {
        const QString sixteen = HostCredentialStore::randomBase64URL(16);
        const QString thirtyTwo = HostCredentialStore::randomBase64URL(32);
        QCOMPARE(sixteen.size(), 22);
        QCOMPARE(thirtyTwo.size(), 43);
        QVERIFY(alphabet.match(sixteen).hasMatch());
        QVERIFY(alphabet.match(thirtyTwo).hasMatch());
        seen.insert(thirtyTwo);
    }
    QCOMPARE(seen.size(), 200);
    QCOMPARE(HostCredentialStore::randomBase64URL(0), QString());
}

QTEST_GUILESS_MAIN(CredentialStoreTest)
#include "tst_credential_store.moc"
