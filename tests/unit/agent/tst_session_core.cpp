#include "AgentOptions.h"
#include "Sessions/OutputHistory.h"
#include "Sessions/OutputSpool.h"
#include "Sessions/SessionPrograms.h"
#include "TestFiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

// The sessions' logic without a holder: the output stream and its files, and what a program may be and get.
class SessionCoreTest : public QObject {
    Q_OBJECT

private slots:
    void utf8BoundaryAndHistory();
    void spool();
    void programsAndEnvironment();
};

void SessionCoreTest::utf8BoundaryAndHistory()
{
    // The bytes -> how many of them end on a whole character; stray continuations are kept, and a byte that
    // is never a lead byte too.
    for (const char *row :
         {" -> 0", "abc -> 3", "a\xe2 -> 1", "a\xe2\x82 -> 1", "a\xe2\x82\xac -> 4", "\xf0\x9f\x98 -> 0",
          "\xf0\x9f\x98\x80 -> 4", "\x80\x80\x80\x80\x80 -> 5", "a\xff -> 2"}) {
        const QByteArray given(row);
        const qsizetype arrow = given.lastIndexOf(" -> ");
        QCOMPARE(completeUtf8Prefix(given.left(arrow)), given.mid(arrow + 4).toInt());
    }

    // The history a tablet reads from is cut at those boundaries.
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
    // Files as the holder leaves them: the newest contiguous run is loaded, within the size asked for, and
    // after a gap only what follows it counts.
    QTemporaryDir folder;
    const auto segment = [&folder](qint64 offset, const QByteArray &bytes) {
        return writeFile(folder.filePath(QStringLiteral("out-%1").arg(offset, 16, 10, QLatin1Char('0'))),
                         bytes);
    };
    QVERIFY(segment(0, "old") && segment(700, QByteArray(100, 'h')) && segment(800, QByteArray(100, 'i')) &&
            segment(900, QByteArray(50, 'j')));
    OutputSpool spool(folder.path());
    OutputSpool::Kept kept = spool.load(1000);
    QCOMPARE(kept.start, 700);
    QCOMPARE(kept.bytes, QByteArray(100, 'h') + QByteArray(100, 'i') + QByteArray(50, 'j'));
    kept = spool.load(120);
    QCOMPARE(kept.start, 830);
    QCOMPARE(kept.bytes.size(), 120);
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
    // With no program allowed, nothing on the PATH is one; "shell" only as the host's switch allows, never as
    // a listed name.
    QCOMPARE(std::get<ServiceError>(SessionPrograms({}, false, bin.path(), "/bin/sh").resolve("codex")).code,
             "program_not_allowed");
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
