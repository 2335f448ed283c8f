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
    void stateFile();
    void listFollowsTheFolderWithoutPolling();
    void attachedTerminal();
    void programs();
    void folderVerdict();
    void askedBeforeSessionsEnd();
    void launchOptions();
};

void CodingSessionsTest::stateFile()
{
    const QString early = "2026-12-07T09:00:00Z", late = "2026-12-07T10:30:00Z";
    const QByteArray both = state({entry(second, late, 2), entry(first, early, 0)});
    const QMap<QString, QByteArray> records{{first, entry(first, early, 5)}, {second, "{\"id\":"}};
    HostedSession bare; // of a session whose record cannot be read
    bare.id = second;
    const HostedSession a0 = session(first, early, 0), b2 = session(second, late, 2);
    const QString upper = QStringLiteral("00000000000000A1");
    const QByteArray junk =
        state({"7", "{}", entry("../../../tmp/x", late), entry(upper, late), entry(first, early, -3)});
    const QByteArray broken = "{\"format\":1,\"sessions\":{}}";
    using enum SessionsState::Status;
    // What the case is, the list file (none: no file), the session folders there, and what the host reads.
    const QList<std::tuple<const char *, std::optional<QByteArray>, QStringList, SessionsState::Status,
                           QList<HostedSession>>>
        table{
            {"no file: no session, whatever folder is there (one opening)", {}, {first}, Missing, {}},
            {"listed, oldest first", both, {first, second}, Listed, {a0, b2}},
            {"a listed session whose folder went ended without an agent", both, {second}, Listed, {b2}},
            {"entries that are no session are skipped, the others kept", junk, {first, upper}, Listed, {a0}},
            // What cannot be read costs no session: each folder's own record stands in, without a count of
            // tablets.
            {"not JSON", "{\"format\":1,\"sess", {first}, Damaged, {a0}},
            {"a format this host does not know", state({entry(first, early)}, 2), {first}, Damaged, {a0}},
            {"damaged, a record too: still there", broken, {second, "stray", first}, Damaged, {bare, a0}},
            {"no folders, no sessions", both, {}, Listed, {}}};
    for (const auto &[name, file, folders, status, sessions] : table) {
        const SessionsState::Contents contents =
            SessionsState::parse(file, folders, [&](const QString &id) { return records.value(id); });
        QVERIFY2(contents.status == status && contents.sessions == sessions, name);
    }
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

void CodingSessionsTest::programs()
{
    // What was typed, and the programs kept.
    const QList<std::pair<QStringList, QStringList>> table{
        // Trimmed, each once, in order.
        {{" aider", "codex ", "", "  ", "aider"}, {"aider", "codex"}},
        // An absolute path is a program, a relative one is found nowhere.
        {{"/opt/bin/claude", "bin/codex", "./codex"}, {"/opt/bin/claude"}},
        // The shell has its own switch.
        {{"shell", "codex"}, {"codex"}},
        // Nothing that reads as an option or drives a terminal.
        {{"--allow-shell", "-x", "co\ndex", "co\x1b[2Jdex", "aider"}, {"aider"}},
        {{}, {}}};
    for (const auto &[typed, kept] : table)
        QCOMPARE(CodingWork::normalizedPrograms(typed), kept);
}

void CodingSessionsTest::folderVerdict()
{
    // The programs tablets may start, whether the shell is allowed, what is installed, and the verdict.
    const QList<std::tuple<QStringList, bool, QStringList, QString>> table{
        // Codex can run: the promise holds.
        {{"codex"}, false, {"/home/ada/.local/bin/codex"}, "Ready for remote Codex work."},
        {{"codex"}, false, QStringList(), "Ready for files only: codex is not installed on this computer."},
        {{"codex", "/opt/aider"},
         true,
         {"/opt/aider"},
         "Ready for remote work with /opt/aider, a terminal shell; codex is not installed on this computer."},
        {{}, true, {"/usr/bin/codex"}, "Ready for remote work with a terminal shell."},
        {{}, false, QStringList(), "Ready for files only: tablets may start no program in a session."},
        {{"aider"},
         false,
         QStringList(),
         "Ready for files only: none of the programs tablets may start is installed."}};
    for (const auto &[programs, shell, installed, verdict] : table) {
        // Only whether a file can run is asked.
        const FileProbe probe{{}, [&installed](const QString &path) { return installed.contains(path); }, {}};
        const auto found = CodingWork::installedOn("/usr/bin:/home/ada/.local/bin", probe);
        QCOMPARE(CodingWork::readyMessage(programs, shell, found), verdict);
    }
}

void CodingSessionsTest::askedBeforeSessionsEnd()
{
    const QString stopping =
        "1 coding session is running. Stopping hosting ends it, and the program running in it.";
    const QString quitting =
        "2 coding sessions are running. Quitting Ferrowyn Host ends them, and the programs "
        "running in them.";
    // Ending one names it, as plain text.
    const QString ending =
        QString("End codex in /w/%1\uFFFD[2J? The program ends with it; tablets attached to it are told.")
            .arg(second);
    // The request, the session it names, how many run, and the question asked first (none: it goes ahead). A
    // restart keeps them; one that is not there is asked nothing about.
    const QList<std::tuple<QString, QString, int, QString>> table{
        {"stop", {}, 0, {}},  {"stop", {}, 1, stopping},          {"quit", {}, 2, quitting},
        {"start", {}, 2, {}}, {"end-session", second, 2, ending}, {"end-session", "00000000000000ff", 2, {}}};
    for (const auto &[request, sessionId, running, question] : table) {
        QJsonArray sessions;
        for (int i = 0; i < running; ++i) {
            const QString id = i == 0 ? first : second;
            sessions.append(
                QJsonObject{{"id", id}, {"program", "codex"}, {"folder", "/w/" + id + "\x1b[2J"}});
        }
        QCOMPARE(SessionCommands::question(request, sessionId, {{"sessions", sessions}}), question);
    }
    // A headless run pinning only its own folders says first what the agent will end ("/w-b" is not in "/w").
    QCOMPARE(CodingWork::unpinQuestion(CodingWork::endedWithout({"/w/a", "/w-b", "/x", "/w"}, {"/w/", "/y"})),
             "Unpinning ends 2 coding sessions, and the programs running in them.");
}

void CodingSessionsTest::launchOptions()
{
    // The programs, whether the shell is allowed, and the options that follow the route's own.
    const QList<std::tuple<QStringList, bool, QStringList>> table{
        {{"codex", "/opt/aider"},
         true,
         {"--session-program", "codex", "--session-program", "/opt/aider", "--allow-shell"}},
        // None: no program may be started.
        {QStringList(), false, QStringList()},
        {QStringList(), true, {"--allow-shell"}}};
    for (const auto &[programs, shell, options] : table) {
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
}

QTEST_GUILESS_MAIN(CodingSessionsTest)
#include "tst_coding_sessions.moc"
