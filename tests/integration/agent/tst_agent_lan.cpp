#include "RunningAgent.h"
#include "TestWebSocketClient.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>

#include <csignal>
#include <memory>
#include <vector>

// The agent as a process on the LAN route: its command line and exit statuses, /healthz and /ws, the socket's
// limits, and its end.
class AgentLanTest : public QObject {
    Q_OBJECT

private slots:
    void badInputExitsWithStatusTwo();
    void versionHelpAndPortInUse();
    void pythonTabletPairsAndListsOnTheLan();
    void oversizedMessageClosesWith1009();
    void unauthenticatedFloodsAreBounded();
    void signalEndsWithinASecondWithStatusZero();
    void endsWhenItsParentDies();

private:
    static QString python(const QStringList &arguments);
    static int httpGet(const QString &url, QJsonObject *body = nullptr);
    QJsonObject authenticate(TestWebSocketClient &client, RunningAgent &agent, const QString &token = {});
};

QString AgentLanTest::python(const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("/usr/bin/python3"),
                  QStringList{QStringLiteral(FERROWYN_AGENT_TEST_DIR "/tablet_client.py")} + arguments);
    process.waitForFinished(15000);
    return QString::fromUtf8(process.readAll()) + QStringLiteral("exit=%1").arg(process.exitCode());
}

int AgentLanTest::httpGet(const QString &url, QJsonObject *body)
{
    QNetworkAccessManager manager;
    std::unique_ptr<QNetworkReply> reply(manager.get(QNetworkRequest(QUrl(url))));
    QSignalSpy finished(reply.get(), &QNetworkReply::finished);
    if (!finished.wait(5000))
        return 0;
    if (body)
        *body = QJsonDocument::fromJson(reply->readAll()).object();
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

QJsonObject AgentLanTest::authenticate(TestWebSocketClient &client, RunningAgent &agent, const QString &token)
{
    if (!client.open(agent.wsUrl()))
        return {};
    return client.request(TestWebSocketClient::authRequest(token.isEmpty() ? agent.hostToken : token,
                                                           agent.hostId, agent.pairingNonce,
                                                           QStringLiteral("device-a")));
}

void AgentLanTest::badInputExitsWithStatusTwo()
{
    // One row per place the agent refuses to start (each rule's variants are tested on the pure functions):
    // the arguments, a variable left out, and the message.
    const QList<std::tuple<QStringList, QString, QString>> table{
        {{"--bogus"}, "", "unknown option --bogus"},
        {{}, "VELMORA_HOST_TOKEN", "VELMORA_HOST_TOKEN is not set"},
        {{"--relay-url", "ftp://x/", "--relay-session", "s"}, "", "--relay-url is not a usable"}};
    for (const auto &[arguments, unsetVariable, expectedMessage] : table) {
        RunningAgent agent;
        agent.environment.insert(QStringLiteral("VELMORA_RELAY_TOKEN"), agent.relayToken);
        agent.environment.remove(unsetVariable);
        QCOMPARE(agent.runToExit(arguments), 2);
        QVERIFY2(agent.standardError().contains(expectedMessage), qPrintable(agent.standardError()));
        QCOMPARE(agent.standardError().count(QLatin1Char('\n')), 1);
        QVERIFY(agent.standardOutput().isEmpty());
        QCOMPARE(agent.leakedSecrets(), QStringList());
    }
}

void AgentLanTest::versionHelpAndPortInUse()
{
    RunningAgent agent;
    agent.environment.remove(QStringLiteral("VELMORA_HOST_TOKEN"));
    QCOMPARE(agent.runToExit({"--version"}), 0);
    QCOMPARE(agent.standardOutput(), QStringLiteral("14\n"));
    QCOMPARE(agent.runToExit({"--help"}), 0);
    QVERIFY(agent.standardOutput().contains(QLatin1String("--relay-codec-state")));

    QTcpServer occupant;
    QVERIFY(occupant.listen(QHostAddress::LocalHost, 0));
    RunningAgent second;
    QCOMPARE(second.runToExit({"--addr", QStringLiteral("127.0.0.1:%1").arg(occupant.serverPort())}), 1);
    QVERIFY(second.standardError().contains(
        QStringLiteral("cannot listen on 127.0.0.1:%1").arg(occupant.serverPort())));
}

void AgentLanTest::pythonTabletPairsAndListsOnTheLan()
{
    RunningAgent agent;
    const QString workspace = agent.home() + QStringLiteral("/work");
    QVERIFY(QDir().mkpath(workspace + QStringLiteral("/src")));
    agent.environment.insert(QStringLiteral("FERROWYN_AGENT_TEST_AUTH_TIMEOUT_MS"), QStringLiteral("400"));
    QVERIFY(agent.start({"--workspace", workspace, "--addr", "127.0.0.1:0"}));
    TestWebSocketClient silent;
    QVERIFY(silent.open(agent.wsUrl()));
    QElapsedTimer elapsed;
    elapsed.start();

    const QString output =
        python({agent.wsUrl(), agent.hostToken, agent.hostId, agent.pairingNonce, workspace});
    QVERIFY2(output.contains(QStringLiteral("paired=True\ntrusted=True\nentries=src\nexit=0")),
             qPrintable(output));
    QVERIFY(agent.waitForOutput(QStringLiteral("paired new device: \"Python tablet\"")));

    // A wrong credential is answered, logged and ends the conversation as a policy violation.
    TestWebSocketClient stranger;
    QCOMPARE(authenticate(stranger, agent, QStringLiteral("wrong")).value("error")["code"].toString(),
             QStringLiteral("auth_failed"));
    QVERIFY(stranger.waitForClose());
    QCOMPARE(stranger.closeCode(), 1008);
    QVERIFY(agent.waitForOutput(QStringLiteral("auth rejected: 127.0.0.1: wrong host token")));
    // So does silence, but not at once.
    QVERIFY(silent.waitForClose());
    QVERIFY(elapsed.elapsed() >= 300);
    QCOMPARE(silent.closeCode(), 1008);

    for (const QString &path :
         {QStringLiteral("/healthz"), QStringLiteral("/"), QStringLiteral("/ws/extra")}) {
        TestWebSocketClient elsewhere;
        elsewhere.open(QStringLiteral("ws://127.0.0.1:%1%2").arg(agent.port()).arg(path));
        QVERIFY(elsewhere.waitForClose());
        QCOMPARE(elsewhere.closeCode(), 1008);
    }
    const QString http = QStringLiteral("http://127.0.0.1:%1").arg(agent.port());
    QCOMPARE(httpGet(http + QStringLiteral("/ws")), 426);
    QJsonObject health;
    QCOMPARE(httpGet(http + QStringLiteral("/healthz"), &health), 200);
    QCOMPARE(health.value("agentBuild").toString(), QStringLiteral("14"));
    QCOMPARE(health.value("tunnel")["state"].toString(), QStringLiteral("disabled"));
    QCOMPARE(health.value("tunnel").toObject().keys(),
             (QStringList{"lastError", "provider", "publicUrl", "state"}));
    QCOMPARE(agent.terminate(), 0);
    QCOMPARE(agent.leakedSecrets(), QStringList());
}

void AgentLanTest::oversizedMessageClosesWith1009()
{
    RunningAgent agent;
    QVERIFY(agent.start({"--addr", "127.0.0.1:0"}));
    TestWebSocketClient client;
    QVERIFY(authenticate(client, agent).contains("result"));
    // Exactly 1 MiB is allowed, however many frames carry it; one byte more is not.
    const QString limit = QStringLiteral("{\"id\":1,\"method\":\"x\",\"pad\":\"%1\"}");
    const QString padding(1024 * 1024 - limit.size() + 2, QLatin1Char('a'));
    client.sendText(limit.arg(padding));
    QCOMPARE(client.nextMessage().value("error")["code"].toString(), QStringLiteral("method_not_found"));
    client.sendText(limit.arg(padding + QLatin1Char('a')));
    QVERIFY(client.waitForClose());
    QCOMPARE(client.closeCode(), 1009);

    // A client still sending when the agent closes must get the close frame too, not a reset.
    const QString output = python({"--oversized", agent.wsUrl()});
    QVERIFY2(QRegularExpression(QStringLiteral("^closed=1009 reason=\\S")).match(output).hasMatch(),
             qPrintable(output));
    QCOMPARE(agent.terminate(), 0);
}

void AgentLanTest::unauthenticatedFloodsAreBounded()
{
    RunningAgent agent;
    agent.environment.insert(QStringLiteral("FERROWYN_AGENT_TEST_AUTH_THROTTLE_MS"), QStringLiteral("600"));
    QVERIFY(agent.start({"--addr", "127.0.0.1:0"}));
    std::vector<std::unique_ptr<TestWebSocketClient>> waiting;
    for (int i = 0; i < 64; ++i) {
        waiting.push_back(std::make_unique<TestWebSocketClient>());
        QVERIFY(waiting.back()->open(agent.wsUrl()));
    }
    TestWebSocketClient refused;
    refused.open(agent.wsUrl());
    QVERIFY(refused.waitForClose());
    QCOMPARE(refused.closeCode(), 1008);
    QCOMPARE(refused.socket().closeReason(), QStringLiteral("too many unauthenticated connections"));
    // Once one of them authenticates there is room again, and a failed attempt gives its room back.
    QVERIFY(waiting.front()
                ->request(TestWebSocketClient::authRequest(agent.hostToken, agent.hostId, agent.pairingNonce,
                                                           QStringLiteral("device-a")))
                .contains("result"));

    // Repeated failures from one address are slowed down, and so are the right credentials after them.
    const auto attempt = [&](const QString &token) {
        TestWebSocketClient client;
        QElapsedTimer elapsed;
        elapsed.start();
        const QString code = authenticate(client, agent, token).value("error")["code"].toString();
        return std::make_pair(code, elapsed.elapsed());
    };
    for (int i = 0; i < 3; ++i) {
        const auto failed = attempt(QStringLiteral("wrong"));
        QCOMPARE(failed.first, QStringLiteral("auth_failed"));
        QVERIFY(failed.second < 500);
    }
    const auto throttled = attempt(QStringLiteral("wrong"));
    QCOMPARE(throttled.first, QStringLiteral("auth_failed"));
    QVERIFY2(throttled.second >= 550 && throttled.second < 3000,
             qPrintable(QString::number(throttled.second)));
    const auto right = attempt(QString());
    QCOMPARE(right.first, QString());
    QVERIFY(right.second >= 1100);
    waiting.clear();
    QCOMPARE(agent.terminate(), 0);
}

void AgentLanTest::signalEndsWithinASecondWithStatusZero()
{
    for (const auto &[signalNumber, logged] :
         {std::pair(SIGTERM, "received SIGTERM"), {SIGINT, "received SIGINT"}}) {
        RunningAgent agent;
        QVERIFY(agent.start({"--addr", "127.0.0.1:0"}));
        // A connected tablet does not hold the agent up, and is told why the connection ends.
        TestWebSocketClient client;
        QVERIFY(client.open(agent.wsUrl()));
        ::kill(static_cast<pid_t>(agent.process().processId()), signalNumber);
        QCOMPARE(agent.terminate(), 0);
        QVERIFY(agent.allOutput().contains(QLatin1String(logged)));
        QVERIFY(client.waitForClose());
        QCOMPARE(client.closeCode(), 1001);
        QTcpServer successor;
        QVERIFY(successor.listen(QHostAddress::LocalHost, agent.port()));
    }
}

void AgentLanTest::endsWhenItsParentDies()
{
    // A stand-in host that starts the agent, reports its pid, and is then killed without a chance to clean
    // up.
    RunningAgent agent;
    QProcess parent;
    parent.setProcessEnvironment(agent.environment);
    parent.start(QStringLiteral("/bin/sh"),
                 {"-c", QStringLiteral("\"$0\" --addr 127.0.0.1:0 >\"$1/out\" 2>&1 & echo $!; wait"),
                  RunningAgent::agentPath(), agent.home()});
    QVERIFY(parent.waitForReadyRead(5000));
    const QString agentStatus = QStringLiteral("/proc/%1/status").arg(parent.readLine().trimmed().toInt());
    const auto fileHas = [](const QString &path, const QByteArray &text) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) && file.readAll().contains(text);
    };
    QTRY_VERIFY_WITH_TIMEOUT(fileHas(agent.home() + QStringLiteral("/out"), "listening on"), 5000);
    ::kill(static_cast<pid_t>(parent.processId()), SIGKILL);
    QVERIFY(parent.waitForFinished(2000));
    QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(agentStatus) || fileHas(agentStatus, "State:\tZ"), 3000);
}

QTEST_GUILESS_MAIN(AgentLanTest)
#include "tst_agent_lan.moc"
