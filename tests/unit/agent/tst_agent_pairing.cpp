#include "AuthThrottle.h"
#include "PairingAuthenticator.h"
#include "SecretComparison.h"
#include "TrustedDeviceStore.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

// Who gets in: the secret comparison, the trusted-devices file, the pairing decision and the throttle.
class AgentPairingTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void secretComparison();
    void storeTrustsOnlyWhatItWrote();
    void storeSurvivesAnUnreadableFile();
    void decisions_data();
    void decisions();
    void emptyNonceNeverPairs();
    void throttleSlowsRepeatedFailures();

private:
    AgentSecrets secrets() const;
    QString storePath() const { return m_dir.path() + QStringLiteral("/.ferrowyn/trusted-devices.json"); }
    QTemporaryDir m_dir;
};

void AgentPairingTest::init()
{
    QFile::remove(storePath());
}

AgentSecrets AgentPairingTest::secrets() const
{
    AgentSecrets secrets;
    secrets.hostToken = QStringLiteral("token-1");
    secrets.hostId = QStringLiteral("host_1");
    secrets.pairingNonce = QStringLiteral("nonce-1");
    return secrets;
}

void AgentPairingTest::secretComparison()
{
    QVERIFY(secretsEqual(QStringLiteral("abc"), QStringLiteral("abc")));
    QVERIFY(!secretsEqual(QStringLiteral("abc"), QStringLiteral("abd")));
    QVERIFY(!secretsEqual(QStringLiteral("ab"), QStringLiteral("abc")));
    QVERIFY(!secretsEqual(QString(), QStringLiteral("abc")));
    QVERIFY(!secretsEqual(QStringLiteral("ABC"), QStringLiteral("abc")));
}

void AgentPairingTest::storeTrustsOnlyWhatItWrote()
{
    TrustedDeviceStore store(storePath());
    QVERIFY(!store.isTrusted(QStringLiteral("d1"), QStringLiteral("host_1")));
    QString error;
    QVERIFY(store.add(QStringLiteral("d1"), QStringLiteral("iPad"), QStringLiteral("host_1"),
                      QDateTime::currentDateTimeUtc(), &error));
    QVERIFY(store.add(QStringLiteral("d2"), QStringLiteral("iPad 2"), QStringLiteral("host_1"),
                      QDateTime::currentDateTimeUtc(), &error));
    // Pairing again refreshes rather than duplicates.
    QVERIFY(store.add(QStringLiteral("d1"), QStringLiteral("iPad"), QStringLiteral("host_1"),
                      QDateTime::currentDateTimeUtc(), &error));
    QVERIFY(store.isTrusted(QStringLiteral("d1"), QStringLiteral("host_1")));
    QVERIFY(store.isTrusted(QStringLiteral("d2"), QStringLiteral("host_1")));
    QCOMPARE(QFile(storePath()).permissions() & (QFile::ReadOther | QFile::ReadGroup | QFile::WriteOther), 0);
    QFile file(storePath());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll().count("\"deviceId\""), 2);
    // A device paired with another host id is not trusted by this one.
    QVERIFY(!store.isTrusted(QStringLiteral("d1"), QStringLiteral("host_2")));
    QVERIFY(!store.isTrusted(QStringLiteral("d3"), QStringLiteral("host_1")));
}

void AgentPairingTest::storeSurvivesAnUnreadableFile()
{
    TrustedDeviceStore store(storePath());
    QString error;
    QVERIFY(store.add(QStringLiteral("d1"), QStringLiteral("iPad"), QStringLiteral("host_1"), {}, &error));
    QFile file(storePath());
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("{not json");
    file.close();
    QVERIFY(!store.isTrusted(QStringLiteral("d1"), QStringLiteral("host_1")));
    QVERIFY(store.add(QStringLiteral("d2"), QStringLiteral("iPad"), QStringLiteral("host_1"), {}, &error));
    QVERIFY(store.isTrusted(QStringLiteral("d2"), QStringLiteral("host_1")));
    // The damaged file is kept beside the fresh one, untouched by the pairing.
    const QFileInfoList aside =
        QDir(QFileInfo(storePath()).path()).entryInfoList({"trusted-devices.json.corrupt-*"}, QDir::Files);
    QCOMPARE(aside.size(), 1);
    QFile kept(aside.first().filePath());
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QCOMPARE(kept.readAll(), QByteArray("{not json"));
}

void AgentPairingTest::decisions_data()
{
    QTest::addColumn<QString>("token");
    QTest::addColumn<QString>("hostId");
    QTest::addColumn<QString>("nonce");
    QTest::addColumn<QString>("deviceId");
    QTest::addColumn<AuthOutcome>("first");
    QTest::addColumn<AuthOutcome>("second");
    QTest::newRow("pair then trusted") << "token-1"
                                       << "host_1"
                                       << "nonce-1"
                                       << "d1" << AuthOutcome::newlyPaired << AuthOutcome::trustedDevice;
    QTest::newRow("wrong token") << "token-2"
                                 << "host_1"
                                 << "nonce-1"
                                 << "d1" << AuthOutcome::wrongToken << AuthOutcome::wrongToken;
    QTest::newRow("wrong host id") << "token-1"
                                   << "host_2"
                                   << "nonce-1"
                                   << "d1" << AuthOutcome::wrongHostId << AuthOutcome::wrongHostId;
    QTest::newRow("wrong nonce") << "token-1"
                                 << "host_1"
                                 << "nonce-2"
                                 << "d1" << AuthOutcome::wrongPairingNonce << AuthOutcome::wrongPairingNonce;
    QTest::newRow("blank device") << "token-1"
                                  << "host_1"
                                  << "nonce-1"
                                  << "  " << AuthOutcome::invalidDevice << AuthOutcome::invalidDevice;
    QTest::newRow("oversized device") << "token-1"
                                      << "host_1"
                                      << "nonce-1" << QString(129, QLatin1Char('d'))
                                      << AuthOutcome::invalidDevice << AuthOutcome::invalidDevice;
}

void AgentPairingTest::decisions()
{
    QFETCH(QString, token);
    QFETCH(QString, hostId);
    QFETCH(QString, nonce);
    QFETCH(QString, deviceId);
    QFETCH(AuthOutcome, first);
    QFETCH(AuthOutcome, second);
    PairingAuthenticator authenticator(secrets(), TrustedDeviceStore(storePath()));
    QCOMPARE(authenticator.verify({token, hostId, nonce, deviceId, QStringLiteral("iPad")}), first);
    // The second attempt comes without the nonce.
    QCOMPARE(authenticator.verify({token, hostId, QString(), deviceId, QStringLiteral("iPad")}), second);
    QCOMPARE(QFile::exists(storePath()), first == AuthOutcome::newlyPaired);
    QVERIFY(!PairingAuthenticator::describe(first).isEmpty());
}

void AgentPairingTest::emptyNonceNeverPairs()
{
    AgentSecrets withoutNonce = secrets();
    withoutNonce.pairingNonce.clear();
    PairingAuthenticator authenticator(withoutNonce, TrustedDeviceStore(storePath()));
    QCOMPARE(authenticator.verify(
                 {QStringLiteral("token-1"), QStringLiteral("host_1"), QString(), QStringLiteral("d1"), {}}),
             AuthOutcome::wrongPairingNonce);
    QVERIFY(!QFile::exists(storePath()));
}

void AgentPairingTest::throttleSlowsRepeatedFailures()
{
    AuthThrottle throttle(100, 3, 60'000);
    const QString a = QStringLiteral("10.0.0.1");
    const QString b = QStringLiteral("10.0.0.2");
    QList<int> delays;
    for (int i = 0; i < 10; ++i) {
        delays.append(throttle.delayMsFor(a, 1000));
        throttle.recordFailure(a, 1000);
    }
    QCOMPARE(delays, (QList<int>{0, 0, 0, 100, 200, 400, 800, 1600, 3200, 3200}));
    QCOMPARE(throttle.delayMsFor(b, 1000), 0);
    // Forgotten after a quiet spell, and at once after a success.
    QCOMPARE(throttle.delayMsFor(a, 1000 + 60'001), 0);
    for (int i = 0; i < 4; ++i)
        throttle.recordFailure(b, 2000);
    QCOMPARE(throttle.delayMsFor(b, 2000), 200);
    throttle.recordSuccess(b);
    QCOMPARE(throttle.delayMsFor(b, 2000), 0);
}

QTEST_GUILESS_MAIN(AgentPairingTest)
#include "tst_agent_pairing.moc"
