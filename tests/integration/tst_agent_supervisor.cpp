// The agent's supervisor against the scripted stand-in agent: how an end is told and restarted, how a stop
// ends the agent and everything it started, and that no agent outlives its host.
#include "FakeAgent.h"
#include "Services/Supervision/AgentSupervisor.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

namespace {

// Set in the environment of this test's own program when it plays a host that launches one agent.
const char *const playHostVariable = "AGENT_SUPERVISOR_TEST_PLAY_HOST";

AgentSupervisorTimings shortTimings()
{
    AgentSupervisorTimings timings;
    timings.confirmationDelay = std::chrono::milliseconds(100);
    timings.restart.firstDelay = std::chrono::milliseconds(150);
    timings.restart.longestDelay = std::chrono::milliseconds(1200);
    timings.process.killTimeout = std::chrono::milliseconds(300);
    // Output is taken in a little at a time, so a burst takes several reads.
    timings.process.readSliceBytes = 512;
    return timings;
}

// A supervisor launching the stand-in with the script, restarting it when `restart` says so.
struct Supervision {
    explicit Supervision(std::optional<QString> program = FakeAgent::path())
        : supervisor([program] { return program; }, {}, shortTimings())
    {
        supervisor.setRestartWanted([this] { return restart; });
    }
    ~Supervision() { supervisor.stop(true); }

    void start(const QString &script)
    {
        FakeAgent::setScript(script);
        if (supervisor.prepare(false))
            supervisor.proceed([] {
                return AgentSupervisor::Launch{{}, QProcessEnvironment::systemEnvironment()};
            });
    }

    bool restart = false;
    AgentSupervisor supervisor;
};

// The host this test's program plays: it launches one agent, says its pid, and waits to be killed.
int playHost()
{
    AgentOutputLog log({});
    AgentProcess agent(log, {});
    QObject::connect(&agent, &AgentProcess::started, [&agent] {
        std::printf("%lld\n", agent.processId());
        std::fflush(stdout);
    });
    FakeAgent::setScript(QStringLiteral("hang"));
    agent.start(FakeAgent::path(), {}, QProcessEnvironment::systemEnvironment());
    return QCoreApplication::exec();
}

} // namespace

class AgentSupervisorTest : public QObject {
    Q_OBJECT

private slots:
    void reportsTheEndOfARun_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<int>("signal");
        QTest::addColumn<AgentRunState>("expected");
        QTest::newRow("exit quotes three lines")
            << "out=L1\\nL2\\nL3\\nL4\\n;exit=1" << 0
            << AgentRunState::failed("Agent exited (status 1). L2 | L3 | L4");
        // Far more than one read, written at once before the exit: the report waits for the last lines.
        QTest::newRow("exit right after a burst quotes its last lines")
            << "burst=4000:HOME;out=last 1\\nlast 2\\n;exit=3" << 0
            << AgentRunState::failed("Agent exited (status 3). HOME=" + QDir::homePath() +
                                     " | last 1 | last 2");
        QTest::newRow("SIGTERM is a clean end")
            << "out=bye\\n;hang" << int(SIGTERM) << AgentRunState::stopped();
    }

    void reportsTheEndOfARun()
    {
        QFETCH(QString, script);
        QFETCH(int, signal);
        QTemporaryDir scratch;
        Supervision s;
        const QString grandchild = scratch.filePath("grandchild");
        s.start("grandchild=" + grandchild + ";" + script);
        if (signal) {
            QTRY_COMPARE(s.supervisor.log()->lines().size(), 1);
            ::kill(static_cast<pid_t>(s.supervisor.agentProcessId()), signal);
        }
        QTRY_COMPARE(s.supervisor.agentProcessId(), 0);
        QTEST(s.supervisor.state(), "expected");
        QVERIFY(!s.supervisor.restartPending());
        // Whatever the agent started ends with it.
        QTRY_VERIFY(!FakeAgent::isAlive(FakeAgent::readPid(grandchild)));
    }

    void restartsWithBackoffUntilStopped()
    {
        Supervision s;
        s.restart = true;
        QSignalSpy due(&s.supervisor, &AgentSupervisor::restartDue);
        // The one who wanted the restart starts the agent again, as the controller does.
        connect(&s.supervisor, &AgentSupervisor::restartDue, this, [&s] {
            if (s.supervisor.prepare(true))
                s.supervisor.proceed([] {
                    return AgentSupervisor::Launch{{}, QProcessEnvironment::systemEnvironment()};
                });
        });
        s.start("out=port taken\\n;exit=1");
        // A restart keeps the lines of the runs before it. The pause doubles with every quick exit: 150, 300,
        // 600 ms.
        QTRY_COMPARE_WITH_TIMEOUT(s.supervisor.log()->lines().size(), 3, 5000);
        QElapsedTimer elapsed;
        elapsed.start();
        QTRY_COMPARE_WITH_TIMEOUT(s.supervisor.log()->lines().size(), 4, 5000);
        QVERIFY2(elapsed.elapsed() >= 500, qPrintable(QString::number(elapsed.elapsed())));
        QTRY_VERIFY(s.supervisor.restartPending() && s.supervisor.agentProcessId() == 0);
        QCOMPARE(s.supervisor.state(), AgentRunState::failed("Agent exited (status 1). port taken"));
        s.supervisor.stop();
        QVERIFY(!due.wait(1300));
    }

    void agentThatCannotStart_data()
    {
        QTest::addColumn<std::optional<QString>>("program");
        QTest::newRow("none found") << std::optional<QString>();
        QTest::newRow("missing") << std::optional<QString>("/nonexistent/ferrowyn-agent");
        // A file that is there but cannot run, as a damaged install leaves it.
        QTest::newRow("not executable") << std::optional(QFINDTESTDATA("tst_agent_supervisor.cpp"));
    }

    void agentThatCannotStart()
    {
        QFETCH(std::optional<QString>, program);
        Supervision s(program);
        s.restart = true;
        s.start(QStringLiteral("hang"));
        // Told as a failure with the reason, and never restarted into the same failure.
        QTRY_VERIFY(s.supervisor.state().isFailed());
        const QString shown = s.supervisor.state().message();
        const QString prefix = AgentSupervisor::launchFailurePrefix;
        QVERIFY2(program ? shown.startsWith(prefix) && shown.size() > prefix.size()
                         : shown == AgentSupervisor::missingAgentMessage,
                 qPrintable(shown));
        QVERIFY(!s.supervisor.restartPending() && s.supervisor.agentProcessId() == 0 &&
                !s.supervisor.isActive());
    }

    void stopSignalsTheGroupThenKills_data()
    {
        QTest::addColumn<bool>("wait");
        QTest::newRow("waiting, as at quit") << true;
        // The window's stop: it returns at once and the state says so until the agent is gone.
        QTest::newRow("not waiting") << false;
    }

    void stopSignalsTheGroupThenKills()
    {
        QFETCH(bool, wait);
        QTemporaryDir scratch;
        Supervision s;
        const QString grandchild = scratch.filePath("grandchild");
        s.start("grandchild=" + grandchild + ";ignore-term;hang");
        QTRY_VERIFY(FakeAgent::readPid(grandchild) > 0);
        s.supervisor.stop(wait);
        QCOMPARE(s.supervisor.state(), wait ? AgentRunState::stopped() : AgentRunState::stopping());
        QTRY_COMPARE(s.supervisor.state(), AgentRunState::stopped());
        // The terminate reached the whole group, not the agent alone.
        QTRY_VERIFY(QFileInfo::exists(grandchild + ".term"));
    }

    // A host that is killed outright cannot stop its agent; the agent ends all the same.
    void noAgentOutlivesAKilledHost()
    {
        QProcess host;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(playHostVariable, "1");
        host.setProcessEnvironment(environment);
        host.start(QCoreApplication::applicationFilePath(), {});
        QTRY_VERIFY(host.canReadLine());
        const qint64 agent = host.readLine().trimmed().toLongLong();
        QVERIFY(FakeAgent::isAlive(agent));
        host.kill();
        QVERIFY(host.waitForFinished(5000));
        QTRY_VERIFY(!FakeAgent::isAlive(agent));
    }
};

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (qEnvironmentVariableIsSet(playHostVariable))
        return playHost();
    AgentSupervisorTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_agent_supervisor.moc"
