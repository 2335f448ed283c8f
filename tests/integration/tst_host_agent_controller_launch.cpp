// The controller's launch of the scripted stand-in agent: what the agent gets, when it counts as running,
// what the keyring's answers do, what of its output is shown, and
// the pinned folders' readiness.
#include "AgentControllerHarness.h"
#include "Services/HostCredentialStore.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
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
    void confirmsRunningOnlyAfterTheDelay();
    void reportsAnAgentThatCannotBeLaunched_data();
    void reportsAnAgentThatCannotBeLaunched();
    void warnsWhenTheKeyringFails_data();
    void warnsWhenTheKeyringFails();
    void hostsOnceTheKeyringIsUnlocked();
    void preflightThroughTheController();
    void preflightMessagesAsAnUnprivilegedUser();
    void grantWhileStoppedRefreshesWithoutStarting();
    void masksSecretsWholeAndSplit();
    void gathersBothStreamsInOrder();
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
    QCOMPARE(agent.environment.value("VELMORA_NGROK_AUTHTOKEN"),
             tunnel && mode == HostingMode::lan ? "ngrok-secret-token" : QString());
    if (mode == HostingMode::relay) {
        const int at = static_cast<int>(agent.arguments.indexOf("--relay-codec-state"));
        QVERIFY(at > 0);
        QVERIFY(QFileInfo(agent.arguments.value(at + 1)).dir().exists());
        QVERIFY(agent.arguments.contains(h.preferences.relayURL()));
        QCOMPARE(agent.environment.value("VELMORA_RELAY_SESSION"), h.controller->relaySession());
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

void HostAgentControllerLaunchTest::confirmsRunningOnlyAfterTheDelay()
{
    AgentControllerHarness h;
    QSignalSpy states(h.controller.get(), &HostAgentController::stateChanged);
    h.start("hang");
    QCOMPARE(h.controller->state(), AgentRunState::starting());
    QCOMPARE(h.controller->runningAgentBuild(), "14");
    QVERIFY(h.controller->credentialRotatedAt().isValid());
    QTRY_COMPARE(h.controller->state(), AgentRunState::running());
    QCOMPARE(states.count(), 2);

    // An agent that ends within the delay is never confirmed: three delays leave the state alone.
    h.start("exit=0");
    QTRY_COMPARE(h.controller->state(), AgentRunState::stopped());
    states.clear();
    QVERIFY(!states.wait(300));
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

    QFile file(h.file("ferrowyn-agent"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("#!/bin/sh\nexit 0\n");
    file.close();
    h.agentPath = present ? std::optional(file.fileName()) : std::nullopt;
    h.controller->start(&h.preferences);
    QTRY_COMPARE(h.controller->state().kind(), Kind::failed);
    const QString message = h.controller->state().message();
    if (present)
        QVERIFY2(message.startsWith(HostAgentController::launchFailurePrefix) &&
                     message.size() > HostAgentController::launchFailurePrefix.size(),
                 qPrintable(message));
    else
        QCOMPARE(message, HostAgentController::missingAgentMessage);
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
    QCOMPARE(h.controller->redactionSecrets().size(), 6);
    // Masking reads the credentials from memory, never from the keyring once per line.
    QCOMPARE(h.keyring.readCount, keyringReads);
}

void HostAgentControllerLaunchTest::gathersBothStreamsInOrder()
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
    // The last 200 lines are kept.
    QTRY_COMPARE(h.controller->lastLogLines().mid(197), (QStringList{"one", "two", "three"}));
    QVERIFY(h.controller->skippedOutputBytes() > 0);
    // Skipping cuts lines anywhere; no remnant of a cut line, and so no fragment of a token, is shown.
    for (const QString &line : h.controller->lastLogLines().first(197))
        QCOMPARE(line, "VELMORA_HOST_TOKEN=redacted");
}

void HostAgentControllerLaunchTest::preflightThroughTheController()
{
    AgentControllerHarness h;
    QDir dir(h.scratch.path());
    QVERIFY(dir.mkdir("plain"));
    QVERIFY(dir.mkdir("granted"));
    h.chooser.answer = dir.filePath("granted");
    QVERIFY(h.controller->permissionGrantStore().grant(dir.filePath("granted")));
    // One item per pinned path, in order, a repeated one too.
    const QStringList pinned{dir.filePath("plain"), dir.filePath("granted"), dir.filePath("gone"),
                             dir.filePath("plain")};
    h.preferences.setWorkspaces(pinned);

    QSignalSpy published(h.controller.get(), &HostAgentController::permissionPreflightItemsChanged);
    h.controller->refreshPermissionPreflight(&h.preferences);
    QCOMPARE(published.size(), 1);
    const QList<HostPermissionPreflightItem> items = h.controller->permissionPreflightItems();
    QCOMPARE(items.size(), 4);
    const QList<std::pair<HostPermissionPreflightStatus, bool>> expected{
        {HostPermissionPreflightStatus::ready, false},
        {HostPermissionPreflightStatus::ready, true},
        {HostPermissionPreflightStatus::missing, false},
        {HostPermissionPreflightStatus::ready, false}};
    for (qsizetype i = 0; i < items.size(); ++i) {
        QCOMPARE(items.at(i).path, pinned.at(i));
        QCOMPARE(items.at(i).status, expected.at(i).first);
        QCOMPARE(items.at(i).hasGrant, expected.at(i).second);
    }

    h.preferences.setWorkspaces({});
    h.controller->refreshPermissionPreflight(&h.preferences);
    QCOMPARE(h.controller->permissionPreflightItems(), QList<HostPermissionPreflightItem>());
    QCOMPARE(published.size(), 2);
}

void HostAgentControllerLaunchTest::preflightMessagesAsAnUnprivilegedUser()
{
    // Root reads and writes everything, so the verdicts that need a denial are taken by a child that has
    // dropped to an unprivileged user and checks through a controller of its own.
    QTemporaryDir scratch;
    using P = QFileDevice;
    const P::Permissions readOnly =
        P::ReadOwner | P::ExeOwner | P::ReadGroup | P::ExeGroup | P::ReadOther | P::ExeOther;
    const P::Permissions writeOnly =
        P::WriteOwner | P::ExeOwner | P::WriteGroup | P::ExeGroup | P::WriteOther | P::ExeOther;
    QVERIFY(QFile::setPermissions(scratch.path(), readOnly | P::WriteOwner));
    QDir dir(scratch.path());
    QVERIFY(dir.mkdir("read-only") && QFile::setPermissions(dir.filePath("read-only"), readOnly));
    QVERIFY(dir.mkdir("unreadable") && QFile::setPermissions(dir.filePath("unreadable"), writeOnly));

    QProcess probe;
    probe.start(QStringLiteral(PREFLIGHT_PROBE),
                {"--controller", dir.filePath("read-only"), dir.filePath("unreadable")});
    QVERIFY(probe.waitForFinished(10000));
    for (const char *name : {"read-only", "unreadable"})
        QFile::setPermissions(dir.filePath(name), readOnly | P::WriteOwner); // so it can be removed
    if (probe.exitCode() == 3)
        QSKIP("running as root, and root cannot drop to an unprivileged user here");
    QCOMPARE(probe.exitCode(), 0);
    QCOMPARE(QString::fromUtf8(probe.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts),
             QStringList({"readOnly\t1\t0\tReadable but not writable.",
                          "blocked\t0\t1\tRequires Mac preflight. Open this folder from Ferrowyn Host before "
                          "working away from the Mac."}));
}

void HostAgentControllerLaunchTest::grantWhileStoppedRefreshesWithoutStarting()
{
    AgentControllerHarness h;
    QDir dir(h.scratch.path());
    QVERIFY(dir.mkdir("pinned"));
    const QString folder = dir.filePath("pinned");
    h.preferences.setWorkspaces({folder});
    h.controller->refreshPermissionPreflight(&h.preferences);
    QCOMPARE(h.controller->permissionPreflightItems().at(0).hasGrant, false);

    // Another folder chosen in the dialog grants nothing and only says so.
    QSignalSpy published(h.controller.get(), &HostAgentController::permissionPreflightItemsChanged);
    h.chooser.answer = h.scratch.path();
    h.controller->grantFolderAccess(folder, &h.preferences);
    const QString warning =
        "Access was not granted. Choose the exact pinned folder in the permission dialog.";
    QCOMPARE(h.controller->readinessWarning(), warning);
    QVERIFY(!h.controller->permissionGrantStore().hasGrant(folder));
    QVERIFY(!h.controller->permissionGrantStore().hasGrant(h.scratch.path()));
    QCOMPARE(published.size(), 0);

    h.chooser.answer = folder;
    h.controller->grantFolderAccess(folder, &h.preferences);
    QCOMPARE(h.chooser.requests.size(), 2);
    QVERIFY(h.controller->permissionGrantStore().hasGrant(folder));
    QCOMPARE(h.controller->permissionPreflightItems().at(0).hasGrant, true);
    // A grant does not clear what was said before, nor start an agent.
    QCOMPARE(h.controller->readinessWarning(), warning);
    QCOMPARE(h.controller->state(), AgentRunState::stopped());
    QCOMPARE(h.controller->agentProcessId(), 0);
}

QTEST_GUILESS_MAIN(HostAgentControllerLaunchTest)
#include "tst_host_agent_controller_launch.moc"
