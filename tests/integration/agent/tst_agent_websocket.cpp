#include "RunningAgent.h"
#include "TestWebSocketClient.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

#include <memory>
#include <vector>

// The tablet's side of the agent on /ws: pairing, trust, refusals, the file service and the socket's limits.
class AgentWebSocketTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void pairsThenReconnectsTrustedWithoutNonce();
    void rejectsEachWrongCredential_data();
    void rejectsEachWrongCredential();
    void deletingTheTrustedDevicesFileRevokes();
    void listsOnlyInsidePinnedFolders_data();
    void listsOnlyInsidePinnedFolders();
    void malformedJsonGetsAnErrorAndTheConnectionStays();
    void oversizedMessageClosesWith1009();
    void upgradeOnAnotherPathClosesWith1008AndPlainGetOfWsGets426();
    void unauthenticatedConnectionIsClosedAfterTheTimeout();
    void atMost64UnauthenticatedConnections();
    void repeatedFailuresFromOneAddressAreSlowedDown();
    void pythonTabletPairsAndLists();

private:
    QJsonObject authenticate(TestWebSocketClient &client, const QString &deviceId, bool withNonce);

    std::unique_ptr<RunningAgent> m_agent;
    QString m_workspace;
    QString m_outside;
};

void AgentWebSocketTest::init()
{
    m_agent = std::make_unique<RunningAgent>();
    m_workspace = m_agent->home() + QStringLiteral("/work");
    m_outside = m_agent->home() + QStringLiteral("/outside");
    QVERIFY(QDir().mkpath(m_workspace + QStringLiteral("/src")));
    QVERIFY(QDir().mkpath(m_outside));
    QFile file(m_workspace + QStringLiteral("/README.md"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("hello");
    file.close();
    QVERIFY(QFile::link(m_outside, m_workspace + QStringLiteral("/escape")));
    QVERIFY(QFile::link(m_workspace + QStringLiteral("/src"), m_workspace + QStringLiteral("/src-link")));
    m_agent->environment.insert(QStringLiteral("FERROWYN_AGENT_TEST_AUTH_TIMEOUT_MS"), QStringLiteral("400"));
    m_agent->environment.insert(QStringLiteral("FERROWYN_AGENT_TEST_AUTH_THROTTLE_MS"),
                                QStringLiteral("600"));
    QVERIFY(m_agent->start({"--workspace", m_workspace, "--addr", "127.0.0.1:0"}));
}

void AgentWebSocketTest::cleanup()
{
    QCOMPARE(m_agent->terminate(), 0);
    QCOMPARE(m_agent->leakedSecrets(), QStringList());
    m_agent.reset();
}

QJsonObject AgentWebSocketTest::authenticate(TestWebSocketClient &client, const QString &deviceId,
                                             bool withNonce)
{
    if (!client.open(m_agent->wsUrl()))
        return {};
    return client.request(TestWebSocketClient::authRequest(
        m_agent->hostToken, m_agent->hostId, withNonce ? m_agent->pairingNonce : QString(), deviceId));
}

void AgentWebSocketTest::pairsThenReconnectsTrustedWithoutNonce()
{
    TestWebSocketClient first;
    const QJsonObject paired = authenticate(first, QStringLiteral("device-a"), true);
    QCOMPARE(paired.value("id").toInt(), 1);
    QCOMPARE(paired.value("method").toString(), QStringLiteral("auth"));
    QCOMPARE(paired.value("result").toObject().value("paired").toBool(), true);
    QFile devices(m_agent->trustedDevicesPath());
    const QFile::Permissions others = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup |
                                      QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;
    QVERIFY(devices.permissions().testFlags(QFile::ReadOwner | QFile::WriteOwner));
    QVERIFY(!(devices.permissions() & others));
    QVERIFY(m_agent->waitForOutput(QStringLiteral("paired new device")));

    TestWebSocketClient again;
    const QJsonObject trusted = authenticate(again, QStringLiteral("device-a"), false);
    QCOMPARE(trusted.value("result").toObject().value("paired").toBool(), false);
    const QJsonObject listing = again.request({{"id", 2}, {"method", "workspaces.list"}});
    const QJsonArray workspaces = listing.value("result").toObject().value("workspaces").toArray();
    QCOMPARE(workspaces.size(), 1);
    QCOMPARE(workspaces.at(0).toObject().value("path").toString(), m_workspace);

    // Trust belongs to the device that paired, not to everyone holding the token.
    TestWebSocketClient stranger;
    const QJsonObject refused = authenticate(stranger, QStringLiteral("device-b"), false);
    QCOMPARE(refused.value("error").toObject().value("code").toString(), QStringLiteral("auth_failed"));
    QVERIFY(stranger.waitForClose());
    QCOMPARE(stranger.closeCode(), 1008);
}

void AgentWebSocketTest::rejectsEachWrongCredential_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("logged");
    QTest::newRow("token") << "token"
                           << "wrong host token";
    QTest::newRow("host id") << "hostId"
                             << "wrong host id";
    QTest::newRow("nonce") << "pairingNonce"
                           << "without the current pairing nonce";
    QTest::newRow("nonce missing") << "-pairingNonce"
                                   << "without the current pairing nonce";
    QTest::newRow("device id missing") << "-deviceId"
                                       << "device id";
    QTest::newRow("request before auth") << "method"
                                         << "before authenticating";
}

void AgentWebSocketTest::rejectsEachWrongCredential()
{
    QFETCH(QString, field);
    QFETCH(QString, logged);
    QJsonObject request = TestWebSocketClient::authRequest(m_agent->hostToken, m_agent->hostId,
                                                           m_agent->pairingNonce, QStringLiteral("device-x"));
    QJsonObject params = request.value("params").toObject();
    if (field == QLatin1String("method"))
        request.insert("method", QStringLiteral("workspaces.list"));
    else if (field.startsWith(QLatin1Char('-')))
        params.remove(field.mid(1));
    else
        params.insert(field, params.value(field).toString() + QStringLiteral("x"));
    request.insert("params", params);

    TestWebSocketClient client;
    QVERIFY(client.open(m_agent->wsUrl()));
    const QJsonObject answer = client.request(request);
    QVERIFY(answer.contains("error"));
    QVERIFY(!answer.contains("result"));
    QVERIFY(client.waitForClose());
    QCOMPARE(client.closeCode(), 1008);
    QVERIFY2(m_agent->waitForOutput(logged), qPrintable(m_agent->allOutput()));
    QVERIFY(!QFile::exists(m_agent->trustedDevicesPath()));
}

void AgentWebSocketTest::deletingTheTrustedDevicesFileRevokes()
{
    TestWebSocketClient first;
    QVERIFY(authenticate(first, QStringLiteral("device-a"), true).contains("result"));
    QVERIFY(QFile::remove(m_agent->trustedDevicesPath()));

    TestWebSocketClient revoked;
    QVERIFY(authenticate(revoked, QStringLiteral("device-a"), false).contains("error"));
    QVERIFY(revoked.waitForClose());
    // Pairing anew with the nonce still works and writes the file again.
    TestWebSocketClient repaired;
    QCOMPARE(authenticate(repaired, QStringLiteral("device-a"), true)
                 .value("result")
                 .toObject()
                 .value("paired")
                 .toBool(),
             true);
    QVERIFY(QFile::exists(m_agent->trustedDevicesPath()));
}

void AgentWebSocketTest::listsOnlyInsidePinnedFolders_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("errorCode");
    QTest::addColumn<QStringList>("names");
    QTest::newRow("pinned folder") << "W" << QString()
                                   << QStringList{"README.md", "escape", "src", "src-link"};
    QTest::newRow("subfolder") << "W/src" << QString() << QStringList{};
    QTest::newRow("link inside to inside") << "W/src-link" << QString() << QStringList{};
    QTest::newRow("dot dot") << "W/.."
                             << "path_outside_workspace" << QStringList{};
    QTest::newRow("dot dot to sibling") << "W/src/../../outside"
                                        << "path_outside_workspace" << QStringList{};
    QTest::newRow("elsewhere") << "/etc"
                               << "path_outside_workspace" << QStringList{};
    QTest::newRow("link pointing outside") << "W/escape"
                                           << "path_outside_workspace" << QStringList{};
    QTest::newRow("relative") << "src"
                              << "invalid_params" << QStringList{};
    QTest::newRow("a file") << "W/README.md"
                            << "not_a_directory" << QStringList{};
    QTest::newRow("missing inside") << "W/nope"
                                    << "not_found" << QStringList{};
}

void AgentWebSocketTest::listsOnlyInsidePinnedFolders()
{
    QFETCH(QString, path);
    QFETCH(QString, errorCode);
    QFETCH(QStringList, names);
    if (path.startsWith(QLatin1Char('W')))
        path = m_workspace + path.mid(1);
    TestWebSocketClient client;
    QVERIFY(authenticate(client, QStringLiteral("device-a"), true).contains("result"));
    const QJsonObject answer =
        client.request({{"id", 7}, {"method", "fs.list"}, {"params", QJsonObject{{"path", path}}}});
    QCOMPARE(answer.value("id").toInt(), 7);
    if (!errorCode.isEmpty()) {
        QCOMPARE(answer.value("error").toObject().value("code").toString(), errorCode);
        QVERIFY(!answer.contains("result"));
    } else {
        QStringList listed;
        for (const QJsonValue &entry : answer.value("result").toObject().value("entries").toArray())
            listed.append(entry.toObject().value("name").toString());
        QCOMPARE(listed, names);
    }
    QVERIFY(client.isOpen());
}

void AgentWebSocketTest::malformedJsonGetsAnErrorAndTheConnectionStays()
{
    TestWebSocketClient client;
    QVERIFY(client.open(m_agent->wsUrl()));
    client.sendText(QStringLiteral("{\"id\": 1, \"method\": "));
    QCOMPARE(client.nextMessage().value("error").toObject().value("code").toString(),
             QStringLiteral("parse_error"));
    QVERIFY(client.isOpen());
    QVERIFY(client
                .request(TestWebSocketClient::authRequest(m_agent->hostToken, m_agent->hostId,
                                                          m_agent->pairingNonce, QStringLiteral("device-a")))
                .contains("result"));
    client.sendText(QStringLiteral("[1, 2"));
    QCOMPARE(client.nextMessage().value("error").toObject().value("code").toString(),
             QStringLiteral("parse_error"));
    QCOMPARE(
        client.request({{"id", 3}, {"method", "no.such"}}).value("error").toObject().value("code").toString(),
        QStringLiteral("method_not_found"));
    QVERIFY(client.isOpen());
}

void AgentWebSocketTest::oversizedMessageClosesWith1009()
{
    TestWebSocketClient client;
    QVERIFY(authenticate(client, QStringLiteral("device-a"), true).contains("result"));
    // Exactly 1 MiB is allowed; one byte more is not.
    const QString limit = QStringLiteral("{\"id\":1,\"method\":\"x\",\"pad\":\"%1\"}");
    const QString padding(1024 * 1024 - limit.size() + 2, QLatin1Char('a'));
    client.sendText(limit.arg(padding));
    QCOMPARE(client.nextMessage().value("error").toObject().value("code").toString(),
             QStringLiteral("method_not_found"));
    client.sendText(limit.arg(padding + QLatin1Char('a')));
    QVERIFY(client.waitForClose());
    QCOMPARE(client.closeCode(), 1009);

    // A client still sending when the agent closes must get the close frame too, not a reset.
    QProcess python;
    python.start(
        QStringLiteral("/usr/bin/python3"),
        {QStringLiteral(FERROWYN_AGENT_TEST_DIR "/tablet_client.py"), "--oversized", m_agent->wsUrl()});
    QVERIFY(python.waitForFinished(15000));
    const QString output = QString::fromUtf8(python.readAllStandardOutput() + python.readAllStandardError());
    QVERIFY2(QRegularExpression(QStringLiteral("^closed=1009 reason=\\S")).match(output).hasMatch(),
             qPrintable(output));
}

void AgentWebSocketTest::upgradeOnAnotherPathClosesWith1008AndPlainGetOfWsGets426()
{
    for (const QString &path :
         {QStringLiteral("/healthz"), QStringLiteral("/"), QStringLiteral("/ws/extra")}) {
        TestWebSocketClient client;
        client.open(QStringLiteral("ws://127.0.0.1:%1%2").arg(m_agent->port()).arg(path));
        QVERIFY(client.waitForClose());
        QCOMPARE(client.closeCode(), 1008);
    }
    QNetworkAccessManager manager;
    QNetworkReply *reply =
        manager.get(QNetworkRequest(QUrl(QStringLiteral("http://127.0.0.1:%1/ws").arg(m_agent->port()))));
    QSignalSpy finished(reply, &QNetworkReply::finished);
    QVERIFY(finished.wait(5000));
    QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 426);
    delete reply;
}

void AgentWebSocketTest::unauthenticatedConnectionIsClosedAfterTheTimeout()
{
    TestWebSocketClient silent;
    QVERIFY(silent.open(m_agent->wsUrl()));
    QElapsedTimer elapsed;
    elapsed.start();
    QVERIFY(silent.waitForClose(3000));
    QVERIFY(elapsed.elapsed() >= 300);
    QCOMPARE(silent.closeCode(), 1008);
    // An authenticated connection is not subject to it.
    TestWebSocketClient client;
    QVERIFY(authenticate(client, QStringLiteral("device-a"), true).contains("result"));
    QVERIFY(!client.waitForClose(600));
}

void AgentWebSocketTest::atMost64UnauthenticatedConnections()
{
    std::vector<std::unique_ptr<TestWebSocketClient>> waiting;
    // Keep them past the short timeout of this test's agent: the limit is about simultaneous connections.
    m_agent->terminate();
    m_agent->environment.insert(QStringLiteral("FERROWYN_AGENT_TEST_AUTH_TIMEOUT_MS"),
                                QStringLiteral("20000"));
    QVERIFY(m_agent->start({"--addr", "127.0.0.1:0"}));
    for (int i = 0; i < 64; ++i) {
        waiting.push_back(std::make_unique<TestWebSocketClient>());
        QVERIFY(waiting.back()->open(m_agent->wsUrl()));
    }
    TestWebSocketClient refused;
    refused.open(m_agent->wsUrl());
    QVERIFY(refused.waitForClose());
    QCOMPARE(refused.closeCode(), 1008);
    QCOMPARE(refused.socket().closeReason(), QStringLiteral("too many unauthenticated connections"));
    // Once one of them authenticates, there is room again.
    QVERIFY(waiting.front()
                ->request(TestWebSocketClient::authRequest(m_agent->hostToken, m_agent->hostId,
                                                           m_agent->pairingNonce, QStringLiteral("device-a")))
                .contains("result"));
    TestWebSocketClient admitted;
    QVERIFY(admitted.open(m_agent->wsUrl()));
    QVERIFY(!admitted.waitForClose(300));
}

void AgentWebSocketTest::repeatedFailuresFromOneAddressAreSlowedDown()
{
    // The throttle's delay must not run into this fixture's short authentication timeout.
    m_agent->terminate();
    m_agent->environment.insert(QStringLiteral("FERROWYN_AGENT_TEST_AUTH_TIMEOUT_MS"),
                                QStringLiteral("20000"));
    QVERIFY(m_agent->start({"--addr", "127.0.0.1:0"}));
    const auto failOnce = [this](QJsonObject *answer) {
        TestWebSocketClient client;
        client.open(m_agent->wsUrl());
        QElapsedTimer elapsed;
        elapsed.start();
        *answer = client.request(TestWebSocketClient::authRequest(QStringLiteral("wrong"), m_agent->hostId,
                                                                  QString(), QStringLiteral("d")));
        return elapsed.elapsed();
    };
    QJsonObject answer;
    for (int i = 0; i < 3; ++i) {
        QVERIFY(failOnce(&answer) < 500);
        QCOMPARE(answer.value("error").toObject().value("code").toString(), QStringLiteral("auth_failed"));
    }
    const qint64 throttled = failOnce(&answer);
    QCOMPARE(answer.value("error").toObject().value("code").toString(), QStringLiteral("auth_failed"));
    QVERIFY2(throttled >= 550 && throttled < 3000, qPrintable(QString::number(throttled)));
    // The right credentials are slowed down just the same: the address, not the answer, is throttled.
    TestWebSocketClient client;
    QVERIFY(client.open(m_agent->wsUrl()));
    QElapsedTimer elapsed;
    elapsed.start();
    QVERIFY(client
                .request(TestWebSocketClient::authRequest(m_agent->hostToken, m_agent->hostId,
                                                          m_agent->pairingNonce, QStringLiteral("device-a")))
                .contains("result"));
    QVERIFY(elapsed.elapsed() >= 1100);
}

void AgentWebSocketTest::pythonTabletPairsAndLists()
{
    QProcess python;
    python.start(QStringLiteral("/usr/bin/python3"),
                 {QStringLiteral(FERROWYN_AGENT_TEST_DIR "/tablet_client.py"), m_agent->wsUrl(),
                  m_agent->hostToken, m_agent->hostId, m_agent->pairingNonce, m_workspace});
    QVERIFY(python.waitForFinished(15000));
    const QString output = QString::fromUtf8(python.readAllStandardOutput());
    QVERIFY2(python.exitCode() == 0, qPrintable(output + QString::fromUtf8(python.readAllStandardError())));
    QVERIFY(output.contains(QStringLiteral("paired=True")));
    QVERIFY(output.contains(QStringLiteral("trusted=True")));
    QVERIFY(output.contains(QStringLiteral("README.md")));
}

QTEST_GUILESS_MAIN(AgentWebSocketTest)
#include "tst_agent_websocket.moc"
