#include "RunningAgent.h"
#include "Shared/RelayCodecStateName.h"
#include "TestWebSocketClient.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>

#include <csignal>
#include <sys/types.h>

// The agent as a process: its command line, its exit statuses, its health answer and its end.
class AgentProcessTest : public QObject {
    Q_OBJECT

private slots:
    void badInputExitsWithStatusTwo_data();
    void badInputExitsWithStatusTwo();
    void versionAndHelp();
    void portInUseExitsWithStatusOne();
    void healthAnswerWithoutTunnel();
    void everyArgumentCombinationTheHostBuildsIsAccepted();
    void signalEndsWithinASecondWithStatusZero_data();
    void signalEndsWithinASecondWithStatusZero();
    void endsWhenItsParentDies();

private:
    static QJsonObject getJson(const QString &url, int *status);
};

void AgentProcessTest::badInputExitsWithStatusTwo_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("unsetVariable");
    QTest::addColumn<QString>("expectedMessage");
    QTest::newRow("unknown option") << QStringList{"--bogus"} << QString() << "unknown option --bogus";
    QTest::newRow("positional") << QStringList{"stray"} << QString() << "unexpected argument";
    QTest::newRow("missing value") << QStringList{"--addr"} << QString() << "option --addr needs a value";
    QTest::newRow("missing workspace value") << QStringList{"--addr", "127.0.0.1:0", "--workspace"}
                                             << QString() << "option --workspace needs a value";
    QTest::newRow("addr without port")
        << QStringList{"--addr", "127.0.0.1"} << QString() << "malformed --addr";
    QTest::newRow("addr port too big")
        << QStringList{"--addr", "127.0.0.1:65536"} << QString() << "malformed --addr";
    QTest::newRow("addr not an address")
        << QStringList{"--addr", "nohost:80"} << QString() << "malformed --addr";
    QTest::newRow("addr signed port")
        << QStringList{"--addr", "127.0.0.1:-1"} << QString() << "malformed --addr";
    QTest::newRow("unknown tunnel") << QStringList{"--tunnel-mode", "frp"} << QString() << "--tunnel-mode";
    QTest::newRow("relay without session") << QStringList{"--relay-url", "wss://relay.example/"} << QString()
                                           << "VELMORA_RELAY_SESSION is not set";
    QTest::newRow("relay url unusable")
        << QStringList{"--relay-url", "ftp://x/", "--relay-session", "s"} << QString() << "--relay-url";
    QTest::newRow("no host token") << QStringList{} << "VELMORA_HOST_TOKEN"
                                   << "VELMORA_HOST_TOKEN is not set";
    QTest::newRow("no host id") << QStringList{} << "VELMORA_HOST_ID"
                                << "VELMORA_HOST_ID is not set";
    QTest::newRow("relay without relay token")
        << QStringList{"--relay-url", "ws://127.0.0.1:9/", "--relay-session", "s"} << "VELMORA_RELAY_TOKEN"
        << "VELMORA_RELAY_TOKEN is not set";
}

void AgentProcessTest::badInputExitsWithStatusTwo()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, unsetVariable);
    QFETCH(QString, expectedMessage);
    RunningAgent agent;
    if (!unsetVariable.isEmpty())
        agent.environment.remove(unsetVariable);
    QCOMPARE(agent.runToExit(arguments), 2);
    QVERIFY2(agent.standardError().contains(expectedMessage), qPrintable(agent.standardError()));
    QCOMPARE(agent.standardError().count(QLatin1Char('\n')), 1);
    QVERIFY(agent.standardOutput().isEmpty());
    QCOMPARE(agent.leakedSecrets(), QStringList());
}

void AgentProcessTest::versionAndHelp()
{
    RunningAgent version;
    version.environment.remove(QStringLiteral("VELMORA_HOST_TOKEN"));
    QCOMPARE(version.runToExit({"--version"}), 0);
    QCOMPARE(version.standardOutput(), QStringLiteral("14\n"));

    RunningAgent help;
    QCOMPARE(help.runToExit({"--help"}), 0);
    for (const char *option : {"--workspace", "--addr", "--tunnel-mode", "--relay-url", "--relay-session",
                               "--relay-codec-state", "VELMORA_HOST_TOKEN"})
        QVERIFY2(help.standardOutput().contains(QLatin1String(option)), option);
}

void AgentProcessTest::portInUseExitsWithStatusOne()
{
    QTcpServer occupant;
    QVERIFY(occupant.listen(QHostAddress::LocalHost, 0));
    RunningAgent agent;
    QCOMPARE(agent.runToExit({"--addr", QStringLiteral("127.0.0.1:%1").arg(occupant.serverPort())}), 1);
    QVERIFY2(agent.standardError().contains(
                 QStringLiteral("cannot listen on 127.0.0.1:%1").arg(occupant.serverPort())),
             qPrintable(agent.standardError()));
}

QJsonObject AgentProcessTest::getJson(const QString &url, int *status)
{
    QNetworkAccessManager manager;
    QNetworkReply *reply = manager.get(QNetworkRequest(QUrl(url)));
    QSignalSpy finished(reply, &QNetworkReply::finished);
    if (!finished.wait(5000))
        return {};
    *status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QJsonObject object = QJsonDocument::fromJson(reply->readAll()).object();
    reply->deleteLater();
    return object;
}

void AgentProcessTest::healthAnswerWithoutTunnel()
{
    RunningAgent agent;
    QVERIFY(agent.start({"--addr", "127.0.0.1:0"}));
    int status = 0;
    const QJsonObject health =
        getJson(QStringLiteral("http://127.0.0.1:%1/healthz").arg(agent.port()), &status);
    QCOMPARE(status, 200);
    QCOMPARE(health.value("agentBuild").toString(), QStringLiteral("14"));
    const QJsonObject tunnel = health.value("tunnel").toObject();
    QCOMPARE(tunnel.value("state").toString(), QStringLiteral("disabled"));
    QVERIFY(tunnel.contains("provider") && tunnel.contains("publicUrl") && tunnel.contains("lastError"));
    QCOMPARE(agent.terminate(), 0);
    QCOMPARE(agent.leakedSecrets(), QStringList());
}

void AgentProcessTest::everyArgumentCombinationTheHostBuildsIsAccepted()
{
    // The LAN form with folders and the relay form, as the host composes them (relay unreachable on purpose:
    // port 9 on loopback refuses, and the agent keeps serving while it retries).
    RunningAgent lan;
    QVERIFY(lan.start(
        {"--workspace", lan.home(), "--workspace", "/nonexistent/folder", "--addr", "127.0.0.1:0"}));
    QCOMPARE(lan.terminate(), 0);

    RunningAgent relay;
    relay.environment.insert(QStringLiteral("VELMORA_RELAY_TOKEN"), relay.relayToken);
    relay.environment.insert(QStringLiteral("VELMORA_RELAY_SESSION"), relay.relaySession);
    const QString statePath = relay.home() + QStringLiteral("/.ferrowyn/relay-codec-state/") +
                              relayCodecStateFileName("elixirV2", relay.hostId, relay.relaySession);
    QVERIFY(relay.start({"--workspace", relay.home(), "--addr", "127.0.0.1:0", "--relay-url",
                         "ws://127.0.0.1:9/relay/v2", "--relay-codec-state", statePath}));
    QVERIFY(relay.waitForOutput(QStringLiteral("relay: connection failed")));
    QCOMPARE(relay.terminate(), 0);
    QCOMPARE(relay.leakedSecrets(), QStringList());
}

void AgentProcessTest::signalEndsWithinASecondWithStatusZero_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<QString>("logged");
    QTest::newRow("SIGTERM") << int(SIGTERM) << "received SIGTERM";
    QTest::newRow("SIGINT") << int(SIGINT) << "received SIGINT";
}

void AgentProcessTest::signalEndsWithinASecondWithStatusZero()
{
    QFETCH(int, signalNumber);
    QFETCH(QString, logged);
    RunningAgent agent;
    QVERIFY(agent.start({"--addr", "127.0.0.1:0"}));
    // A connected tablet does not hold the agent up.
    TestWebSocketClient client;
    QVERIFY(client.open(agent.wsUrl()));
    QElapsedTimer elapsed;
    elapsed.start();
    ::kill(static_cast<pid_t>(agent.process().processId()), signalNumber);
    QVERIFY(agent.process().waitForFinished(1000));
    QVERIFY(elapsed.elapsed() < 1000);
    QCOMPARE(agent.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(agent.process().exitCode(), 0);
    QVERIFY(agent.waitForOutput(logged));
    QVERIFY(client.waitForClose());
    QCOMPARE(client.closeCode(), 1001);
    // The port is free again at once.
    QTcpServer successor;
    QVERIFY(successor.listen(QHostAddress::LocalHost, agent.port()));
}

void AgentProcessTest::endsWhenItsParentDies()
{
    // A stand-in host that starts the agent, reports its pid, and is then killed without any chance to clean
    // up.
    RunningAgent agent;
    QProcess parent;
    parent.setProcessEnvironment(agent.environment);
    parent.start(QStringLiteral("/bin/sh"),
                 {"-c", QStringLiteral("\"$0\" --addr 127.0.0.1:0 >\"$1/out\" 2>&1 & echo $!; wait"),
                  RunningAgent::agentPath(), agent.home()});
    QVERIFY(parent.waitForStarted());
    QVERIFY(parent.waitForReadyRead(5000));
    const pid_t agentPid = static_cast<pid_t>(parent.readLine().trimmed().toInt());
    QVERIFY(agentPid > 0);
    const auto listening = [&agent] {
        QFile out(agent.home() + QStringLiteral("/out"));
        return out.open(QIODevice::ReadOnly) && out.readAll().contains("listening on");
    };
    QTRY_VERIFY_WITH_TIMEOUT(listening(), 5000);
    ::kill(static_cast<pid_t>(parent.processId()), SIGKILL);
    QVERIFY(parent.waitForFinished(2000));
    const auto agentGone = [agentPid] {
        QFile status(QStringLiteral("/proc/%1/status").arg(agentPid));
        if (!status.open(QIODevice::ReadOnly))
            return true;
        return status.readAll().contains("State:\tZ");
    };
    QTRY_VERIFY_WITH_TIMEOUT(agentGone(), 3000);
}

QTEST_GUILESS_MAIN(AgentProcessTest)
#include "tst_agent_process.moc"
