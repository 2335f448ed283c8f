#include "AgentSession.h"

#include <QJsonDocument>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

// One tablet conversation without any socket: the order of requests, the timeout and the throttled answer.
class AgentSessionTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void requestBeforeAuthenticationEndsTheConversation();
    void throttledAuthenticationAnswersLaterAndBusyMeanwhile();
    void silentConversationTimesOut();
    void afterAuthenticationEveryRequestIsAnswered_data();
    void afterAuthenticationEveryRequestIsAnswered();

private:
    static QString text(const QJsonObject &object)
    {
        return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
    }
    static QJsonObject reply(const QSignalSpy &spy, int index)
    {
        return QJsonDocument::fromJson(spy.at(index).at(0).toString().toUtf8()).object();
    }
    QString authText() const;
    SessionServices services(int authTimeoutMs);

    QTemporaryDir m_dir;
    std::unique_ptr<PairingAuthenticator> m_authenticator;
    std::unique_ptr<AuthThrottle> m_throttle;
    std::unique_ptr<WorkspaceFileService> m_files;
};

void AgentSessionTest::init()
{
    AgentSecrets secrets;
    secrets.hostToken = QStringLiteral("token-1");
    secrets.hostId = QStringLiteral("host_1");
    secrets.pairingNonce = QStringLiteral("nonce-1");
    QFile::remove(m_dir.path() + QStringLiteral("/trusted.json"));
    m_authenticator =
        std::make_unique<PairingAuthenticator>(secrets, TrustedDeviceStore(m_dir.path() + "/trusted.json"));
    m_throttle = std::make_unique<AuthThrottle>(150, 1);
    m_files = std::make_unique<WorkspaceFileService>(QStringList{m_dir.path()});
}

QString AgentSessionTest::authText() const
{
    return text({{"id", "a"},
                 {"method", "auth"},
                 {"params", QJsonObject{{"token", "token-1"},
                                        {"hostId", "host_1"},
                                        {"pairingNonce", "nonce-1"},
                                        {"deviceId", "d1"},
                                        {"deviceName", "iPad"}}}});
}

SessionServices AgentSessionTest::services(int authTimeoutMs)
{
    return SessionServices{m_authenticator.get(), m_throttle.get(), m_files.get(), authTimeoutMs};
}

void AgentSessionTest::requestBeforeAuthenticationEndsTheConversation()
{
    AgentSession session(QStringLiteral("peer"), services(10'000));
    QSignalSpy sent(&session, &AgentSession::send);
    QSignalSpy closed(&session, &AgentSession::closeRequested);
    session.receive(text({{"method", "workspaces.list"}}));
    QCOMPARE(sent.size(), 1);
    QCOMPARE(reply(sent, 0).value("id"), QJsonValue(QJsonValue::Null));
    QCOMPARE(reply(sent, 0).value("error").toObject().value("code").toString(),
             QStringLiteral("unauthenticated"));
    QCOMPARE(closed.size(), 1);
    QCOMPARE(closed.at(0).at(0).toInt(), 1008);
    // Nothing more is said once the end is requested.
    session.receive(authText());
    QCOMPARE(sent.size(), 1);
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
    QVERIFY(session.isAuthenticated());
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

void AgentSessionTest::afterAuthenticationEveryRequestIsAnswered_data()
{
    QTest::addColumn<QString>("request");
    QTest::addColumn<QString>("errorCode");
    QTest::newRow("list") << R"({"id":1,"method":"workspaces.list"})"
                          << "";
    QTest::newRow("auth again") << R"({"id":1,"method":"auth","params":{}})"
                                << "already_authenticated";
    QTest::newRow("unknown") << R"({"id":1,"method":"fs.delete"})"
                             << "method_not_found";
    QTest::newRow("no method") << R"({"id":1})"
                               << "invalid_request";
    QTest::newRow("path not text") << R"({"id":1,"method":"fs.list","params":{"path":3}})"
                                   << "invalid_params";
    QTest::newRow("array") << R"([{"id":1}])"
                           << "parse_error";
}

void AgentSessionTest::afterAuthenticationEveryRequestIsAnswered()
{
    QFETCH(QString, request);
    QFETCH(QString, errorCode);
    AgentSession session(QStringLiteral("peer"), services(10'000));
    session.receive(authText());
    QVERIFY(session.isAuthenticated());
    QSignalSpy sent(&session, &AgentSession::send);
    QSignalSpy closed(&session, &AgentSession::closeRequested);
    session.receive(request);
    QCOMPARE(sent.size(), 1);
    QCOMPARE(reply(sent, 0).value("error").toObject().value("code").toString(), errorCode);
    QCOMPARE(reply(sent, 0).contains("result"), errorCode.isEmpty());
    QCOMPARE(closed.size(), 0);
}

QTEST_GUILESS_MAIN(AgentSessionTest)
#include "tst_agent_session.moc"
