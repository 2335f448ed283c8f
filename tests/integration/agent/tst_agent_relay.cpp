#include "RunningAgent.h"
#include "Shared/RelayCodecStateName.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

// The relay link against a local relay stub: the Authorization header, pairing through the relay, a dropped
// link that comes back, and the resume state kept across a restart of the agent.
class AgentRelayTest : public QObject {
    Q_OBJECT

private slots:
    void pairsThroughTheRelayAndResumes_data();
    void pairsThroughTheRelayAndResumes();
    void unreadableCodecStateIsKeptAsideAndReplaced();
    void oneTabletCannotTakeTheLinkDown_data() { pairsThroughTheRelayAndResumes_data(); }
    void oneTabletCannotTakeTheLinkDown();

private:
    static bool waitForLine(QProcess &process, const QByteArray &line, QByteArray *output);
};

bool AgentRelayTest::waitForLine(QProcess &process, const QByteArray &line, QByteArray *output)
{
    return QTest::qWaitFor(
               [&] {
                   *output += process.readAllStandardOutput();
                   return output->contains(line) || output->contains("FAIL") ||
                          process.state() == QProcess::NotRunning;
               },
               20000) &&
           output->contains(line);
}

void AgentRelayTest::pairsThroughTheRelayAndResumes_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("relayPath");
    QTest::newRow("elixirV2") << "elixirV2"
                              << "/relay/v2/";
    QTest::newRow("goV1") << "goV1"
                          << "/";
}

void AgentRelayTest::pairsThroughTheRelayAndResumes()
{
    QFETCH(QString, version);
    QFETCH(QString, relayPath);
    RunningAgent agent;
    const QString workspace = agent.home() + QStringLiteral("/work");
    QVERIFY(QDir().mkpath(workspace));
    QProcess relay;
    relay.start(QStringLiteral("/usr/bin/python3"),
                {QStringLiteral(FERROWYN_AGENT_TEST_DIR "/relay_stub.py"), version, agent.relayToken,
                 agent.relaySession, agent.hostToken, agent.hostId, agent.pairingNonce, workspace});
    QByteArray relayOutput;
    QVERIFY2(waitForLine(relay, "\n", &relayOutput), relayOutput.constData());
    const QByteArray port = relayOutput.mid(5).trimmed();

    agent.environment.insert(QStringLiteral("VELMORA_RELAY_TOKEN"), agent.relayToken);
    agent.environment.insert(QStringLiteral("FERROWYN_AGENT_TEST_RELAY_BACKOFF_MS"), QStringLiteral("50"));
    agent.environment.insert(QStringLiteral("FERROWYN_AGENT_TEST_RELAY_BACKOFF_MAX_MS"),
                             QStringLiteral("200"));
    agent.environment.insert(QStringLiteral("VELMORA_RELAY_SESSION"), agent.relaySession);
    const QString statePath = agent.home() + QStringLiteral("/.ferrowyn/relay-codec-state/") +
                              relayCodecStateFileName(version, agent.hostId, agent.relaySession);
    const QStringList arguments{
        "--workspace",
        workspace,
        "--addr",
        "127.0.0.1:0",
        "--relay-url",
        QStringLiteral("ws://127.0.0.1:%1%2").arg(QString::fromLatin1(port), relayPath),
        "--relay-codec-state",
        statePath};
    QVERIFY(agent.start(arguments));
    QVERIFY2(waitForLine(relay, "phase1 done", &relayOutput), relayOutput.constData());
    QVERIFY(agent.waitForOutput(QStringLiteral("relay: connection lost")));
    QVERIFY(agent.allOutput().contains(QStringLiteral("paired new device: \"Relay iPad\"")));
    QCOMPARE(agent.terminate(), 0);

    if (version == QLatin1String("elixirV2")) {
        QFile state(statePath);
        QVERIFY(state.open(QIODevice::ReadOnly));
        const QJsonObject saved = QJsonDocument::fromJson(state.readAll()).object();
        QCOMPARE(saved.value("lastAckedInbound").toInteger(), 4);
        QVERIFY(saved.value("nextOutbound").toInteger() > 4);
    } else {
        QVERIFY(!QFile::exists(statePath));
    }

    QVERIFY(agent.start(arguments));
    QVERIFY2(waitForLine(relay, "ok", &relayOutput), relayOutput.constData());
    QVERIFY(relay.waitForFinished(5000));
    QCOMPARE(relay.exitCode(), 0);
    QCOMPARE(agent.terminate(), 0);
    QCOMPARE(agent.leakedSecrets(), QStringList());
}

void AgentRelayTest::unreadableCodecStateIsKeptAsideAndReplaced()
{
    RunningAgent agent;
    const QString folder = agent.home() + QStringLiteral("/.ferrowyn/relay-codec-state");
    QVERIFY(QDir().mkpath(folder));
    const QString statePath = folder + QLatin1Char('/') + agent.hostId + QStringLiteral("-elixirV2-") +
                              agent.relaySession + QStringLiteral(".json");
    QFile broken(statePath);
    QVERIFY(broken.open(QIODevice::WriteOnly));
    broken.write("{\"format\": 1, \"lastAckedInbound\": \"many\"");
    broken.close();
    agent.environment.insert(QStringLiteral("VELMORA_RELAY_TOKEN"), agent.relayToken);
    // The command line hosts of the previous release build.
    QVERIFY(agent.start({"--addr", "127.0.0.1:0", "--relay-url", "ws://127.0.0.1:9/relay/v2",
                         "--relay-session", agent.relaySession, "--relay-codec-state", statePath}));
    QVERIFY(agent.waitForOutput(QStringLiteral("relay codec state file is malformed; kept aside")));
    QCOMPARE(agent.terminate(), 0);
    const QStringList aside = QDir(folder).entryList({QStringLiteral("*.corrupt-*")}, QDir::Files);
    QCOMPARE(aside.size(), 1);
    QFile replaced(statePath);
    QVERIFY(replaced.open(QIODevice::ReadOnly));
    const QJsonObject fresh = QJsonDocument::fromJson(replaced.readAll()).object();
    QCOMPARE(fresh.value("lastAckedInbound").toInteger(), 0);
    QCOMPARE(fresh.value("nextOutbound").toInteger(), 1);
    QCOMPARE(agent.leakedSecrets(), QStringList());
}

void AgentRelayTest::oneTabletCannotTakeTheLinkDown()
{
    QFETCH(QString, version);
    QFETCH(QString, relayPath);
    RunningAgent agent;
    QProcess relay;
    relay.start(QStringLiteral("/usr/bin/python3"),
                {QStringLiteral(FERROWYN_AGENT_TEST_DIR "/relay_stub.py"), version, agent.relayToken,
                 agent.relaySession, agent.hostToken, agent.hostId, agent.pairingNonce, agent.home(),
                 "limits"});
    QByteArray relayOutput;
    QVERIFY2(waitForLine(relay, "\n", &relayOutput), relayOutput.constData());
    agent.environment.insert(QStringLiteral("VELMORA_RELAY_TOKEN"), agent.relayToken);
    agent.environment.insert(QStringLiteral("VELMORA_RELAY_SESSION"), agent.relaySession);
    agent.environment.insert(QStringLiteral("FERROWYN_AGENT_TEST_RELAY_BACKOFF_MS"), QStringLiteral("50"));
    QVERIFY(agent.start({"--workspace", agent.home(), "--addr", "127.0.0.1:0", "--relay-url",
                         QStringLiteral("ws://127.0.0.1:%1%2")
                             .arg(QString::fromLatin1(relayOutput.mid(5).trimmed()), relayPath),
                         "--relay-codec-state", agent.home() + QStringLiteral("/state.json")}));
    QVERIFY2(waitForLine(relay, "ok", &relayOutput), relayOutput.constData());
    for (const char *logged : {"ended the link", "dropped a frame", "connection lost (1006)"})
        QVERIFY2(agent.allOutput().contains(QLatin1String(logged)), logged);
    QCOMPARE(agent.terminate(), 0);
}

QTEST_GUILESS_MAIN(AgentRelayTest)
#include "tst_agent_relay.moc"
