// The end of a run of the scripted stand-in agent: exit reports, restarts, and stops that kill.
#include "AgentControllerHarness.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTest>

#include <csignal>

using Kind = AgentRunState::Kind;

class HostAgentControllerExitTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void reportsTheExitWithTheLastLines_data();
    void reportsTheExitWithTheLastLines();
    void tellsTerminateFromKill_data();
    void tellsTerminateFromKill();
    void restartsAnExitedAgentUntilTheUserStops();
    void backsOffACrashLoopAndKeepsItsReportInView();
    void aStartDuringTheRestartPauseWins();
    void stopKillsAnAgentThatIgnoresTerminate_data();
    void stopKillsAnAgentThatIgnoresTerminate();
    void theEndOfARunEndsWhatTheAgentStarted_data();
    void theEndOfARunEndsWhatTheAgentStarted();
    void replacedAndStoppedAgentsAreNotReportedLater();
    void stopResetsTheRunFieldsAndAnExitKeepsThem();

private:
    QTemporaryDir m_home;
};

void HostAgentControllerExitTest::initTestCase()
{
    QVERIFY(m_home.isValid());
    qputenv("HOME", m_home.path().toUtf8());
}

void HostAgentControllerExitTest::reportsTheExitWithTheLastLines_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("message");
    QTest::newRow("four lines, three quoted") << "out=L1\nL2\nL3\nL4\n;exit=1"
                                              << "Agent exited (status 1). L2 | L3 | L4";
    QTest::newRow("both streams") << "out=A\n;err=B\n;exit=3"
                                  << "Agent exited (status 3). A | B";
    QTest::newRow("nothing written") << "exit=2"
                                     << "Agent exited (status 2). ";
    QTest::newRow("unfinished last line is quoted") << "out=first\nlast words;exit=4"
                                                    << "Agent exited (status 4). first | last words";
    QTest::newRow("a burst right before the exit") << "burst=200000;out=one\ntwo\nthree;exit=5"
                                                   << "Agent exited (status 5). one | two | three";
    QTest::newRow("broken bytes, a character cut between reads")
        << "out=ok \\xff end\ncaf\\xc3;pause=50;out=\\xa9\n;exit=6"
        << QStringLiteral(u"Agent exited (status 6). ok \uFFFD end | café");
}

void HostAgentControllerExitTest::reportsTheExitWithTheLastLines()
{
    QFETCH(QString, script);
    QFETCH(QString, message);
    AgentControllerHarness h;
    h.start(script.replace('\n', "\\n"));
    QTRY_COMPARE(h.controller->state().kind(), Kind::failed);
    QCOMPARE(h.controller->state(), AgentRunState::failed(message));
    QCOMPARE(h.controller->agentProcessId(), 0);
}

void HostAgentControllerExitTest::tellsTerminateFromKill_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<AgentRunState>("expected");
    QTest::newRow("SIGTERM is a clean end") << int(SIGTERM) << AgentRunState::stopped();
    QTest::newRow("SIGKILL is a failure")
        << int(SIGKILL) << AgentRunState::failed("Agent exited (status 9). hello");
}

void HostAgentControllerExitTest::tellsTerminateFromKill()
{
    QFETCH(int, signal);
    QFETCH(AgentRunState, expected);
    AgentControllerHarness h;
    h.start("out=hello\n;hang");
    QTRY_COMPARE(h.controller->state(), AgentRunState::running());
    QTRY_COMPARE(h.controller->lastLogLines().size(), 1);
    ::kill(static_cast<pid_t>(h.controller->agentProcessId()), signal);
    QTRY_COMPARE(h.controller->state(), expected);
}

void HostAgentControllerExitTest::restartsAnExitedAgentUntilTheUserStops()
{
    AgentControllerHarness h;
    h.preferences.setKeepRelayOnline(true);
    h.start("hang");
    QTRY_COMPARE(h.controller->state(), AgentRunState::running());
    const qint64 first = h.controller->agentProcessId();
    ::kill(static_cast<pid_t>(first), SIGTERM);
    QTRY_COMPARE(h.controller->state(), AgentRunState::stopped());
    QCOMPARE(h.controller->agentProcessId(), 0);
    QTRY_VERIFY(h.controller->agentProcessId() != 0);
    QVERIFY(h.controller->agentProcessId() != first);
    QTRY_COMPARE(h.controller->state(), AgentRunState::running());

    h.controller->stop(true);
    QCOMPARE(h.controller->state(), AgentRunState::stopped());
    QSignalSpy states(h.controller.get(), &HostAgentController::stateChanged);
    // Twice the restart pause: a restart would have changed the state by now.
    QVERIFY(!states.wait(300));
    QCOMPARE(h.controller->agentProcessId(), 0);
}

void HostAgentControllerExitTest::backsOffACrashLoopAndKeepsItsReportInView()
{
    AgentControllerHarness h;
    h.preferences.setKeepRelayOnline(true);
    h.start("out=port taken\n;exit=1");
    QElapsedTimer elapsed;
    elapsed.start();
    QList<qint64> exits; // when each failure was reported
    QObject recording;
    connect(h.controller.get(), &HostAgentController::lastLogLinesChanged, &recording, [&] {
        if (h.controller->lastLogLines().size() > exits.size())
            exits << elapsed.elapsed();
    });
    QTRY_COMPARE_WITH_TIMEOUT(exits.size(), 4, 5000);
    // 150, 300, 600 ms between the exits (plus the start), not the first pause each time.
    QVERIFY2(exits.at(3) - exits.at(2) >= 550, qPrintable(QString::number(exits.at(3) - exits.at(2))));
    QVERIFY(exits.at(1) - exits.at(0) < exits.at(3) - exits.at(2));
    // Between two runs the report and the lines stay in view, and Stop ends the loop.
    QTRY_VERIFY(h.controller->restartPending() && h.controller->agentProcessId() == 0);
    QCOMPARE(h.controller->state(), AgentRunState::failed("Agent exited (status 1). port taken"));
    QVERIFY(h.controller->lastLogLines().contains("port taken"));
    h.controller->stop();
    QVERIFY(!h.controller->restartPending());
    QSignalSpy states(h.controller.get(), &HostAgentController::stateChanged);
    QVERIFY(!states.wait(1300));
    QCOMPARE(h.controller->agentProcessId(), 0);
}

void HostAgentControllerExitTest::aStartDuringTheRestartPauseWins()
{
    AgentControllerHarness h;
    h.preferences.setKeepRelayOnline(true);
    h.start("exit=1");
    QTRY_COMPARE(h.controller->state().kind(), Kind::failed);
    h.start("hang");
    QTRY_COMPARE(h.controller->state(), AgentRunState::running());
    const qint64 chosen = h.controller->agentProcessId();
    QSignalSpy states(h.controller.get(), &HostAgentController::stateChanged);
    QVERIFY(!states.wait(300));
    QCOMPARE(h.controller->agentProcessId(), chosen);
}

void HostAgentControllerExitTest::stopKillsAnAgentThatIgnoresTerminate_data()
{
    QTest::addColumn<bool>("wait");
    QTest::newRow("waiting") << true;
    // The window's stop: it returns at once and the state says so until the agent is gone.
    QTest::newRow("not waiting") << false;
}

void HostAgentControllerExitTest::stopKillsAnAgentThatIgnoresTerminate()
{
    QFETCH(bool, wait);
    AgentControllerHarness h;
    const QString record = h.file("record");
    h.start("ignore-term;record=" + record + ";hang");
    QTRY_VERIFY(QFileInfo::exists(record));
    const qint64 pid = FakeAgent::readRecord(record).pid;

    QElapsedTimer elapsed;
    elapsed.start();
    h.controller->stop(wait);
    QCOMPARE(h.controller->state(), wait ? AgentRunState::stopped() : AgentRunState::stopping());
    QCOMPARE(FakeAgent::isAlive(pid), !wait);
    QTRY_VERIFY(!FakeAgent::isAlive(pid));
    QTRY_COMPARE(h.controller->state(), AgentRunState::stopped());
    QVERIFY2(elapsed.elapsed() >= 250 && elapsed.elapsed() < 5000,
             qPrintable(QString::number(elapsed.elapsed())));
}

void HostAgentControllerExitTest::theEndOfARunEndsWhatTheAgentStarted_data()
{
    QTest::addColumn<QString>("end");
    QTest::newRow("stop") << "hang";
    QTest::newRow("exit") << "exit=6";
}

void HostAgentControllerExitTest::theEndOfARunEndsWhatTheAgentStarted()
{
    QFETCH(QString, end);
    AgentControllerHarness h;
    const QString grandchild = h.file("grandchild");
    h.start("grandchild=" + grandchild + ";" + end);
    QTRY_VERIFY(QFileInfo::exists(grandchild) && FakeAgent::readPid(grandchild) > 0);
    const qint64 pid = FakeAgent::readPid(grandchild);
    if (end == "hang") {
        QVERIFY(FakeAgent::isAlive(pid));
        h.controller->stop(true);
    }
    QTRY_VERIFY(!FakeAgent::isAlive(pid));
}

void HostAgentControllerExitTest::replacedAndStoppedAgentsAreNotReportedLater()
{
    AgentControllerHarness h;
    h.preferences.setKeepRelayOnline(true);
    h.start("out=bye\n;hang");
    QTRY_COMPARE(h.controller->state(), AgentRunState::running());
    const qint64 first = h.controller->agentProcessId();
    QList<AgentRunState> seen;
    QObject recording; // goes before `seen` does
    connect(h.controller.get(), &HostAgentController::stateChanged, &recording,
            [&] { seen << h.controller->state(); });
    QSignalSpy states(h.controller.get(), &HostAgentController::stateChanged);

    h.start("hang");
    QCOMPARE(h.controller->state(), AgentRunState::starting());
    QTRY_COMPARE(h.controller->state(), AgentRunState::running());
    // The old agent was gone before the new one started, and its end was no exit.
    QVERIFY(!FakeAgent::isAlive(first));
    const qint64 second = h.controller->agentProcessId();
    h.controller->stop(false);
    QTRY_VERIFY(!FakeAgent::isAlive(second));
    QVERIFY(!states.wait(300));
    QCOMPARE(seen, (QList<AgentRunState>{AgentRunState::stopping(), AgentRunState::starting(),
                                         AgentRunState::running(), AgentRunState::stopping(),
                                         AgentRunState::stopped()}));
}

void HostAgentControllerExitTest::stopResetsTheRunFieldsAndAnExitKeepsThem()
{
    AgentControllerHarness h;
    h.preferences.setNgrokTunnelEnabled(true);
    h.start("out=ready\n;pause=200;exit=7");
    QCOMPARE(h.controller->tunnelState(), "starting");
    QTRY_COMPARE(h.controller->state().kind(), Kind::failed);
    QCOMPARE(h.controller->tunnelState(), "starting");
    QCOMPARE(h.controller->runningAgentBuild(), "14");
    const QString token = h.controller->hostToken();

    h.controller->stop(true);
    QCOMPARE(h.controller->state(), AgentRunState::failed("Agent exited (status 7). ready"));
    QCOMPARE(h.controller->tunnelState(), "disabled");
    QCOMPARE(h.controller->runningAgentBuild(), "");
    QCOMPARE(h.controller->hostToken(), token);
    QCOMPARE(h.controller->lastLogLines(), QStringList{"ready"});

    // A new launch clears the old output and the failure.
    h.start("hang");
    QCOMPARE(h.controller->state(), AgentRunState::starting());
    QTRY_VERIFY(h.controller->lastLogLines().isEmpty());
}

QTEST_GUILESS_MAIN(HostAgentControllerExitTest)
#include "tst_host_agent_controller_exit.moc"
