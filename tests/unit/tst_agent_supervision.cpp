#include "FakeAgent.h"
#include "Services/Redaction/HostSecretRedactor.h"
#include "Services/Supervision/AgentLaunchPlan.h"
#include "Services/Supervision/AgentStorageProblems.h"
#include "Services/Supervision/AgentSupervisor.h"
#include "Shared/AgentStorageReport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace std::chrono_literals;

namespace {

const QString token = QStringLiteral("Zq3vL9xR2mT7wK4pB8nY1cF6hJ5dS0aGeUiOoPlMnBv");
const QString home = QStringLiteral("/home/ada");

// A made-up file system: the paths that exist and the executable files; every folder lists node versions.
FileProbe probe(const QStringList &existing, const QStringList &executables = {})
{
    return {[=](const QString &path) { return existing.contains(path) || executables.contains(path); },
            [=](const QString &path) { return executables.contains(path); },
            [](const QString &) {
                return QStringList{"18.0.0", "9.2.0", "20.1.0", "7.0.0"};
            }};
}

// The end of a run the supervisor itself brings about, in place of a signal another sends. The window's stop,
// which does not wait, is the window test's.
constexpr int stopWaiting = -1;

// Set in the environment of this test's own program when it plays a host that launches one agent.
const char *const playHostVariable = "AGENT_SUPERVISOR_TEST_PLAY_HOST";

AgentSupervisorTimings shortTimings()
{
    AgentSupervisorTimings timings;
    timings.confirmationDelay = std::chrono::milliseconds(100);
    timings.restart.firstDelay = std::chrono::milliseconds(150);
    timings.restart.longestDelay = std::chrono::milliseconds(1200);
    // Time for the agent's group to act on the terminate before the kill, even on a loaded machine.
    timings.process.killTimeout = std::chrono::milliseconds(1500);
    // Output is taken in a little at a time, so a burst takes several reads.
    timings.process.readSliceBytes = 512;
    return timings;
}

// A supervisor launching the stand-in with the script, restarting it when `restart` says so.
struct Supervision {
    explicit Supervision(std::optional<QString> program = FakeAgent::path())
        : supervisor(
              [program] {
                  return AgentLocation(program, {"/a/ferrowyn-agent", "/b/ferrowyn-agent"});
              },
              {}, shortTimings())
    {
        supervisor.setRestartWanted([this] { return restart; });
    }
    ~Supervision() { supervisor.stop(true); }

    void start(const QString &script)
    {
        FakeAgent::setScript(script);
        launch(false);
    }
    // As the controller launches it, `again` after an exit.
    void launch(bool again)
    {
        if (supervisor.prepare(again))
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

// Running the agent: how its output reaches the window, when it is restarted, how a stop ends it and
// everything it started, and that no agent outlives its host; the supervisor runs the scripted stand-in
// agent. Its health answer is the agent-health fuzz target's and the link tests' job.
class AgentSupervisionTest : public QObject {
    Q_OBJECT

private slots:
    void storageProblemsStandUntilWrittenAgain();
    void splitsBrokenBytes();
    void logNeverShowsAPieceOfASecret();
    void logRowsFollowInOneChangePerFrame();
    void restartPausesBackOffInACrashLoop();
    void launchPaths();

    void reportsTheEndOfARun()
    {
        // The script, the signal another sends (or stopWaiting: the supervisor stops the agent), and the
        // state the run ends in. The agent's own line stays in the log; the state says what it means, once.
        const QList<std::tuple<QString, int, AgentRunState>> table{
            {"out=cannot listen on 0.0.0.0:8765: in use\\n;exit=1", 0,
             AgentRunState::failed("The agent cannot listen on its port: another program is probably using "
                                   "it. Choose another port (Port under Connection, or --port with "
                                   "--headless).")},
            // Far more than one read, written at once before the exit: the report waits for the last three
            // lines.
            {"burst=4000:HOME;out=last 1\\nlast 2\\n;exit=3", 0,
             AgentRunState::failed("Agent exited (status 3). HOME=" + QDir::homePath() +
                                   " | last 1 | last 2")},
            // SIGTERM is a clean end.
            {"out=bye\\n;hang", int(SIGTERM), AgentRunState::stopped()},
            // A stop, waiting as at quit, signals the whole group, then kills an agent that ignores it.
            {"ignore-term;hang", stopWaiting, AgentRunState::stopped()}};
        for (const auto &[script, signal, expected] : table) {
            QTemporaryDir scratch;
            Supervision s;
            const QString grandchild = scratch.filePath("grandchild");
            s.start("grandchild=" + grandchild + ";" + script);
            if (signal > 0) {
                QTRY_COMPARE(s.supervisor.log()->lines().size(), 1);
                ::kill(static_cast<pid_t>(s.supervisor.agentProcessId()), signal);
            } else if (signal < 0) {
                QTRY_VERIFY(FakeAgent::ignores(s.supervisor.agentProcessId(), SIGTERM));
                s.supervisor.stop(true);
                QCOMPARE(s.supervisor.state(), AgentRunState::stopped());
                // The terminate reached the whole group, not the agent alone.
                QTRY_VERIFY(QFileInfo::exists(grandchild + ".term"));
            }
            QTRY_COMPARE(s.supervisor.agentProcessId(), 0);
            QTRY_VERIFY2(s.supervisor.state() == expected,
                         qPrintable(script + ": " + s.supervisor.state().message()));
            QVERIFY(!s.supervisor.restartPending());
            // Whatever the agent started ends with it.
            QTRY_VERIFY(!FakeAgent::isAlive(FakeAgent::readPid(grandchild)));
        }
    }

    void restartsWithBackoffUntilStopped()
    {
        Supervision s;
        s.restart = true;
        QSignalSpy due(&s.supervisor, &AgentSupervisor::restartDue);
        // The one who wanted the restart starts the agent again, as the controller does.
        connect(&s.supervisor, &AgentSupervisor::restartDue, this, [&s] { s.launch(true); });
        s.start("out=relay refused\\n;exit=3");
        // A restart keeps the lines of the runs before it. The pause doubles with every quick exit: 150, 300,
        // 600 ms.
        QTRY_COMPARE_WITH_TIMEOUT(s.supervisor.log()->lines().size(), 3, 5000);
        QElapsedTimer elapsed;
        elapsed.start();
        QTRY_COMPARE_WITH_TIMEOUT(s.supervisor.log()->lines().size(), 4, 5000);
        QVERIFY2(elapsed.elapsed() >= 500, qPrintable(QString::number(elapsed.elapsed())));
        QTRY_VERIFY(s.supervisor.restartPending() && s.supervisor.agentProcessId() == 0);
        QCOMPARE(s.supervisor.state(), AgentRunState::failed("Agent exited (status 3). relay refused"));
        s.supervisor.stop();
        QVERIFY(!due.wait(1300));
    }

    void agentThatCannotStart()
    {
        // None found, a missing file, and one that is there but cannot run, as a damaged install leaves it.
        for (const std::optional<QString> &program :
             {std::optional<QString>(), std::optional<QString>("/nonexistent/ferrowyn-agent"),
              std::optional(QFINDTESTDATA("tst_agent_supervision.cpp"))}) {
            Supervision s(program);
            s.restart = true;
            s.start(QStringLiteral("hang"));
            // Told as a failure with the reason, and never restarted into the same failure.
            QTRY_VERIFY(s.supervisor.state().isFailed());
            const QString shown = s.supervisor.state().message();
            const QString prefix = AgentSupervisor::launchFailurePrefix;
            // Without an agent, the user learns where it was looked for and how to get it back.
            QVERIFY2(program ? shown.startsWith(prefix) && shown.size() > prefix.size()
                             : shown.contains("/a/ferrowyn-agent and /b/ferrowyn-agent") &&
                                   shown.contains("apt install --reinstall ferrowyn-host") &&
                                   !shown.contains("bundle"),
                     qPrintable(shown));
            QVERIFY(s.supervisor.restartCannotMend() && !s.supervisor.restartPending() &&
                    !s.supervisor.isActive());
        }
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

void AgentSupervisionTest::storageProblemsStandUntilWrittenAgain()
{
    AgentStorageProblems problems;
    const auto mask = [](const QString &line) {
        return QString(line).replace("s3cret", "redacted");
    };
    const QString devices = AgentStorageReport::failed(AgentStorageReport::trustedDevices, "x (s3cret)");
    const QString codec = AgentStorageReport::failed(AgentStorageReport::relayCodecState, "y");
    // Only the agent's own subjects count: a line a program prints cannot raise a warning of its choosing.
    QVERIFY(
        !problems.observe({"cannot save the world: z", "cannot save the trusted devicesX: z", "hi"}, mask));
    QVERIFY(problems.observe({devices, codec}, mask));
    QVERIFY(!problems.observe({devices}, mask));
    QCOMPARE(problems.warning().count('\n'), 1);
    QVERIFY(problems.warning().contains("cannot save the trusted devices: x (redacted)"));
    QVERIFY(problems.observe({AgentStorageReport::recovered(AgentStorageReport::trustedDevices)}, mask));
    QVERIFY(!problems.warning().contains("trusted devices"));
    QVERIFY(problems.warning().contains("relay codec state"));
}

void AgentSupervisionTest::splitsBrokenBytes()
{
    // Breaks, the length limit and reads cutting lines and characters are checked against any stream by the
    // line-splitter fuzz target, which leaves open how many U+FFFD a broken sequence becomes. Skipped output
    // showing no fragment is the controller's launch tests' job.
    AgentOutputLineSplitter splitter;
    QStringList lines;
    for (const char *piece : {"ok \xff \x80 a\xe2\x82", "x\n", "end \xe2\x82"})
        splitter.feed(piece, lines);
    splitter.finish(lines);
    QCOMPARE(lines, QStringList({u"ok \uFFFD \uFFFD a\uFFFD\uFFFDx"_qs, u"end \uFFFD\uFFFD"_qs}));
}

void AgentSupervisionTest::logNeverShowsAPieceOfASecret()
{
    const QByteArray filler(65516, 'x');
    const QByteArray secret = token.toUtf8();
    // The output, in one read, and the lines shown, joined. A cut across a secret, at the real limit and
    // whatever the reads, is the agent-output fuzz target's.
    const QList<std::pair<QByteArray, QString>> table{
        // A line that never ends, cut twice.
        {filler + secret + filler + secret + filler, filler + "redacted" + filler + "redacted" + filler},
        // Stopped after the start of a secret, or after a whole one and the start of another.
        {"tok=" + secret.left(21), "tok=redacted"},
        {"a " + secret + " b " + secret.left(8), "a redacted b redacted"},
        // Too short a start to be told from text.
        {"tok=" + secret.left(7), "tok=" + token.left(7)}};
    for (const auto &[output, shown] : table) {
        AgentOutputLog log([] { return QStringList{token}; }, 1000);
        log.take(QProcess::StandardOutput, output);
        log.publish();
        log.finishStreams();
        QCOMPARE(log.lines().join(QString()), shown);
        // The lines are pieces of the text above, which holds no piece of the secret. An unfinished line is
        // shown whole; only a line still growing is cut.
        for (const QString &line : log.lines())
            QVERIFY(line.size() <= AgentOutputLineSplitter::defaultMaxLineLength +
                                       HostSecretRedactor::longestFormLength({token}));
    }
}

void AgentSupervisionTest::logRowsFollowInOneChangePerFrame()
{
    AgentOutputLog log({}, 5);
    QSignalSpy inserted(&log, &QAbstractItemModel::rowsInserted);
    for (int i = 0; i < 12; ++i) {
        log.take(QProcess::StandardError, "ERROR " + QByteArray::number(i) + "\n");
        log.publish();
    }
    QCOMPARE(log.rowCount(), 0);
    QTRY_COMPARE(log.rowCount(), 5);
    QCOMPARE(inserted.count(), 1);
    QCOMPARE(log.index(0).data().toString(), "ERROR 7");
    QVERIFY(log.index(4).data(AgentOutputLog::errorRole).toBool());
    log.take(QProcess::StandardOutput, "line 12\n");
    log.publish();
    QTRY_COMPARE(inserted.count(), 2);
    QVERIFY(log.index(4).data().toString() == "line 12" &&
            !log.index(4).data(AgentOutputLog::errorRole).toBool());
}

void AgentSupervisionTest::restartPausesBackOffInACrashLoop()
{
    // Runs of the given length, one after the other, and the pause each one is followed by.
    const QList<std::pair<std::chrono::milliseconds, std::chrono::milliseconds>> runs{
        {200ms, 1500ms}, {3s, 3000ms},  {0ms, 6000ms},  {9s, 12000ms}, {1s, 24000ms}, {1s, 48000ms},
        {1s, 60000ms},   {1s, 60000ms}, {20s, 60000ms}, {60s, 1500ms}, {1s, 1500ms},  {1s, 3000ms},
        {30s, 6000ms},   {30s, 6000ms}, {2s, 6000ms},   {61s, 1500ms}};
    AgentRestartBackoff backoff;
    for (qsizetype i = 0; i < runs.size(); ++i)
        QVERIFY2(backoff.delayAfterRun(runs.at(i).first) == runs.at(i).second,
                 qPrintable(QString::number(i)));
    backoff.reset();
    QCOMPARE(backoff.delayAfterRun(0ms), 1500ms);
}

void AgentSupervisionTest::launchPaths()
{
    const QString node = home + "/.nvm/versions/node/";
    // Node versions sort as plain strings; 7.0.0 is listed but has no bin folder. Linux folders come last.
    QCOMPARE(AgentLaunchPlan::augmentedToolPath(
                 "/usr/local/bin::/usr/bin:/usr/bin", home,
                 probe({node + "18.0.0/bin", node + "9.2.0/bin", "/usr/local/bin", home + "/.cargo/bin",
                        home + "/.local/bin", "/opt/homebrew/bin"})),
             "/usr/local/bin:/usr/bin:/usr/bin:" + node + "9.2.0/bin:" + node +
                 "18.0.0/bin:/opt/homebrew/bin:" + home + "/.local/bin:" + home + "/.cargo/bin");
    QCOMPARE(AgentLaunchPlan::augmentedToolPath(std::nullopt, home, probe({home + "/go/bin"})),
             "/usr/bin:/bin:/usr/sbin:/sbin:" + home + "/go/bin");
    // The copy beside the host wins over an installed one, which is taken only when it can run (when it is
    // the only one, the package test finds it).
    const QString beside = "/opt/fw/bin/ferrowyn-agent";
    const QString libexec = "/opt/fw/libexec/ferrowyn/ferrowyn-agent";
    QCOMPARE(AgentLaunchPlan::locateAgent("/opt/fw/bin", probe({beside}, {libexec})), beside);
    QCOMPARE(AgentLaunchPlan::locateAgent("/opt/fw/bin", probe({libexec})), std::nullopt);
    // What the agent is launched with on every route is the controller's launch tests' job. The digest is the
    // first half of SHA-256 over "host_X\ns-1"; agents of every release must find the relay's state there.
    QCOMPARE(AgentLaunchPlan::relayCodecStatePath(home, "host_X", "s-1", HostRelayVersion::goV1),
             home + "/.ferrowyn/relay-codec-state/goV1-6bd10146b18d6003777367c01cc8a396.json");
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (qEnvironmentVariableIsSet(playHostVariable))
        return playHost();
    AgentSupervisionTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_agent_supervision.moc"
