// Coding sessions from the host's side: ending them through their holders when no agent can be asked, this
// computer's terminal attached to a holder, and one broad run of the real host with the real agent, a Python
// tablet and the command line.
#include "AgentControllerHarness.h"
#include "App/HostSession.h"
#include "Platform/SingleInstance.h"
#include "Services/Sessions/SessionHolder.h"
#include "SessionsList.h"
#include "TestFiles.h"

#include <QLocalSocket>
#include <QProcess>
#include <QScopeGuard>

#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>

namespace {

bool holderRuns(const QString &runtime, const QString &id)
{
    QLocalSocket socket;
    socket.connectToServer(SessionFiles::holderSocket(SessionFiles::sessionFolder(runtime, id)));
    return socket.waitForConnected(5000);
}

// A session as an agent leaves it: its holder running `program` in its folder.
void startHolder(const QString &runtime, const QString &id, const QStringList &program)
{
    const QString folder = SessionFiles::sessionFolder(runtime, id);
    QVERIFY(QDir().mkpath(folder));
    const QStringList options{"--folder", folder, "--cwd", "/", "--size", "80x24", "--"};
    QCOMPARE(QProcess::execute(FERROWYN_SESSION_PATH, options + program), 0);
}

// Every holder a test left behind.
void endHolders(const QString &runtime)
{
    SessionHolder::endAndWait(runtime, SessionsState::folderIds(runtime), std::chrono::seconds(5));
}

// Sessions as an agent leaves them, all in its list.
void leaveSessions(const QString &runtime, const QList<std::pair<QString, QString>> &sessions)
{
    QList<HostedSession> listed;
    for (const auto &[id, device] : sessions) {
        if (!holderRuns(runtime, id))
            startHolder(runtime, id, {"/bin/sleep", "600"});
        listed.append({id, "/w", "codex", device, device,
                       QDateTime::fromString("2026-12-07T09:00:00Z", Qt::ISODate), 0});
    }
    listSessions(runtime, listed);
}

} // namespace

class HostSessionsTest : public QObject {
    Q_OBJECT

private slots:
    void endsSessionsThroughHoldersWhenNoAgentCanBeAsked();
    void attachesThisTerminal();
    void hostAgentTabletAndCommandLine();
    void cleanup();

private:
    // Asks the running host from the command line, as a user would; the event loop serves the host meanwhile.
    std::pair<int, QString> command(const QStringList &arguments, const QByteArray &input = {});
    // The tablet's next line: its answer, or all it said when no answer came.
    QString tablet();

    QStringList m_runtimes;
    std::unique_ptr<QProcess> m_tablet;
    QByteArray m_tabletOutput;
};

void HostSessionsTest::cleanup()
{
    if (m_tablet) {
        m_tablet->kill();
        m_tablet->waitForFinished(5000);
    }
    m_tablet.reset();
    for (const QString &runtime : std::as_const(m_runtimes))
        endHolders(runtime);
    m_runtimes.clear();
}

// The stand-in agent answers no control request: every way hosting ends sessions falls back to the holders'
// sockets, and a restart ends none.
void HostSessionsTest::endsSessionsThroughHoldersWhenNoAgentCanBeAsked()
{
    AgentControllerHarness h;
    const QString runtime = h.controller->sessions().runtimeFolder();
    m_runtimes.append(runtime);
    // A failure leaves the sessions' holders running: they go before their folders do.
    const auto endLeftovers = qScopeGuard([this] { cleanup(); });
    // The program was hung up, and the holder's record of it is left for the next agent.
    const auto ended = [&runtime](const QString &id) {
        return !holderRuns(runtime, id) &&
               fileContents(SessionFiles::endRecord(SessionFiles::sessionFolder(runtime, id))) ==
                   "signal 1\n";
    };
    const QString a1 = "00000000000000a1", a2 = "00000000000000a2", b1 = "00000000000000b1";
    leaveSessions(runtime, {{a1, "dev-a"}, {a2, "dev-a"}, {b1, "dev-b"}});
    QTRY_COMPARE(h.controller->sessions().sessions().size(), 3);

    // No agent: one ends by its id; a revoked device's end, the others' go on.
    h.controller->endSession(a1);
    QTRY_VERIFY(ended(a1));
    h.controller->revokeDevice("dev-b", &h.preferences);
    QTRY_VERIFY(ended(b1));
    QVERIFY(holderRuns(runtime, a2));
    QTRY_COMPARE(h.controller->sessions().sessions().size(), 1);

    // A restart, for a settings change or after a crash, ends none.
    h.preferences.setKeepRelayOnline(true);
    h.start("exit=1");
    QTRY_VERIFY(h.controller->restartPending());
    h.run();
    QVERIFY(holderRuns(runtime, a2));

    // A rotation ends every session at once, whoever opened it: the pairing may have leaked.
    const QString d1 = "00000000000000d1";
    leaveSessions(runtime, {{a2, "dev-a"}, {d1, "dev-d"}});
    QTRY_COMPARE(h.controller->sessions().sessions().size(), 2);
    h.controller->stop(true);
    QVERIFY(holderRuns(runtime, d1));
    h.controller->rotatePairing(&h.preferences);
    QTRY_VERIFY(ended(a2) && ended(d1));

    // Quitting ends them before it returns.
    const QString e1 = "00000000000000e1";
    leaveSessions(runtime, {{e1, "dev-a"}});
    h.run();
    h.controller->stopHostingAndWait();
    QVERIFY(ended(e1));
    QCOMPARE(h.controller->agentProcessId(), 0);
}

// This computer's terminal attached to a holder: it shows what the program printed before and after, its keys
// reach the program, the program takes its size at the start and when it changes, Ctrl-] leaves the session
// running and the terminal as it was, and a terminal attached again is told how the program ended.
void HostSessionsTest::attachesThisTerminal()
{
    QTemporaryDir home;
    qputenv("XDG_RUNTIME_DIR", home.path().toUtf8());
    const QString runtime = SessionFiles::runtimeFolder(QProcessEnvironment::systemEnvironment());
    m_runtimes.append(runtime);
    const auto endLeftovers = qScopeGuard([this] { cleanup(); });
    const QString id = "00000000000000c1";
    startHolder(runtime, id,
                {"/bin/sh", "-c",
                 "echo started; while read -r line; do [ $line = end ] && exit 7; echo \"typed $line\"; "
                 "stty size; done"});

    winsize size{30, 100, 0, 0};
    int terminal = -1;
    QByteArray screen;
    const auto attach = [&] {
        const pid_t child = ::forkpty(&terminal, nullptr, nullptr, &size);
        if (child == 0) {
            ::execl(FERROWYN_HOST_PATH, FERROWYN_HOST_PATH, "--attach", "00000000000000c1", nullptr);
            ::_exit(127);
        }
        ::fcntl(terminal, F_SETFL, O_NONBLOCK);
        screen.clear();
        return child > 0;
    };
    const auto shows = [&](const QByteArray &text) {
        char chunk[4096];
        for (ssize_t count; (count = ::read(terminal, chunk, sizeof chunk)) > 0;)
            screen.append(chunk, count);
        return screen.contains(text);
    };
    QVERIFY(attach());
    QTRY_VERIFY2(shows("started"), screen.constData());
    QCOMPARE(::write(terminal, "one\r", 4), 4);
    QTRY_VERIFY2(shows("typed one\r\n30 100"), screen.constData());
    size = {40, 120, 0, 0};
    QCOMPARE(::ioctl(terminal, TIOCSWINSZ, &size), 0);
    QCOMPARE(::write(terminal, "two\r", 4), 4);
    QTRY_VERIFY2(shows("typed two\r\n40 120"), screen.constData());

    // Qt reaps the children it did not start: what --attach says last tells that it left, after the terminal
    // was restored.
    QCOMPARE(::write(terminal, "\x1d", 1), 1);
    QTRY_VERIFY2(shows("Detached;"), screen.constData());
    termios modes{};
    QVERIFY(::tcgetattr(terminal, &modes) == 0 && (modes.c_lflag & (ICANON | ECHO)) == (ICANON | ECHO));
    ::close(terminal);
    QVERIFY(holderRuns(runtime, id));

    QVERIFY(attach());
    QTRY_VERIFY2(shows("typed two"), screen.constData());
    QCOMPARE(::write(terminal, "end\r", 4), 4);
    QTRY_VERIFY2(shows("The program ended with exit status 7."), screen.constData());
    ::close(terminal);
}

std::pair<int, QString> HostSessionsTest::command(const QStringList &arguments, const QByteArray &input)
{
    QProcess process;
    process.start(QStringLiteral(FERROWYN_HOST_PATH), arguments);
    process.write(input);
    process.closeWriteChannel();
    [&] {
        QTRY_VERIFY_WITH_TIMEOUT(process.state() == QProcess::NotRunning, 15000);
    }();
    return {process.exitCode(),
            QString::fromUtf8(process.readAllStandardOutput() + process.readAllStandardError())};
}

QString HostSessionsTest::tablet()
{
    [&] {
        QTRY_VERIFY_WITH_TIMEOUT(m_tabletOutput.contains('\n'), 20000);
    }();
    const qsizetype end = m_tabletOutput.indexOf('\n');
    const QString line = QString::fromUtf8(m_tabletOutput.left(end));
    m_tabletOutput.remove(0, end + 1);
    return line;
}

// The real host in this process with the real agent; a Python tablet opens two sessions of the stand-in
// coding agent, and the command line lists and ends them while a settings change restarts the
// agent in between.
void HostSessionsTest::hostAgentTabletAndCommandLine()
{
    QTemporaryDir home;
    const QString runtime = home.filePath("run");
    QVERIFY(QDir().mkpath(runtime) && QDir().mkpath(home.filePath("work/project")) &&
            QDir().mkpath(home.filePath("bin")));
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QVERIFY(QFile::link(FERROWYN_AGENT_TEST_DIR "/fake-codex.sh", home.filePath("bin/codex")));
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_RUNTIME_DIR", runtime.toUtf8());
    qputenv("PATH", home.filePath("bin").toUtf8() + ":/usr/bin:/bin");
    m_runtimes.append(SessionFiles::runtimeFolder(QProcessEnvironment::systemEnvironment()));
    // A failure leaves the sessions' holders running: they go before their folders do.
    const auto endLeftovers = qScopeGuard([this] { cleanup(); });

    JsonFileUserDefaults settings(home.filePath("defaults.json"));
    ScriptedFolderChooser chooser;
    SingleInstance instance;
    QVERIFY(instance.claim());
    HostSession host(settings, settings, true, chooser);
    host.answerRequestsOn(instance);
    host.preferences.setLanPort(freeLoopbackPort());
    host.preferences.setLanBindAll(false);
    host.preferences.setWorkspaces({home.filePath("work")});
    host.presenter.startHosting();
    QTRY_VERIFY_WITH_TIMEOUT(host.presenter.running() && host.presenter.hasSetupLink(), 20000);

    m_tablet = std::make_unique<QProcess>();
    connect(m_tablet.get(), &QProcess::readyReadStandardOutput, this,
            [this] { m_tabletOutput += m_tablet->readAllStandardOutput(); });
    m_tablet->setProcessChannelMode(QProcess::MergedChannels);
    m_tablet->start("/usr/bin/python3", {FERROWYN_AGENT_TEST_DIR "/tablet_client.py",
                                         host.presenter.setupLinkText(), home.filePath("work"), "sessions"});
    for (const char *line : {"paired=True", "trusted=True", "entries=project"})
        QCOMPARE(tablet(), line);
    QStringList ids = tablet().split(' ');
    QCOMPARE(ids.size(), 3);
    QCOMPARE(ids.takeFirst(), "opened");

    // Both listed, with the tablet attached to each.
    const auto listed = [this] {
        const auto [status, text] = command({"--sessions", "--json"});
        return status == 0 ? QJsonDocument::fromJson(text.toUtf8()).object() : QJsonObject();
    };
    // The agent writes the list a moment after a change.
    QJsonObject sessions;
    QTRY_COMPARE((sessions = listed())["sessions"].toArray().size(), 2);
    for (const QJsonValue session : sessions["sessions"].toArray()) {
        QVERIFY(ids.contains(session["id"].toString()));
        QCOMPARE(session["folder"].toString(), QDir(home.filePath("work/project")).canonicalPath());
        QCOMPARE(session["program"].toString(), "codex");
        QCOMPARE(session["tablets"].toInt(), 1);
    }
    QVERIFY(command({"--sessions"}).second.contains(ids[0] + "  codex  "));

    // A settings change restarts the agent, which keeps the sessions and offers the shell from now on.
    const qint64 before = host.controller.agentProcessId();
    host.preferences.setAllowShell(true);
    QTRY_VERIFY_WITH_TIMEOUT(host.presenter.running() && host.controller.agentProcessId() != before, 20000);
    m_tablet->write("reattach\n");
    QCOMPARE(tablet(), "attached codex,shell");
    QCOMPARE(listed()["sessions"].toArray().size(), 2);

    // One ends from the command line, which asks first; its tablet is told.
    const auto [endStatus, endOutput] = command({"--end-session", ids[0]}, "y\n");
    QCOMPARE(endStatus, 0);
    QVERIFY2(endOutput.startsWith("End codex in "), qPrintable(endOutput));
    m_tablet->write("ended " + ids[0].toUtf8() + "\n");
    QCOMPARE(tablet(), "ended " + ids[0] + " host");
    QTRY_COMPARE(listed()["sessions"].toArray().size(), 1);

    // Stopping hosting asks first, and ends the rest; the tablet hears of it before the agent goes.
    const auto [keptStatus, keptOutput] = command({"--stop"}, "n\n");
    QVERIFY(keptStatus == 1 && keptOutput.contains("1 coding session is running."));
    // A stop first lets the agent end the sessions, for at most two seconds.
    QVERIFY(!QTest::qWaitFor([&] { return !host.presenter.running(); }, 3000));
    QCOMPARE(command({"--stop"}, "y\n").first, 0);
    m_tablet->write("ended " + ids[1].toUtf8() + "\n");
    QCOMPARE(tablet(), "ended " + ids[1] + " host");
    QTRY_VERIFY(host.controller.state() == AgentRunState::stopped());
    QTRY_VERIFY(!holderRuns(m_runtimes.constLast(), ids[1]));
    QCOMPARE(SessionsState::folderIds(m_runtimes.constLast()), QStringList());
    host.application.terminate();
}

QTEST_GUILESS_MAIN(HostSessionsTest)
#include "tst_host_sessions.moc"
