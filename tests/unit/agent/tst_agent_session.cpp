#include "AgentSession.h"

#include <QDir>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

// Who gets in and what a tablet is answered, without any socket: the trusted-devices file, the pairing
// decision, the throttle, and one tablet conversation.
class AgentSessionTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void storeTrustsOnlyWhatItWrote();
    void storeKeepsAnUnreadableFileAside();
    void decisions();
    void throttleSlowsRepeatedFailures();
    void everyRequestIsAnswered();
    void throttledAuthenticationAnswersLaterAndBusyMeanwhile();
    void silentConversationTimesOut();

private:
    static QString text(const QJsonObject &object)
    {
        return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
    }
    static QJsonObject reply(const QSignalSpy &spy, int index)
    {
        return QJsonDocument::fromJson(spy.at(index).at(0).toString().toUtf8()).object();
    }
    static AgentSecrets secrets(const QString &nonce = QStringLiteral("nonce-1"));
    static QString authText(const QString &token = QStringLiteral("token-1"));
    SessionServices services(int authTimeoutMs);
    QString storePath() const { return m_dir.path() + QStringLiteral("/.ferrowyn/trusted-devices.json"); }
    bool addDevice(const QString &deviceId, const QString &hostId = QStringLiteral("host_1"));

    QTemporaryDir m_dir;
    std::unique_ptr<PairingAuthenticator> m_authenticator;
    std::unique_ptr<AuthThrottle> m_throttle;
    std::unique_ptr<WorkspaceFileService> m_files;
};

void AgentSessionTest::init()
{
    QDir(m_dir.path() + QStringLiteral("/.ferrowyn")).removeRecursively();
    m_authenticator = std::make_unique<PairingAuthenticator>(secrets(), TrustedDeviceStore(storePath()));
    m_throttle = std::make_unique<AuthThrottle>(150, 1);
    m_files =
        std::make_unique<WorkspaceFileService>(QStringList{m_dir.path() + QStringLiteral("/.ferrowyn")});
}

AgentSecrets AgentSessionTest::secrets(const QString &nonce)
{
    AgentSecrets secrets;
    secrets.hostToken = QStringLiteral("token-1");
    secrets.hostId = QStringLiteral("host_1");
    secrets.pairingNonce = nonce;
    return secrets;
}

QString AgentSessionTest::authText(const QString &token)
{
    return text({{"id", "a"},
                 {"method", "auth"},
                 {"params", QJsonObject{{"token", token},
                                        {"hostId", "host_1"},
                                        {"pairingNonce", "nonce-1"},
                                        {"deviceId", "d1"},
                                        {"deviceName", "iPad"}}}});
}

SessionServices AgentSessionTest::services(int authTimeoutMs)
{
    return SessionServices{m_authenticator.get(), m_throttle.get(), m_files.get(), authTimeoutMs};
}

bool AgentSessionTest::addDevice(const QString &deviceId, const QString &hostId)
{
    QString error;
    return TrustedDeviceStore(storePath()).add(deviceId, QStringLiteral("iPad"), hostId, {}, &error);
}

void AgentSessionTest::storeTrustsOnlyWhatItWrote()
{
    TrustedDeviceStore store(storePath());
    QVERIFY(!store.isTrusted(QStringLiteral("d1"), QStringLiteral("host_1")));
    // Pairing again refreshes rather than duplicates.
    QVERIFY(addDevice("d1") && addDevice("d2") && addDevice("d1"));
    QVERIFY(store.isTrusted(QStringLiteral("d1"), QStringLiteral("host_1")));
    QVERIFY(store.isTrusted(QStringLiteral("d2"), QStringLiteral("host_1")));
    QVERIFY(!store.isTrusted(QStringLiteral("d1"), QStringLiteral("host_2")));
    QCOMPARE(QFile(storePath()).permissions() & (QFile::ReadOther | QFile::ReadGroup | QFile::WriteOther), 0);
    QFile file(storePath());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll().count("\"deviceId\""), 2);
}

void AgentSessionTest::storeKeepsAnUnreadableFileAside()
{
    // One store throughout: it reads the file every time, so that editing or deleting the file revokes.
    TrustedDeviceStore store(storePath());
    QVERIFY(addDevice("d1") && store.isTrusted(QStringLiteral("d1"), QStringLiteral("host_1")));
    QFile file(storePath());
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("{not json");
    file.close();
    QVERIFY(!store.isTrusted(QStringLiteral("d1"), QStringLiteral("host_1")));
    QVERIFY(addDevice("d2"));
    QVERIFY(store.isTrusted(QStringLiteral("d2"), QStringLiteral("host_1")));
    // The damaged file is kept beside the fresh one, untouched by the pairing.
    const QFileInfoList aside =
        QDir(QFileInfo(storePath()).path()).entryInfoList({"trusted-devices.json.corrupt-*"}, QDir::Files);
    QCOMPARE(aside.size(), 1);
    QFile kept(aside.first().filePath());
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QCOMPARE(kept.readAll(), QByteArray("{not json"));
}

void AgentSessionTest::decisions()
{
    // The attempt's token, host id, nonce and device id, the agent's own nonce, and the outcomes of that
    // attempt and of the same one again without the nonce.
    using A = AuthOutcome;
    const QList<std::tuple<QStringList, A, A>> table{
        {{"token-1", "host_1", "nonce-1", "d1", "nonce-1"}, A::newlyPaired, A::trustedDevice},
        {{"token-2", "host_1", "nonce-1", "d1", "nonce-1"}, A::wrongToken, A::wrongToken},
        {{"token-1", "host_2", "nonce-1", "d1", "nonce-1"}, A::wrongHostId, A::wrongHostId},
        {{"token-1", "host_1", "nonce-2", "d1", "nonce-1"}, A::wrongPairingNonce, A::wrongPairingNonce},
        // Without a nonce of its own the agent pairs nobody.
        {{"token-1", "host_1", "", "d1", ""}, A::wrongPairingNonce, A::wrongPairingNonce},
        {{"token-1", "host_1", "nonce-1", "  ", "nonce-1"}, A::invalidDevice, A::invalidDevice},
        {{"token-1", "host_1", "nonce-1", QString(129, 'd'), "nonce-1"}, A::invalidDevice, A::invalidDevice}};
    for (const auto &[attempt, first, second] : table) {
        QFile::remove(storePath());
        PairingAuthenticator authenticator(secrets(attempt.at(4)), TrustedDeviceStore(storePath()));
        QCOMPARE(authenticator.verify({attempt.at(0), attempt.at(1), attempt.at(2), attempt.at(3), "iPad"}),
                 first);
        QCOMPARE(authenticator.verify({attempt.at(0), attempt.at(1), QString(), attempt.at(3), "iPad"}),
                 second);
        QCOMPARE(QFile::exists(storePath()), first == AuthOutcome::newlyPaired);
    }
}

void AgentSessionTest::throttleSlowsRepeatedFailures()
{
    AuthThrottle throttle(100);
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
    QCOMPARE(throttle.delayMsFor(a, 1000 + 15 * 60 * 1000), 3200);
    QCOMPARE(throttle.delayMsFor(a, 1001 + 15 * 60 * 1000), 0);
    for (int i = 0; i < 4; ++i)
        throttle.recordFailure(b, 2000);
    QCOMPARE(throttle.delayMsFor(b, 2000), 200);
    throttle.recordSuccess(b);
    QCOMPARE(throttle.delayMsFor(b, 2000), 0);
}

void AgentSessionTest::everyRequestIsAnswered()
{
    struct Row {
        bool authenticated;
        QString request;
        bool closes;
        QString errorCode;
    };
    const QList<Row> table{
        {false, authText(), false, ""},
        {false, authText(QStringLiteral("token-2")), true, "auth_failed"},
        {false, R"({"method":"workspaces.list"})", true, "unauthenticated"},
        {false, R"({"id": 1, "method": )", false, "parse_error"},
        {false, R"({"id":1})", false, "invalid_request"},
        {true, R"({"id":1,"method":"workspaces.list"})", false, ""},
        {true, R"({"id":1,"method":"auth","params":{}})", false, "already_authenticated"},
        {true, R"({"id":1,"method":"fs.delete"})", false, "method_not_found"},
        {true, R"({"id":1})", false, "invalid_request"},
        {true, R"([{"id":1}])", false, "parse_error"},
        {true, R"({"id":1,"method":"fs.list","params":{"path":3}})", false, "invalid_params"},
        {true, R"({"id":1,"method":"fs.list","params":{"path":"/"}})", false, "path_outside_workspace"}};
    for (const Row &row : table) {
        m_throttle = std::make_unique<AuthThrottle>(150, 1);
        AgentSession session(QStringLiteral("peer"), services(10'000));
        if (row.authenticated)
            session.receive(authText());
        QCOMPARE(session.isAuthenticated(), row.authenticated);
        QSignalSpy sent(&session, &AgentSession::send);
        QSignalSpy closed(&session, &AgentSession::closeRequested);
        session.receive(row.request);
        QVERIFY2(sent.size() == 1, qPrintable(row.request));
        const QJsonObject answer = reply(sent, 0);
        QCOMPARE(answer.value("error").toObject().value("code").toString(), row.errorCode);
        QCOMPARE(answer.contains("result"), row.errorCode.isEmpty());
        // The answer names the request it answers; a request without an id gets a null one.
        const QJsonObject asked = QJsonDocument::fromJson(row.request.toUtf8()).object();
        QCOMPARE(answer.value("id"), asked.contains("id") ? asked.value("id") : QJsonValue(QJsonValue::Null));
        QCOMPARE(answer.value("method"), asked.value("method"));
        QCOMPARE(closed.size(), row.closes ? 1 : 0);
        if (row.closes) {
            QCOMPARE(closed.at(0).at(0).toInt(), 1008);
            // Nothing more is said once the end is requested.
            session.receive(QStringLiteral(R"({"id":9})"));
            QCOMPARE(sent.size(), 1);
        }
    }
}

void AgentSessionTest::throttledAuthenticationAnswersLaterAndBusyMeanwhile()
{
    m_throttle->recordFailure(QStringLiteral("peer"), QDateTime::currentMSecsSinceEpoch());
    AgentSession session(QStringLiteral("peer"), services(10'000));
    QSignalSpy sent(&session, &AgentSession::send);
    QSignalSpy authenticated(&session, &AgentSession::authenticatedChanged);
    session.receive(authText());
    QCOMPARE(sent.size(), 0);
    session.receive(text({{"id", 2}, {"method", "auth"}}));
    QCOMPARE(reply(sent, 0).value("error").toObject().value("code").toString(), QStringLiteral("busy"));
    QVERIFY(authenticated.wait(2000));
    QCOMPARE(reply(sent, 1).value("id").toString(), QStringLiteral("a"));
    QCOMPARE(reply(sent, 1).value("result").toObject().value("paired").toBool(), true);
    // Success clears the address's record.
    QCOMPARE(m_throttle->delayMsFor(QStringLiteral("peer"), QDateTime::currentMSecsSinceEpoch()), 0);
}

void AgentSessionTest::silentConversationTimesOut()
{
    AgentSession session(QStringLiteral("peer"), services(50));
    QSignalSpy closed(&session, &AgentSession::closeRequested);
    QVERIFY(closed.wait(2000));
    QCOMPARE(closed.at(0).at(1).toString(), QStringLiteral("authentication timeout"));

    AgentSession authenticatedSession(QStringLiteral("peer"), services(50));
    QSignalSpy stillOpen(&authenticatedSession, &AgentSession::closeRequested);
    authenticatedSession.receive(authText());
    QVERIFY(authenticatedSession.isAuthenticated());
    QVERIFY(!stillOpen.wait(200));
}

QTEST_GUILESS_MAIN(AgentSessionTest)
#include "tst_agent_session.moc"
