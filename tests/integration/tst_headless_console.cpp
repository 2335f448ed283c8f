#include "HeadlessHostRunner.h"

#include "App/Headless/ConsoleOutput.h"
#include "App/Headless/HeadlessConsole.h"
#include "Platform/TerminalColours.h"
#include "Services/HostWarnings.h"

#include <QRegularExpression>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <thread>

// The headless host's console: plain text from outside, colours only on a terminal, and a reader that is
// slow or gone costs lines, never the host.

namespace {

// Reads the pipe to its end.
QByteArray readToEnd(int fd)
{
    QByteArray all;
    char buffer[65536];
    ssize_t n = 0;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR))
        all.append(buffer, std::max<ssize_t>(n, 0));
    ::close(fd);
    return all;
}

} // namespace

class HeadlessConsoleTest : public QObject, public HeadlessHostRunner {
    Q_OBJECT

private slots:
    void outsideTextCannotDriveTheTerminal();
    void coloursOnlyOnATerminal();
    void outputDropsWhatDoesNotFitAndSaysSo();
    void aReaderThatStopsNeverFreezesTheHost();
};

void HeadlessConsoleTest::outsideTextCannotDriveTheTerminal()
{
    QCOMPARE(HeadlessConsole::printable("a\x1b]0;title\x07"
                                        "b\tc\u009bd\re"),
             "a\ufffd]0;title\ufffdb\tc\ufffdd\ufffde");
}

// Colours on a terminal unless NO_COLOR is set to something; never into a pipe or a file.
void HeadlessConsoleTest::coloursOnlyOnATerminal()
{
    const int terminal = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    QVERIFY(terminal >= 0 && ::grantpt(terminal) == 0 && ::unlockpt(terminal) == 0);
    const int tty = ::open(::ptsname(terminal), O_RDWR | O_NOCTTY | O_CLOEXEC);
    int pipe[2] = {-1, -1};
    QVERIFY(::pipe2(pipe, O_CLOEXEC) == 0);
    const int file =
        ::open(QFile::encodeName(home.filePath("output")).constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    QVERIFY(tty >= 0 && file >= 0);
    const auto noColor = [](const char *value) {
        QProcessEnvironment environment;
        environment.insert("NO_COLOR", value);
        return environment;
    };
    using TerminalColours::wanted;
    QCOMPARE((QList<bool>{wanted(tty, {}), wanted(tty, noColor("")), wanted(tty, noColor("1")),
                          wanted(pipe[1], {}), wanted(file, {})}),
             (QList<bool>{true, true, false, false, false}));
    for (const int fd : {terminal, tty, pipe[0], pipe[1], file})
        ::close(fd);
}

void HeadlessConsoleTest::outputDropsWhatDoesNotFitAndSaysSo()
{
    int pipe[2];
    QVERIFY(::pipe2(pipe, O_CLOEXEC) == 0);
    constexpr int lines = 20000;
    auto output =
        std::make_unique<ConsoleOutput>(pipe[1], ConsoleOutputLimits{16 * 1024, std::chrono::seconds(10)});
    // Nobody reads yet: a write that waited for the reader would never come back.
    for (int i = 0; i < lines; ++i)
        output->write("line " + QByteArray::number(i) + '\n');
    QByteArray printed;
    std::thread reader([&printed, fd = pipe[0]] { printed = readToEnd(fd); });
    output.reset(); // what waits is written now that someone reads
    ::close(pipe[1]);
    reader.join();
    // Every line is there or counted where it was left out, in order.
    int next = 0;
    int gaps = 0;
    static const QRegularExpression dropped(QStringLiteral("^\u2026 (\\d+) lines not shown$"));
    for (const QByteArray &line : printed.split('\n')) {
        if (line.startsWith("line ")) {
            QCOMPARE(line.mid(5).toInt(), next++);
        } else if (const QRegularExpressionMatch match = dropped.match(QString::fromUtf8(line));
                   match.hasMatch()) {
            next += match.captured(1).toInt();
            ++gaps;
        } else {
            QCOMPARE(line, QByteArray());
        }
    }
    QCOMPARE(next, lines);
    QVERIFY(gaps > 0);
}

void HeadlessConsoleTest::aReaderThatStopsNeverFreezesTheHost()
{
    // The real host, with a stand-in agent beside it that writes far more than a pipe holds.
    QTemporaryDir bin;
    const QString hostPath = bin.filePath(QStringLiteral("ferrowyn-host"));
    QVERIFY(::link(FERROWYN_HOST_PATH, QFile::encodeName(hostPath).constData()) == 0 ||
            QFile::copy(QStringLiteral(FERROWYN_HOST_PATH), hostPath));
    QVERIFY(QFile::copy(QStringLiteral(FERROWYN_FAKE_AGENT_PATH),
                        bin.filePath(QStringLiteral("ferrowyn-agent"))));
    QFile::setPermissions(bin.filePath(QStringLiteral("ferrowyn-agent")), QFile::ReadOwner | QFile::ExeOwner);
    int pipe[2];
    QVERIFY(::pipe2(pipe, O_CLOEXEC) == 0);
    QProcess host;
    QProcessEnvironment environment = this->environment();
    environment.insert(QStringLiteral("FAKE_AGENT_SCRIPT"), QStringLiteral("burst=20000:HOME;hang"));
    host.setProcessEnvironment(environment);
    host.setChildProcessModifier([fd = pipe[1]] { ::dup2(fd, STDOUT_FILENO); });
    // With an option whose warning stands while it is on: said among the first lines, and by --status.
    host.start(hostPath,
               {"--headless", "--qr=none", "--allow-unencrypted-clients", "--workspace", workspace.path()});
    ::close(pipe[1]);
    // Nobody reads the pipe, and it fills up.
    const auto waiting = [fd = pipe[0]] {
        int bytes = 0;
        return ::ioctl(fd, FIONREAD, &bytes) == 0 ? bytes : 0;
    };
    QTRY_VERIFY_WITH_TIMEOUT(waiting() >= 60000, 20000);
    // The host still answers and still ends.
    const QString warning = "Warning: " + HostWarnings::unencryptedClientsAllowed + '\n';
    const auto [statusExit, statusText] = ask({QStringLiteral("--status")});
    QVERIFY(statusExit == 0 && statusText.contains(warning));
    ::kill(static_cast<pid_t>(host.processId()), SIGTERM);
    QVERIFY(host.waitForFinished(10000));
    QCOMPARE(host.exitCode(), 0);
    // What the pipe took is the agent's output as it came; the rest was given up at the end (the count of
    // what is dropped is the console's own test, above).
    const QByteArray printed = readToEnd(pipe[0]);
    QVERIFY(printed.contains("HOME=" + home.path().toUtf8() + '\n') && printed.contains(warning.toUtf8()));
}

QTEST_GUILESS_MAIN(HeadlessConsoleTest)
#include "tst_headless_console.moc"
