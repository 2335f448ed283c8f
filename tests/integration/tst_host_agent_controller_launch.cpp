#include "AgentControllerHarness.h"
#include "Services/HostCredentialStore.h"
#include "Shared/RelayCodecStateName.h"

#include <QDir>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTest>

#include <csignal>

using Kind = AgentRunState::Kind;

class HostAgentControllerLaunchTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void launchesWithArgumentsAndEnvironment_data();
    void launchesWithArgumentsAndEnvironment();
    void confirmsRunningAfterTheDelay();
    void neverConfirmsAnAgentThatExitedEarly();
    void reportsAnAgentThatCannotBeLaunched_data();
    void reportsAnAgentThatCannotBeLaunched();
    void warnsWhenTheKeyringFails_data();
    void warnsWhenTheKeyringFails();
    void hostsOnceTheKeyringIsUnlocked();
    void holdsFolderGrantsOpenWhileRunning();
    void masksSecretsWholeAndSplit();
    void keepsDecodingPastBrokenBytes();
    void keepsTheLast200LinesAndNotifiesPerBatch();
    void gathersBothStreams();
    void skipsWholeLinesWhenFloodedBeyondTheBound();

private:
    QTemporaryDir m_home;
};

void HostAgentControllerLaunchTest::initTestCase()
{
    QVERIFY(m_home.isValid());
    // The relay codec state folder is made under the home folder.
    qputenv("HOME", m_home.path().toUtf8());
    // The host's own copies of these must never reach an agent that is not meant to have them.
    qputenv("VELMORA_RELAY_TOKEN", "inherited-relay-token");
    qputenv("VELMORA_NGROK_AUTHTOKEN", "inherited-ngrok-token");
}

void HostAgentControllerLaunchTest::launchesWithArgumentsAndEnvironment_data()
{
    QTest::addColumn<HostingMode>("mode");
    QTest::addColumn<bool>("tunnel");
    QTest::newRow("lan") << HostingMode::lan << false;
    QTest::newRow("lan with ngrok") << HostingMode::lan << true;
    QTest::newRow("relay") << HostingMode::relay << true;
}

void HostAgentControllerLaunchTest::launchesWithArgumentsAndEnvironment()
{
    QFETCH(HostingMode, mode);
    QFETCH(bool, tunnel);
    AgentControllerHarness h;
    h.preferences.setMode(mode);
    h.preferences.setNgrokTunnelEnabled(tunnel);
    h.preferences.setNgrokAuthtoken(QStringLiteral("  ngrok-secret-token "));
    h.preferences.setLanPort(9123);
    h.preferences.setWorkspaces({h.scratch.path()});
    const QString record = h.file("record");
    h.start("record=" + record + ";hang");
    QCOMPARE(h.controller->state(), AgentRunState::starting());
    QTRY_VERIFY(QFileInfo::exists(record));

    const FakeAgent::Record agent = FakeAgent::readRecord(record);
    QCOMPARE(agent.pid, h.controller->agentProcessId());
    QCOMPARE(agent.processGroup, agent.pid);
    QCOMPARE(agent.deathSignal, SIGTERM);
    QCOMPARE(agent.arguments.mid(0, 2), (QStringList{"--workspace", h.scratch.path()}));
    QCOMPARE(agent.environment.value("FAKE_AGENT_SCRIPT"), "record=" + record + ";hang");
    QCOMPARE(agent.environment.value("VELMORA_HOST_TOKEN"), h.controller->hostToken());
    QCOMPARE(agent.environment.value("VELMORA_HOST_ID"), h.controller->hostId());
    QVERIFY(!agent.environment.value("VELMORA_PAIRING_NONCE").isEmpty());
    QCOMPARE(agent.environment.contains("VELMORA_RELAY_TOKEN"), mode == HostingMode::relay);
    QCOMPARE(agent.environment.contains("VELMORA_NGROK_AUTHTOKEN"), tunnel && mode == HostingMode::lan);
    if (agent.environment.contains("VELMORA_NGROK_AUTHTOKEN"))
        QCOMPARE(agent.environment.value("VELMORA_NGROK_AUTHTOKEN"), "ngrok-secret-token");

    if (mode == HostingMode::relay) {
        const QString codecState =
            m_home.path() + "/.ferrowyn/relay-codec-state/" +
            relayCodecStateFileName("elixirV2", h.controller->hostId(), h.controller->relaySession());
        QCOMPARE(agent.arguments.mid(2),
                 (QStringList{"--addr", "127.0.0.1:9123", "--relay-url", h.preferences.relayURL(),
                              "--relay-codec-state", codecState}));
        QCOMPARE(agent.environment.value("VELMORA_RELAY_SESSION"), h.controller->relaySession());
        QVERIFY(QFileInfo(codecState).dir().exists());
        QVERIFY(agent.environment.value("VELMORA_RELAY_TOKEN") != "inherited-relay-token");
    } else {
        QCOMPARE(agent.arguments.mid(2, 2),
                 (QStringList{"--addr", tunnel ? "127.0.0.1:9123" : "0.0.0.0:9123"}));
        QCOMPARE(agent.arguments.contains("--tunnel-mode"), tunnel);
    }
    QCOMPARE(h.controller->tunnelState(), tunnel && mode == HostingMode::lan ? "starting" : "disabled");

    // Anyone on the machine can read a command line: no secret may be on it.
    const QByteArray commandLine = FakeAgent::commandLine(agent.pid);
    QVERIFY(commandLine.contains("--addr"));
    for (const char *name : {"VELMORA_HOST_TOKEN", "VELMORA_PAIRING_NONCE", "VELMORA_RELAY_TOKEN"}) {
        const QString secret = agent.environment.value(name);
        if (!secret.isEmpty())
            QVERIFY2(!commandLine.contains(secret.toUtf8()), name);
    }
    QVERIFY(!commandLine.contains("ngrok-secret-token"));
}

void HostAgentControllerLaunchTest::confirmsRunningAfterTheDelay()
{
    AgentControllerHarness h;
    QSignalSpy states(h.controller.get(), &HostAgentController::stateChanged);
    h.start("hang");
    QCOMPARE(h.controller->state(), AgentRunState::starting());
    QCOMPARE(h.controller->runningAgentBuild(), "14");
    QVERIFY(h.controller->credentialRotatedAt().isValid());
    QTRY_COMPARE(h.controller->state(), AgentRunState::running());
    QCOMPARE(states.count(), 2);
}

void HostAgentControllerLaunchTest::neverConfirmsAnAgentThatExitedEarly()
{
    AgentControllerHarness h;
    h.start("exit=0");
    QTRY_COMPARE(h.controller->state(), AgentRunState::stopped());
    QSignalSpy states(h.controller.get(), &HostAgentController::stateChanged);
    // Three confirmation delays: the confirmation has had its chance and must have left the state alone.
    QVERIFY(!states.wait(300));
    QCOMPARE(h.controller->state(), AgentRunState::stopped());
}

void HostAgentControllerLaunchTest::reportsAnAgentThatCannotBeLaunched_data()
{
    QTest::addColumn<bool>("present");
    QTest::newRow("missing") << false;
    QTest::newRow("not executable") << true;
}

void HostAgentControllerLaunchTest::reportsAnAgentThatCannotBeLaunched()
{
    QFETCH(bool, present);
    AgentControllerHarness h;
    const QString folder = h.file("granted");
    QVERIFY(QDir().mkpath(folder));
    h.chooser.answer = folder;
    QVERIFY(h.controller->permissionGrantStore().grant(folder));
    h.preferences.setWorkspaces({folder});
    h.start("out=from the first run\n;hang");
    QTRY_COMPARE(h.controller->lastLogLines(), QStringList{"from the first run"});

    const QString plainFile = h.file("ferrowyn-agent");
    QFile file(plainFile);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("#!/bin/sh\nexit 0\n");
    file.close();
    h.agentPath = present ? std::optional(plainFile) : std::nullopt;
    h.controller->start(&h.preferences);
    QTRY_VERIFY(!h.controller->launchAwaitsCredentials());

    QTRY_COMPARE(h.controller->state().kind(), Kind::failed);
    const AgentRunState state = h.controller->state();
    if (present)
        QVERIFY2(state.message().startsWith(HostAgentController::launchFailurePrefix) &&
                     state.message().size() > HostAgentController::launchFailurePrefix.size(),
                 qPrintable(state.message()));
    else
        QCOMPARE(state.message(), HostAgentController::missingAgentMessage);
    QCOMPARE(h.controller->agentProcessId(), 0);
    QVERIFY(h.controller->permissionGrantStore().activePaths().isEmpty());
    // The last run's output stays until a launch succeeds.
    QCOMPARE(h.controller->lastLogLines(), QStringList{"from the first run"});
}

void HostAgentControllerLaunchTest::warnsWhenTheKeyringFails_data()
{
    QTest::addColumn<bool>("storedBefore");
    QTest::addColumn<bool>("failReads");
    QTest::addColumn<bool>("failWrites");
    QTest::newRow("healthy") << true << false << false;
    QTest::newRow("save fails on first use") << false << false << true;
    QTest::newRow("read fails for a stored pairing") << true << true << false;
}

void HostAgentControllerLaunchTest::warnsWhenTheKeyringFails()
{
    QFETCH(bool, storedBefore);
    QFETCH(bool, failReads);
    QFETCH(bool, failWrites);
    AgentControllerHarness h;
    if (storedBefore) {
        HostCredentialStore(h.defaults, h.keyring).rotate(h.preferences.relayVersion());
        QTRY_VERIFY(h.keyring.contains(HostCredentialStore::defaultService, QStringLiteral("metadata")));
    }
    h.keyring.failReads = failReads;
    h.keyring.failWrites = failWrites;
    h.start("hang");
    QCOMPARE(h.controller->state(), AgentRunState::starting());
    QVERIFY(!h.controller->hostToken().isEmpty());
    QTRY_COMPARE(h.controller->readinessWarning(),
                 failReads || failWrites ? HostAgentController::keyringUnavailableWarning : QString());
}

void HostAgentControllerLaunchTest::hostsOnceTheKeyringIsUnlocked()
{
    AgentControllerHarness h;
    FakeAgent::setScript("hang");
    h.keyring.locked = true;
    h.keyring.holdAnswers = true;
    h.controller->start(&h.preferences);
    h.keyring.answerNow();
    QTRY_COMPARE(h.controller->readinessWarning(), HostAgentController::waitingForKeyringWarning);
    QCOMPARE(h.controller->agentProcessId(), 0);
    h.keyring.holdAnswers = false;
    h.keyring.answerNow();
    QTRY_VERIFY(h.controller->agentProcessId() != 0);
    QCOMPARE(h.controller->readinessWarning(), QString());
}

void HostAgentControllerLaunchTest::holdsFolderGrantsOpenWhileRunning()
{
    AgentControllerHarness h;
    const QStringList folders{h.file("one"), h.file("two"), h.file("ungranted")};
    for (const QString &folder : folders)
        QVERIFY(QDir().mkpath(folder));
    for (const QString &folder : folders.first(2)) {
        h.chooser.answer = folder;
        QVERIFY(h.controller->permissionGrantStore().grant(folder));
    }
    h.preferences.setWorkspaces(folders);
    h.start("hang");
    QTRY_COMPARE(h.controller->permissionGrantStore().activePaths(), folders.first(2));
    h.start("hang");
    QTRY_COMPARE(h.controller->state(), AgentRunState::running());
    QCOMPARE(h.controller->permissionGrantStore().activePaths(), folders.first(2));
    h.controller->stop(true);
    QVERIFY(h.controller->permissionGrantStore().activePaths().isEmpty());
}

void HostAgentControllerLaunchTest::masksSecretsWholeAndSplit()
{
    AgentControllerHarness h;
    h.preferences.setMode(HostingMode::relay);
    h.preferences.setNgrokAuthtoken(QStringLiteral("ngrok-token-123456"));
    h.start("env-out=VELMORA_HOST_TOKEN;env-split=VELMORA_RELAY_TOKEN;env-split=VELMORA_PAIRING_NONCE;"
            "env-split=VELMORA_HOST_ID;env-out=VELMORA_RELAY_SESSION;out=ngrok-token-;pause=50;"
            "out=123456 tail\n;hang");
    QTRY_COMPARE(h.controller->lastLogLines().size(), 6);
    const int keyringReads = h.keyring.readCount;

    const QStringList lines = h.controller->lastLogLines();
    QCOMPARE(lines.first(5), (QStringList{"redacted", "redacted", "redacted", "redacted", "redacted"}));
    QCOMPARE(lines.at(5), "redacted tail");
    const QStringList secrets = h.controller->redactionSecrets();
    QCOMPARE(secrets.size(), 6);
    for (const QString &line : lines) {
        for (const QString &secret : secrets)
            QVERIFY2(!line.contains(secret), qPrintable(line));
    }
    // Masking reads the credentials from memory, never from the keyring once per line.
    QCOMPARE(h.keyring.readCount, keyringReads);
}

void HostAgentControllerLaunchTest::keepsDecodingPastBrokenBytes()
{
    AgentControllerHarness h;
    h.start("out=ok \\xff\\xfe end\ncaf\\xc3;pause=50;out=\\xa9\n;hang");
    QTRY_COMPARE(h.controller->lastLogLines().size(), 2);
    QCOMPARE(h.controller->lastLogLines().at(0), QStringLiteral(u"ok \uFFFD\uFFFD end"));
    QCOMPARE(h.controller->lastLogLines().at(1), QStringLiteral(u"café"));
}

void HostAgentControllerLaunchTest::keepsTheLast200LinesAndNotifiesPerBatch()
{
    AgentControllerHarness h;
    QString block;
    for (int i = 0; i < 250; ++i)
        block += QStringLiteral("line-%1\\n").arg(i, 3, 10, QLatin1Char('0'));
    // 2,250 bytes in one write arrive in one piece (below the pipe's atomic write size).
    FakeAgent::setScript("out=" + block + ";hang");
    QSignalSpy changes(h.controller.get(), &HostAgentController::lastLogLinesChanged);
    h.controller->start(&h.preferences);
    QTRY_COMPARE(h.controller->lastLogLines().size(), 200);
    QCOMPARE(h.controller->lastLogLines().first(), "line-050");
    QCOMPARE(h.controller->lastLogLines().last(), "line-249");
    // 2,250 bytes taken in 1 KiB slices: one notification per slice, not one per line.
    QVERIFY2(changes.count() >= 1 && changes.count() <= 3, qPrintable(QString::number(changes.count())));
}

void HostAgentControllerLaunchTest::gathersBothStreams()
{
    AgentControllerHarness h;
    h.start("out=to stdout\n;pause=30;err=to stderr\n;pause=30;out=stdout again\n;hang");
    QTRY_COMPARE(h.controller->lastLogLines(), (QStringList{"to stdout", "to stderr", "stdout again"}));
}

void HostAgentControllerLaunchTest::skipsWholeLinesWhenFloodedBeyondTheBound()
{
    HostAgentTimings timings = AgentControllerHarness::shortTimings();
    timings.process.readSliceBytes = 512;
    timings.process.maxWaitingBytes = 8 * 1024;
    AgentControllerHarness h(timings);
    // About 2.5 MB of lines that each carry the host token, far more than may wait.
    h.start("burst=50000:VELMORA_HOST_TOKEN;out=one\ntwo\nthree\n;hang");
    QTRY_COMPARE(h.controller->lastLogLines().mid(197), (QStringList{"one", "two", "three"}));
    QVERIFY(h.controller->skippedOutputBytes() > 0);
    // Skipping cuts lines anywhere; no remnant of a cut line, and so no fragment of a token, is shown.
    for (const QString &line : h.controller->lastLogLines().first(197))
        QCOMPARE(line, "VELMORA_HOST_TOKEN=redacted");
}

QTEST_GUILESS_MAIN(HostAgentControllerLaunchTest)
#include "tst_host_agent_controller_launch.moc"
