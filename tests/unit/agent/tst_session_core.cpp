#include "AgentOptions.h"
#include "Sessions/ExitMarker.h"
#include "Sessions/OutputHistory.h"
#include "Sessions/OutputSpool.h"
#include "Sessions/SessionPrograms.h"
#include "Sessions/TmuxCommands.h"
#include "Sessions/TmuxControlParser.h"
#include "TestFiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using Event = TmuxControlParser::Event;

// The sessions' logic without tmux: reading control mode, the output stream and its files, the commands that
// type, and what a program may be and get.
class SessionCoreTest : public QObject {
    Q_OBJECT

private slots:
    void controlMode();
    void utf8Boundary();
    void exitMarker();
    void history();
    void spool();
    void input();
    void programsAndEnvironment();
};

void SessionCoreTest::controlMode()
{
    const auto describe = [](const QList<Event> &events) {
        QStringList described;
        for (const Event &event : events) {
            if (event.kind == Event::output)
                described.append("o " + QString::fromUtf8(event.data));
            else if (event.kind == Event::exit)
                described.append("x " + QString::fromUtf8(event.data));
            else
                described.append(QString(event.ok ? "+" : "-") + (event.fromCommandLine ? "! " : " ") +
                                 QString::fromUtf8(event.lines.join('|')));
        }
        return described;
    };
    // The text, and one event per entry: 'o' output, '+'/'-' reply (ok or not, '!' from the command line),
    // 'x' exit; then its data or lines joined by '|'. Escapes are undone, bytes above ASCII and a backslash
    // without digits pass, other notices are skipped.
    const QList<std::pair<QByteArray, QStringList>> table{
        {"%output %1 a\\015\\012b\\134\\033[0m\n", {"o a\r\nb\\\x1b[0m"}},
        {"%output %3 \xe2\x82\xac\n", {"o \xe2\x82\xac"}},
        {"%output %1 \\x\\01\n", {"o \\x\\01"}},
        {"%output %1 \\012\n", {"o \n"}},
        {"%begin 1 5 1\nline one\n%end 9 9 9\n%end 1 5 1\n%begin 1 6 0\nno session\n%error 1 6 0\n",
         {"+ line one|%end 9 9 9", "-! no session"}},
        {"%window-add @1\n%sessions-changed\n%exit\n", {"x "}}};
    // Whole, and cut at every byte as a pipe may deliver it: the same messages (output joined per run).
    for (const auto &[text, expected] : table) {
        for (qsizetype cut = 0; cut < text.size(); ++cut) {
            TmuxControlParser parser;
            QList<Event> events;
            parser.feed(text.left(cut), events);
            parser.feed(text.mid(cut), events);
            QCOMPARE(describe(events), expected);
        }
    }
}

void SessionCoreTest::utf8Boundary()
{
    // The bytes, and how many of them end on a whole character; stray continuations are kept, and a byte that
    // is never a lead byte too.
    const QList<std::pair<QByteArray, int>> table{{"", 0},
                                                  {"abc", 3},
                                                  {"a\xe2", 1},
                                                  {"a\xe2\x82", 1},
                                                  {"a\xe2\x82\xac", 4},
                                                  {"\xf0\x9f\x98", 0},
                                                  {"\xf0\x9f\x98\x80", 4},
                                                  {"\x80\x80\x80\x80\x80", 5},
                                                  {"a\xff", 2}};
    for (const auto &[bytes, complete] : table)
        QCOMPARE(completeUtf8Prefix(bytes), complete);
}

void SessionCoreTest::exitMarker()
{
    // The output, what passes through, and the status found (-1: none): plain output, the end, another
    // session's marker, not a status, a beginning that never ends.
    const QList<std::tuple<QByteArray, QByteArray, int>> table{
        {"a\x1b]0;title\x07b", "a\x1b]0;title\x07b", -1},
        {"bye\r\n\x1b]end-1;130\x07", "bye\r\n", 130},
        {"\x1b]end-2;0\x07", "\x1b]end-2;0\x07", -1},
        {"\x1b]end-1;x\x07", "\x1b]end-1;x\x07", -1},
        {"\x1b]end-1;123456789012345", "\x1b]end-1;123456789012345", -1}};
    // Whole, and cut at every byte: a possible beginning is held until the rest tells.
    for (const auto &[output, passed, status] : table) {
        for (qsizetype cut = 0; cut <= output.size(); ++cut) {
            ExitMarker marker("end-1");
            QByteArray through = marker.filter(output.left(cut));
            through += marker.filter(output.mid(cut));
            QCOMPARE(marker.status().value_or(-1), status);
            // Without the end, what was held comes out with the next output; after it, nothing more does.
            through += marker.filter("z");
            QCOMPARE(through, status < 0 ? passed + 'z' : passed);
        }
    }
}

void SessionCoreTest::history()
{
    OutputHistory history(100 * 1024);
    const QByteArray block(70 * 1024, 'x');
    const QByteArray text("ab\u20accd");
    history.append(text);
    QCOMPARE(history.read(0, 3), QByteArray("ab"));
    // A character that does not fit waits for room (the end of a tablet's window); a read that starts inside
    // a character is not UTF-8 there, and is cut where asked.
    QCOMPARE(history.read(2, 2), QByteArray());
    QCOMPARE(history.read(3, 1), text.mid(3, 1));
    QCOMPARE(history.read(2, 10), text.mid(2));
    QCOMPARE(history.read(0, 100), text);
    QCOMPARE(history.read(7, 100), QByteArray());
    // The oldest chunks go once the rest fill the capacity; offsets keep counting from the start.
    for (int i = 0; i < 3; ++i)
        history.append(block);
    QCOMPARE(history.end(), 7 + 3 * block.size());
    QCOMPARE(history.start(), 7 + block.size());
    QCOMPARE(history.read(0, 4), QByteArray("xxxx"));
    QCOMPARE(history.read(history.end() - 2, 10), QByteArray("xx"));
    // Tiny writes are gathered into chunks, and the history stays bounded by its capacity plus one chunk.
    OutputHistory small(1024);
    for (int i = 0; i < 100'000; ++i)
        small.append("k");
    QCOMPARE(small.end(), 100'000);
    QVERIFY(small.end() - small.start() >= 1024 && small.end() - small.start() <= 1024 + 64 * 1024);
}

void SessionCoreTest::spool()
{
    QTemporaryDir folder;
    {
        OutputSpool spool(folder.path(), 100);
        for (qint64 offset = 0; offset < 1000; offset += 50)
            QCOMPARE(spool.append(offset, QByteArray(50, char('a' + offset / 100))), QString());
    }
    // Three segments at most are kept, the newest contiguous run is loaded, within the size asked for.
    QCOMPARE(QDir(folder.path()).entryList(QDir::Files).size(), 3);
    OutputSpool again(folder.path(), 100);
    OutputSpool::Kept kept = again.load(1000);
    QCOMPARE(kept.start, 700);
    QCOMPARE(kept.bytes, QByteArray(100, 'h') + QByteArray(100, 'i') + QByteArray(100, 'j'));
    kept = again.load(120);
    QCOMPARE(kept.start, 880);
    QCOMPARE(kept.bytes.size(), 120);
    // After a gap (output an agent never got) only what follows it counts.
    QCOMPARE(again.append(5000, "later"), QString());
    kept = again.load(1000);
    QCOMPARE(kept.start, 5000);
    QCOMPARE(kept.bytes, QByteArray("later"));
    // A folder that is gone: the error is told once, then the spool stops.
    OutputSpool gone(folder.filePath("missing"), 100);
    QVERIFY(!gone.append(0, "x").isEmpty());
    QCOMPARE(gone.append(1, "y"), QString());
}

void SessionCoreTest::input()
{
    // Typed text goes through a buffer that the paste removes, line feeds kept: how tmux's parser reads the
    // bytes themselves (quotes, "$", NUL) is the sessions scenario's keydump.
    QCOMPARE(inputCommands("ls -la", "B"),
             (QByteArrayList{"set-buffer -b B \"ls -la\"", "paste-buffer -d -r -b B"}));
}

void SessionCoreTest::programsAndEnvironment()
{
    QTemporaryDir bin;
    const QString absolute = bin.filePath("codex");
    QVERIFY(writeFile(absolute, "#!/bin/sh\n") &&
            QFile::setPermissions(absolute, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    // A listed file that is not executable is no program.
    QVERIFY(writeFile(bin.filePath("plain"), "#!/bin/sh\n"));
    const SessionPrograms programs({"codex", "claude", absolute, bin.filePath("plain"), "shell"}, false,
                                   bin.path() + ":/nowhere", "/bin/sh");
    QCOMPARE(std::get<SessionProgram>(programs.resolve("codex")).path, absolute);
    QVERIFY(std::holds_alternative<SessionProgram>(programs.resolve(absolute)));
    QCOMPARE(std::get<ServiceError>(programs.resolve(bin.filePath("plain"))).code, "program_not_found");
    QCOMPARE(std::get<ServiceError>(programs.resolve("claude")).message,
             "claude is not installed on this computer");
    // "shell" only as the host's switch allows, never as a listed name.
    for (const char *refused : {"shell", "sh", "/bin/sh", ""})
        QCOMPARE(std::get<ServiceError>(programs.resolve(refused)).code, "program_not_allowed");
    const auto shell = std::get<SessionProgram>(SessionPrograms({}, true, {}, "/bin/bash").resolve("shell"));
    QCOMPARE(shell.path + " " + shell.arguments.join(" "), "/bin/bash -l");

    const AgentOptionsParseResult parsed =
        parseAgentOptions({"--session-program", "codex", "--session-program=claude", "--allow-shell"});
    QVERIFY(parsed.options && parsed.options->allowShell);
    QCOMPARE(parsed.options->sessionPrograms, QStringList({"codex", "claude"}));

    QProcessEnvironment agent;
    for (const char *name : {"VELMORA_HOST_TOKEN", "VELMORA_CONTROL_SECRET", "VELMORA_ANYTHING",
                             "NGROK_AUTHTOKEN", "TMUX", "TMUX_PANE", "HOME", "LANG", "TERM"})
        agent.insert(name, "value");
    const QProcessEnvironment session = sessionEnvironment(agent);
    QCOMPARE(session.keys(), QStringList({"COLORTERM", "HOME", "LANG", "TERM"}));
    QCOMPARE(session.value("TERM") + ' ' + session.value("COLORTERM"), "xterm-256color truecolor");
}

QTEST_GUILESS_MAIN(SessionCoreTest)
#include "tst_session_core.moc"
