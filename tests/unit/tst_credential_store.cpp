#include "MemoryKeyring.h"
#include "Platform/JsonFileUserDefaults.h"
#include "Services/HostCredentialStore.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QTimeZone>
#include <QTimer>

#include <memory>

namespace {

const QString service = QStringLiteral("dev.ferrowyn.host.credentials");
const QString metadataKey = QStringLiteral("FerrowynHost.credentials.metadata");
const QStringList secretAccounts{"host-token", "relay-token", "pairing-nonce"};

QStringList secretsOf(const HostCredentials &credentials)
{
    return {credentials.hostToken, credentials.relayToken, credentials.pairingNonce};
}

} // namespace

class CredentialStoreTest : public QObject {
    Q_OBJECT

private slots:
    void init();

    void loadRules_data();
    void loadRules();
    void rotationWinsOverALoadAndReplacesTheStoredItems();
    void madeRecordShape();
    void unreadableRecords_data();
    void unreadableRecords();
    void datesUseTheReferenceEpoch();
    void randomBase64URLShape();

private:
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

void CredentialStoreTest::loadRules_data()
{
    // What exists before the load (settings: the record in the settings file; record: the keyring's copy),
    // the keyring's fault, which stored values come back, and whether the outcome is saved.
    QTest::addColumn<QStringList>("stored");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QStringList>("kept");
    QTest::addColumn<bool>("saved");
    const QStringList everything{"settings", "record", "host-token", "relay-token", "pairing-nonce"};
    const QStringList all{"hostId", "hostToken", "relayToken", "pairingNonce"};
    QTest::newRow("found") << QStringList{"settings", "host-token", "relay-token", "pairing-nonce"} << ""
                           << all << true;
    QTest::newRow("not found") << QStringList() << "" << QStringList() << true;
    QTest::newRow("locked, then unlocked") << everything << "locked" << all << true;
    QTest::newRow("locked, unlock dismissed") << everything << "locked, dismissed" << QStringList() << false;
    QTest::newRow("timed out") << everything << "timed out" << QStringList() << false;
    QTest::newRow("relay token read fails")
        << everything << "relay-token fails" << QStringList{"hostId", "hostToken", "pairingNonce"} << false;
    QTest::newRow("relay token missing") << QStringList{"settings", "record", "host-token", "pairing-nonce"}
                                         << "" << QStringList{"hostId", "hostToken", "pairingNonce"} << true;
    QTest::newRow("host token not UTF-8")
        << QStringList{"settings", "record", "bad host-token", "relay-token", "pairing-nonce"} << ""
        << QStringList{"relayToken", "pairingNonce"} << true;
    QTest::newRow("record only in the keyring") << everything.mid(1) << "" << all << true;
    QTest::newRow("host token but no record anywhere")
        << everything.mid(2) << "" << QStringList{"hostToken", "relayToken", "pairingNonce"} << true;
}

void CredentialStoreTest::loadRules()
{
    QFETCH(QStringList, stored);
    QFETCH(QString, fault);
    QFETCH(QStringList, kept);
    QFETCH(bool, saved);
    const HostCredentials before = HostCredentialStore::make(HostRelayVersion::elixirV2);
    if (stored.contains("settings"))
        m_defaults->setData(metadataKey, HostCredentialStore::metadataRecord(before));
    if (stored.contains("record"))
        m_keyring.put(service, "metadata", HostCredentialStore::metadataRecord(before));
    for (qsizetype i = 0; i < secretAccounts.size(); ++i) {
        if (stored.contains(secretAccounts.at(i)))
            m_keyring.put(service, secretAccounts.at(i), secretsOf(before).at(i).toUtf8());
    }
    if (stored.contains("bad host-token"))
        m_keyring.put(service, "host-token", "\xc3\x28");
    const std::optional<QByteArray> settingsBefore = m_defaults->data(metadataKey);
    m_keyring.locked = fault.startsWith("locked");
    m_keyring.unlockAnswer = fault.contains("dismissed") ? MemoryKeyring::UnlockAnswer::Dismiss
                                                         : MemoryKeyring::UnlockAnswer::Unlock;
    m_keyring.failReads = fault == "timed out";
    m_keyring.failure = fault == "timed out" ? QStringLiteral("timed out") : QStringLiteral("keyring failed");
    m_keyring.failReadsOf = fault == "relay-token fails" ? QStringLiteral("relay-token") : QString();

    // Nothing is answered inside the call, and the event loop turns while the keyring keeps its answer.
    m_keyring.holdAnswers = true;
    std::optional<HostCredentials> first, second;
    m_store->request(HostRelayVersion::goV1, this, [&first](const HostCredentials &c) { first = c; });
    m_store->request(HostRelayVersion::goV1, this, [&second](const HostCredentials &c) { second = c; });
    QTimer tick;
    QSignalSpy ticks(&tick, &QTimer::timeout);
    tick.start(1);
    QVERIFY(ticks.wait());
    QVERIFY(!first && !m_store->cached());
    bool sawWaiting = false;
    for (int round = 0; round < 4 && !first; ++round) {
        sawWaiting = sawWaiting || m_store->waitingForUnlock();
        m_keyring.answerNow();
        QTRY_VERIFY(first || m_keyring.heldCount() > 0);
    }
    QVERIFY(first && second);
    QCOMPARE(*second, *first);
    QCOMPARE(m_store->cached(), first);
    QCOMPARE(sawWaiting, fault.startsWith("locked"));
    QVERIFY(!m_store->waitingForUnlock());
    QCOMPARE(m_store->lastKeyringError().isEmpty(), saved);

    const HostCredentials &after = *first;
    QCOMPARE(after.relayVersion, HostRelayVersion::goV1);
    QCOMPARE(after.relaySessionId == before.relaySessionId, kept.contains("hostId"));
    const QStringList fields{"hostId", "hostToken", "relayToken", "pairingNonce"};
    const QStringList values{after.hostId, after.hostToken, after.relayToken, after.pairingNonce};
    const QStringList previous{before.hostId, before.hostToken, before.relayToken, before.pairingNonce};
    for (qsizetype i = 0; i < fields.size(); ++i) {
        QVERIFY2((values.at(i) == previous.at(i)) == kept.contains(fields.at(i)), qPrintable(fields.at(i)));
        QCOMPARE(values.at(i).size(), previous.at(i).size());
    }

    m_keyring.holdAnswers = false;
    m_keyring.answerNow();
    if (!saved) {
        QCOMPARE(m_keyring.writeCount, 0);
        QCOMPARE(m_defaults->data(metadataKey), settingsBefore);
        return;
    }
    const QByteArray record = HostCredentialStore::metadataRecord(after);
    QCOMPARE(m_defaults->data(metadataKey), record);
    QTRY_COMPARE(m_keyring.value(service, "metadata"), record);
    for (qsizetype i = 0; i < secretAccounts.size(); ++i)
        QCOMPARE(m_keyring.value(service, secretAccounts.at(i)), secretsOf(after).at(i).toUtf8());
}

void CredentialStoreTest::rotationWinsOverALoadAndReplacesTheStoredItems()
{
    const HostCredentials before = HostCredentialStore::make(HostRelayVersion::goV1);
    m_defaults->setData(metadataKey, HostCredentialStore::metadataRecord(before));
    for (qsizetype i = 0; i < secretAccounts.size(); ++i)
        m_keyring.put(service, secretAccounts.at(i), secretsOf(before).at(i).toUtf8());
    m_keyring.holdAnswers = true;
    std::optional<HostCredentials> answered;
    m_store->request(HostRelayVersion::goV1, this, [&answered](const HostCredentials &c) { answered = c; });

    const HostCredentials rotated = m_store->rotate(HostRelayVersion::goV1);
    QCOMPARE(m_store->cached(), rotated);
    QVERIFY(!answered);
    m_keyring.holdAnswers = false;
    m_keyring.answerNow();
    QTRY_COMPARE(answered, rotated);
    QTRY_COMPARE(m_keyring.value(service, "metadata"), HostCredentialStore::metadataRecord(rotated));
    for (qsizetype i = 0; i < secretAccounts.size(); ++i) {
        QVERIFY(secretsOf(rotated).at(i) != secretsOf(before).at(i));
        QCOMPARE(m_keyring.value(service, secretAccounts.at(i)), secretsOf(rotated).at(i).toUtf8());
    }
    QCOMPARE(m_defaults->data(metadataKey), HostCredentialStore::metadataRecord(rotated));
    QCOMPARE(m_store->cached(), rotated);
}

void CredentialStoreTest::madeRecordShape()
{
    const HostCredentials credentials = HostCredentialStore::make(HostRelayVersion::goV1);
    QVERIFY(credentials.hostId.startsWith(QLatin1String("host_")));
    QCOMPARE(credentials.hostId.size(), 27);
    for (const QString &secret : secretsOf(credentials))
        QCOMPARE(secret.size(), 43);
    QVERIFY(QRegularExpression(
                QStringLiteral("^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$"))
                .match(credentials.relaySessionId)
                .hasMatch());
    QCOMPARE(credentials.createdAt, credentials.rotatedAt);
    QVERIFY(qAbs(credentials.createdAt.secsTo(QDateTime::currentDateTimeUtc())) < 5);

    // The record keeps every key, without the secrets.
    const QJsonObject record =
        QJsonDocument::fromJson(HostCredentialStore::metadataRecord(credentials)).object();
    QCOMPARE(record.keys().size(), 8);
    for (const char *key : {"hostToken", "relayToken", "pairingNonce"})
        QCOMPARE(record.value(QLatin1String(key)).toString(QStringLiteral("absent")), QString());
    QCOMPARE(record.value(QStringLiteral("relayVersion")).toString(), QStringLiteral("goV1"));
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
    QVERIFY(!HostCredentials::fromJson(metadata));
    // An older record, with null or absent secrets, still reads.
    QVERIFY(HostCredentials::fromJson(R"({"hostId":"host_old","hostToken":null,"relaySessionId":"s-1",)"
                                      R"("relayVersion":"goV1","createdAt":10.5,"rotatedAt":20})"));
}

void CredentialStoreTest::datesUseTheReferenceEpoch()
{
    const QDateTime moment(QDate(2026, 12, 5), QTime(6, 10, 0, 250), QTimeZone::utc());
    const HostCredentials made = HostCredentialStore::make(HostRelayVersion::goV1, moment);
    const QByteArray record = HostCredentialStore::metadataRecord(made);
    // 2026-12-05T06:10:00.25Z is 818,143,800.25 seconds after 2001-01-01T00:00:00Z.
    QCOMPARE(QJsonDocument::fromJson(record).object().value(QStringLiteral("createdAt")).toDouble(),
             818143800.25);
    QCOMPARE(HostCredentials::fromJson(record)->createdAt, moment);
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
