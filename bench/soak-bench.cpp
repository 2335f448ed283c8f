// Crashes the agent again and again through the real controller, with short injected pauses, and compares
// what the host holds before and after: open files, resident memory, threads, unreaped children. A leak of
// any of them per restart shows as a delta. Last line:
// restarts=N fd_delta=N rss_delta_kb=N threads_delta=N zombies=N

#include "FakeAgent.h"
#include "MemoryKeyring.h"
#include "Platform/JsonFileUserDefaults.h"
#include "ScriptedFolderChooser.h"
#include "Services/HostAgentController.h"
#include "Services/Settings/HostPreferences.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

#include <unistd.h>

using namespace std::chrono_literals;

namespace {

constexpr int warmUpRestarts = 50;
constexpr int measuredRestarts = 1000;

qint64 statusField(const char *name)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(name))
            return line.mid(qstrlen(name)).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

qint64 openFiles()
{
    return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size();
}

// Children of this process that ended and were never reaped.
int zombies()
{
    int count = 0;
    const QString self = QString::number(::getpid());
    for (const QString &pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray text = stat.readAll();
        // "pid (name) state ppid ...": the name may hold blanks, so read from its closing parenthesis.
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1 && fields.at(0) == "Z" && fields.at(1) == self.toLatin1())
            ++count;
    }
    return count;
}

struct Sample {
    qint64 files = openFiles();
    qint64 rssKb = statusField("VmRSS:");
    qint64 threads = statusField("Threads:");
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    JsonFileUserDefaults defaults(home.filePath(QStringLiteral("defaults.json")));
    MemoryKeyring keyring;
    ScriptedFolderChooser chooser;
    HostPreferences preferences(defaults, HostNgrokTokenStore(keyring, "bench.ngrok", "token"));
    preferences.setKeepRelayOnline(true);
    preferences.setLanPort(0);

    HostAgentTimings timings;
    timings.confirmationDelay = 1ms;
    timings.restart.firstDelay = 1ms;
    timings.restart.longestDelay = 2ms;
    timings.process.killTimeout = 500ms;
    FakeAgent::setScript(QStringLiteral("pid-out;exit=1"));
    HostAgentController controller(
        defaults, keyring, [] { return std::optional(FakeAgent::path()); }, chooser, timings);

    // Every run writes its own pid, so each new last line is one more run that ended.
    int runs = 0;
    QString lastLine;
    QEventLoop loop;
    int target = warmUpRestarts;
    QObject::connect(&controller, &HostAgentController::lastLogLinesChanged, &loop, [&] {
        const QStringList lines = controller.lastLogLines();
        if (lines.isEmpty() || lines.last() == lastLine)
            return;
        lastLine = lines.last();
        if (++runs == target)
            loop.quit();
    });
    controller.start(&preferences);
    loop.exec();

    // Measured once the warm-up's one-time allocations are made and its last agent is gone.
    controller.stop(true);
    QCoreApplication::processEvents();
    const Sample before;
    // One run started by hand, then the restarts.
    target = runs + 1 + measuredRestarts;
    controller.start(&preferences);
    loop.exec();
    controller.stop(true);
    // Objects of the last runs are deleted later; let that happen before counting.
    QTimer::singleShot(50ms, &loop, &QEventLoop::quit);
    loop.exec();
    const Sample after;

    std::printf("restarts=%d fd_delta=%lld rss_delta_kb=%lld threads_delta=%lld zombies=%d\n",
                runs - warmUpRestarts - 1, after.files - before.files, after.rssKb - before.rssKb,
                after.threads - before.threads, zombies());
    return 0;
}
