#include "RunningAgent.h"
#include "Shared/RelayCodecStateName.h"

#include <QDir>
#include <QFile>
#include <QTest>

// The relay route end to end against a local relay stub (relay_stub.py says what it checks), in both relay
// versions, with a restart of the agent in the middle.
class AgentRelayTest : public QObject {
    Q_OBJECT

private slots:
    void pairsThroughTheRelayAndResumes_data();
    void pairsThroughTheRelayAndResumes();
};

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
    const auto relaySays = [&](const QByteArray &line) {
        return QTest::qWaitFor(
                   [&] {
                       relayOutput += relay.readAllStandardOutput();
                       return relayOutput.contains(line) || relayOutput.contains("FAIL") ||
                              relay.state() == QProcess::NotRunning;
                   },
                   30000) &&
               relayOutput.contains(line);
    };
    QVERIFY2(relaySays("\n"), relayOutput.constData());

    agent.environment.insert(QStringLiteral("VELMORA_RELAY_TOKEN"), agent.relayToken);
    agent.environment.insert(QStringLiteral("FERROWYN_AGENT_TEST_RELAY_BACKOFF_MS"), QStringLiteral("50"));
    agent.environment.insert(QStringLiteral("FERROWYN_AGENT_TEST_RELAY_BACKOFF_MAX_MS"),
                             QStringLiteral("200"));
    const QString statePath = agent.home() + QStringLiteral("/.ferrowyn/relay-codec-state/") +
                              relayCodecStateFileName(version, agent.hostId, agent.relaySession);
    // A damaged resume state is kept aside, said, and replaced by a fresh one.
    QVERIFY(QDir().mkpath(QFileInfo(statePath).path()));
    const QByteArray damaged("{\"format\": 1, \"lastAckedInbound\": ");
    QFile state(statePath);
    QVERIFY(state.open(QIODevice::WriteOnly) && state.write(damaged) > 0);
    state.close();
    QStringList arguments{"--workspace",
                          workspace,
                          "--addr",
                          "127.0.0.1:0",
                          "--relay-url",
                          QStringLiteral("ws://127.0.0.1:%1%2")
                              .arg(QString::fromLatin1(relayOutput.mid(5).trimmed()), relayPath),
                          "--relay-codec-state",
                          statePath};
    // The session comes from the environment, or from the option hosts of the previous release pass.
    if (version == QLatin1String("elixirV2"))
        agent.environment.insert(QStringLiteral("VELMORA_RELAY_SESSION"), agent.relaySession);
    else
        arguments << QStringLiteral("--relay-session") << agent.relaySession;
    QVERIFY(agent.start(arguments));
    QVERIFY2(relaySays("phase1 done"), relayOutput.constData());
    QCOMPARE(agent.terminate(), 0);
    for (const char *logged :
         {"paired new device: \"Relay iPad\"", "dropped a frame", "ended the link", "connection lost (1006)"})
        QVERIFY2(agent.allOutput().contains(QLatin1String(logged)), logged);
    QCOMPARE(agent.allOutput().contains(QLatin1String("malformed; kept aside")), version == "elixirV2");
    // goV1 keeps no resume state, and leaves the file alone.
    QVERIFY(state.open(QIODevice::ReadOnly));
    const QByteArray saved = state.readAll();
    if (version == QLatin1String("elixirV2"))
        QCOMPARE(saved, QByteArray(R"({"format":1,"lastAckedInbound":9,"nextOutbound":9})"));
    else
        QCOMPARE(saved, damaged);

    QVERIFY(agent.start(arguments));
    QVERIFY2(relaySays("ok"), relayOutput.constData());
    QVERIFY(relay.waitForFinished(5000));
    QCOMPARE(relay.exitCode(), 0);
    QCOMPARE(agent.terminate(), 0);
    QCOMPARE(agent.leakedSecrets(), QStringList());
}

QTEST_GUILESS_MAIN(AgentRelayTest)
#include "tst_agent_relay.moc"
