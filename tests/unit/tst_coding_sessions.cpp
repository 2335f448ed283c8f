#include "App/CommandLine/AttachedTerminal.h"
#include "App/CommandLine/SessionCommands.h"
#include "Services/Sessions/CodingWork.h"
#include "Services/Sessions/SessionsState.h"
#include "Services/Sessions/SessionsWatcher.h"
#include "Services/Settings/HostingSettings.h"
#include "Services/Supervision/AgentLaunchPlan.h"
#include "SessionsList.h"
#include "TestFiles.h"

#include <QSignalSpy>
#include <QTemporaryDir>

// Coding sessions as the host knows them: the agent's list read as the host trusts it, what tablets may start
// and what a folder may then promise, the questions asked before sessions end, and the launch options that
// carry the programs to the agent.

namespace {

const QString first = QStringLiteral("00000000000000a1");
const QString second = QStringLiteral("00000000000000b2");

HostedSession session(const QString &id, const QString &openedAt, int tablets = 1)
{
    return {id,          "/w/" + id,   "codex",
            "dev-" + id, "iPad " + id, QDateTime::fromString(openedAt, Qt::ISODate),
            tablets};
}

QByteArray entry(const QString &id, const QString &openedAt, int tablets = 1)
{
    return QJsonDocument(sessionEntry(session(id, openedAt, tablets))).toJson(QJsonDocument::Compact);
}

QByteArray state(const QList<QByteArray> &entries, int format = 1)
{
    return "{\"format\":" + QByteArray::number(format) + ",\"sessions\":[" +
           QByteArrayList(entries).join(',') + "]}";
}

} // namespace

class CodingSessionsTest : public QObject {
    Q_OBJECT

private slots:
    void stateFile_data();
    void stateFile();
    void listFollowsTheFolderWithoutPolling();
    void attachedTerminal();
    void programs_data();
    void programs();
    void folderVerdict_data();
    void folderVerdict();
    void askedBeforeSessionsEnd_data();
    void askedBeforeSessionsEnd();
    void launchOptions_data();
    void launchOptions();
};

void CodingSessionsTest::stateFile_data()
{
    QTest::addColumn<std::optional<QByteArray>>("file");
    QTest::addColumn<QStringList>("folders");
    QTest::addColumn<SessionsState::Status>("status");
    QTest::addColumn<QList<HostedSession>>("sessions");
    const QString early = "2026-12-07T09:00:00Z", late = "2026-12-07T10:30:00Z";
    const QByteArray both = state({entry(second, late, 2), entry(first, early, 0)});
    using enum SessionsState::Status;
    QTest::newRow("no file: no session, whatever folder is there (one opening)")
        << std::optional<QByteArray>() << QStringList{first} << Missing << QList<HostedSession>();
    QTest::newRow("listed, oldest first") << std::optional(both) << QStringList{first, second} << Listed
                                          << QList{session(first, early, 0), session(second, late, 2)};
    QTest::newRow("a listed session whose folder went ended without an agent")
        << std::optional(both) << QStringList{second} << Listed << QList{session(second, late, 2)};
    QTest::newRow("entries that are no session are skipped, the others kept")
        << std::optional(state({"7", "{}", entry("../../../tmp/x", late), entry("00000000000000A1", late),
                                entry(first, early, -3)}))
        << QStringList{first, "00000000000000A1"} << Listed << QList{session(first, early, 0)};
    // What cannot be read costs no session: each folder's own record stands in, without a count of tablets.
    QTest::newRow("not JSON") << std::optional<QByteArray>("{\"format\":1,\"sess") << QStringList{first}
                              << Damaged << QList{session(first, early, 0)};
    QTest::newRow("a format this host does not know")
        << std::optional(state({entry(first, early)}, 2)) << QStringList{first} << Damaged
        << QList{session(first, early, 0)};
    HostedSession unrecorded;
    unrecorded.id = second;
    QTest::newRow("damaged, and a record damaged too: the session is still there to end")
        << std::optional<QByteArray>("{\"format\":1,\"sessions\":{}}") << QStringList{second, "stray", first}
        << Damaged << QList{unrecorded, session(first, early, 0)};
    QTest::newRow("no folders, no sessions")
        << std::optional(both) << QStringList() << Listed << QList<HostedSession>();
}

void CodingSessionsTest::stateFile()
{
    QFETCH(std::optional<QByteArray>, file);
    QFETCH(QStringList, folders);
    QFETCH(SessionsState::Status, status);
    QFETCH(QList<HostedSession>, sessions);
    const QMap<QString, QByteArray> records{{first, entry(first, "2026-12-07T09:00:00Z", 5)},
                                            {second, "{\"id\":"}};
    const SessionsState::Contents contents =
        SessionsState::parse(file, folders, [&](const QString &id) { return records.value(id); });
    QCOMPARE(contents.status, status);
    QCOMPARE(contents.sessions, sessions);
}

// The agent rewrites its list and makes and removes session folders; the watcher hears of each through the
// kernel, and of nothing while nothing changes.
void CodingSessionsTest::listFollowsTheFolderWithoutPolling()
{
    QTemporaryDir root;
    const QString runtime = root.filePath("ferrowyn");
    SessionsWatcher watcher(runtime);
    QCOMPARE(watcher.contents().status, SessionsState::Status::Missing);
    QCOMPARE(QFileInfo(SessionFiles::sessionsFolder(runtime)).permissions() & 0x0777,
             QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser);
    QSignalSpy changed(&watcher, &SessionsWatcher::changed);
    listSessions(runtime,
                 {session(first, "2026-12-07T09:00:00Z", 0), session(second, "2026-12-07T10:00:00Z")});
    QTRY_COMPARE(watcher.sessions().size(), 2);
    // A tablet attaches: the same sessions, a new count.
    listSessions(runtime,
                 {session(first, "2026-12-07T09:00:00Z", 1), session(second, "2026-12-07T10:00:00Z")});
    QTRY_COMPARE(watcher.sessions().constFirst().tablets, 1);
    // A session ended while no agent ran: its folder went, its entry stays.
    QVERIFY(QDir(SessionFiles::sessionFolder(runtime, first)).removeRecursively());
    QTRY_COMPARE(watcher.sessions().size(), 1);
    QVERIFY(watcher.find(second) && !watcher.find(first));
    QVERIFY(changed.size() >= 3);
    // Nothing changes, nothing is read and nothing is announced.
    QVERIFY(!changed.wait(200));
    // A holder ended without an agent: its record of the end is left for the next agent, and no session runs.
    QVERIFY(writeFile(SessionFiles::endRecord(SessionFiles::sessionFolder(runtime, second)), "signal 1\n"));
    watcher.reload();
    QCOMPARE(watcher.sessions(), QList<HostedSession>());
}

// The terminal attached by --attach leaves at Ctrl-], in whichever form the terminal types it, and a replayed
// tail starts at a line.
void CodingSessionsTest::attachedTerminal()
{
    using AttachedTerminal::detachKeyAt;
    QCOMPARE(detachKeyAt("ls\r\x1d"), std::optional<qsizetype>(3));
    QCOMPARE(detachKeyAt("a\x1b[27;5;93~b\x1b[93;5u"), std::optional<qsizetype>(1));
    QCOMPARE(detachKeyAt("\x1b[93;5~\x1b[93u\x03\x1c"), std::optional<qsizetype>());
    bool skipping = true;
    QCOMPARE(AttachedTerminal::shownOfTail("\x9f;1H", skipping), QByteArrayView());
    QCOMPARE(AttachedTerminal::shownOfTail("2m\r\nline\n", skipping), "line\n");
    QCOMPARE(AttachedTerminal::shownOfTail("\x1b[2Jmore\n", skipping), "\x1b[2Jmore\n");
}

void CodingSessionsTest::programs_data()
{
    QTest::addColumn<QStringList>("typed");
    QTest::addColumn<QStringList>("kept");
    QTest::newRow("trimmed, each once, in order")
        << QStringList{" aider", "codex ", "", "  ", "aider"} << QStringList{"aider", "codex"};
    QTest::newRow("an absolute path is a program, a relative one is found nowhere")
        << QStringList{"/opt/bin/claude", "bin/codex", "./codex"} << QStringList{"/opt/bin/claude"};
    QTest::newRow("the shell has its own switch") << QStringList{"shell", "codex"} << QStringList{"codex"};
    QTest::newRow("nothing that reads as an option or drives a terminal")
        << QStringList{"--allow-shell", "-x", "co\ndex", "co\x1b[2Jdex", "aider"} << QStringList{"aider"};
    QTest::newRow("none at all") << QStringList{} << QStringList{};
}

void CodingSessionsTest::programs()
{
    QFETCH(QStringList, typed);
    QFETCH(QStringList, kept);
    QCOMPARE(CodingWork::normalizedPrograms(typed), kept);
}

void CodingSessionsTest::folderVerdict_data()
{
    QTest::addColumn<QStringList>("programs");
    QTest::addColumn<bool>("shell");
    QTest::addColumn<QStringList>("installed");
    QTest::addColumn<QString>("verdict");
    QTest::newRow("Codex can run: the promise holds")
        << QStringList{"codex"} << false << QStringList{"/home/ada/.local/bin/codex"}
        << "Ready for remote Codex work.";
    QTest::newRow("Codex allowed, not installed")
        << QStringList{"codex"} << false << QStringList{}
        << "Ready for files only: codex is not installed on this computer.";
    QTest::newRow("Codex missing, another program there")
        << QStringList{"codex", "/opt/aider"} << true << QStringList{"/opt/aider"}
        << "Ready for remote work with /opt/aider, a terminal shell; codex is not installed on this "
           "computer.";
    QTest::newRow("Codex not allowed, the shell is") << QStringList{} << true << QStringList{"/usr/bin/codex"}
                                                     << "Ready for remote work with a terminal shell.";
    QTest::newRow("nothing allowed") << QStringList{} << false << QStringList{}
                                     << "Ready for files only: tablets may start no program in a session.";
    QTest::newRow("nothing allowed is installed")
        << QStringList{"aider"} << false << QStringList{}
        << "Ready for files only: none of the programs tablets may start is installed.";
}

void CodingSessionsTest::folderVerdict()
{
    QFETCH(QStringList, programs);
    QFETCH(bool, shell);
    QFETCH(QStringList, installed);
    QFETCH(QString, verdict);
    const FileProbe probe{[](const QString &) { return false; },
                          [installed](const QString &path) { return installed.contains(path); },
                          [](const QString &) {
                              return QStringList();
                          }};
    const auto found = CodingWork::installedOn("/usr/bin:/home/ada/.local/bin", probe);
    QCOMPARE(CodingWork::readyMessage(programs, shell, found), verdict);
}

void CodingSessionsTest::askedBeforeSessionsEnd_data()
{
    QTest::addColumn<QString>("request");
    QTest::addColumn<QString>("sessionId");
    QTest::addColumn<int>("running");
    QTest::addColumn<QString>("question");
    QTest::newRow("stop, none running") << "stop" << QString() << 0 << QString();
    QTest::newRow("stop, one") << "stop" << QString() << 1
                               << "1 coding session is running. Stopping hosting ends it, and the program "
                                  "running in it.";
    QTest::newRow("quit, two") << "quit" << QString() << 2
                               << "2 coding sessions are running. Quitting Ferrowyn Host ends them, and the "
                                  "programs running in them.";
    QTest::newRow("a restart keeps them") << "start" << QString() << 2 << QString();
    QTest::newRow("ending one names it, as plain text")
        << "end-session" << second << 2
        << QString("End codex in /w/%1\uFFFD[2J? The program ends with it; tablets attached to it are told.")
               .arg(second);
    QTest::newRow("ending one that is not there asks nothing") << "end-session"
                                                               << "00000000000000ff" << 2 << QString();
}

void CodingSessionsTest::askedBeforeSessionsEnd()
{
    QFETCH(QString, request);
    QFETCH(QString, sessionId);
    QFETCH(int, running);
    QFETCH(QString, question);
    QJsonArray sessions;
    for (int i = 0; i < running; ++i) {
        const QString id = i == 0 ? first : second;
        sessions.append(QJsonObject{{"id", id}, {"program", "codex"}, {"folder", "/w/" + id + "\x1b[2J"}});
    }
    QCOMPARE(SessionCommands::question(request, sessionId, {{"sessions", sessions}}), question);
    // A headless run pinning only its own folders says first what the agent will end ("/w-b" is not in "/w").
    QCOMPARE(CodingWork::unpinQuestion(CodingWork::endedWithout({"/w/a", "/w-b", "/x", "/w"}, {"/w/", "/y"})),
             "Unpinning ends 2 coding sessions, and the programs running in them.");
}

void CodingSessionsTest::launchOptions_data()
{
    QTest::addColumn<QStringList>("programs");
    QTest::addColumn<bool>("shell");
    QTest::addColumn<QStringList>("options");
    QTest::newRow("several, and the shell")
        << QStringList{"codex", "/opt/aider"} << true
        << QStringList{"--session-program", "codex", "--session-program", "/opt/aider", "--allow-shell"};
    QTest::newRow("none: no program may be started") << QStringList{} << false << QStringList{};
    QTest::newRow("only the shell") << QStringList{} << true << QStringList{"--allow-shell"};
}

void CodingSessionsTest::launchOptions()
{
    QFETCH(QStringList, programs);
    QFETCH(bool, shell);
    QFETCH(QStringList, options);
    for (const HostingMode mode : {HostingMode::lan, HostingMode::relay}) {
        HostingSettings settings;
        settings.mode = mode;
        settings.workspaces = {"/w"};
        const QStringList routeOptions = AgentLaunchPlan::arguments(settings, "/state.json");
        settings.sessionPrograms = programs;
        settings.allowShell = shell;
        // After the route's options, so each keeps its value.
        QCOMPARE(AgentLaunchPlan::arguments(settings, "/state.json"), routeOptions + options);
    }
}

QTEST_GUILESS_MAIN(CodingSessionsTest)
#include "tst_coding_sessions.moc"
