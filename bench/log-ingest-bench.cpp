// Measures how fast agent output goes through the controller (pipe, line splitting, masking, the 200-line
// buffer) against how fast the same bytes drain through a bare pipe reader, and the longest time the event
// loop was kept busy meanwhile. Both rates count from the first byte of output to its end. Last line:
// controller_lines_per_s=N raw_lines_per_s=N ratio=R max_stall_ms=M

#include "Platform/FolderChooser.h"
#include "Platform/JsonFileUserDefaults.h"
#include "Platform/Keyring.h"
#include "Services/HostAgentController.h"
#include "Services/Settings/HostCredentialStore.h"
#include "Services/Settings/HostPreferences.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QHash>
#include <QTimer>

#include <cstdio>
#include <cstring>
#include <limits>

#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr long lineCount = 1'000'000;

class BenchKeyring : public Keyring {
public:
    void read(const QString &service, const QString &account, QObject *context, ReadDone done) override
    {
        const auto it = items.constFind(service + '/' + account);
        const ReadResult result =
            it == items.constEnd() ? ReadResult{} : ReadResult{ReadResult::Status::Found, *it, {}};
        answerLater(context, [done, result] { done(result); });
    }
    void write(const QByteArray &data, const QString &service, const QString &account, QObject *context,
               Done done) override
    {
        items.insert(service + '/' + account, data);
        answerLater(context, [done] { done({}); });
    }
    void remove(const QString &service, const QString &account, QObject *context, Done done) override
    {
        items.remove(service + '/' + account);
        answerLater(context, [done] { done({}); });
    }
    void unlock(QObject *context, Done done) override
    {
        answerLater(context, [done] { done({}); });
    }
    QHash<QString, QByteArray> items;
};

class NoFolderChooser : public FolderChooser {
public:
    std::optional<QString> chooseFolder(const FolderChooserRequest &) override { return std::nullopt; }
};

QString writerPath()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/log-flood-writer");
}

// The writer's lines read with plain blocking reads into a buffer, counting line feeds.
double rawLinesPerSecond()
{
    int fds[2];
    if (::pipe(fds) != 0)
        return 0;
    QElapsedTimer clock;
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(fds[1], 1);
        ::close(fds[0]);
        ::close(fds[1]);
        const QByteArray path = QFile::encodeName(writerPath());
        ::execl(path.constData(), path.constData(), static_cast<char *>(nullptr));
        ::_exit(127);
    }
    ::close(fds[1]);
    QByteArray buffer(1 << 16, Qt::Uninitialized);
    long lines = 0;
    for (;;) {
        const ssize_t n = ::read(fds[0], buffer.data(), static_cast<size_t>(buffer.size()));
        if (n <= 0)
            break;
        if (!clock.isValid())
            clock.start();
        const char *data = buffer.constData();
        for (const char *end = data + n;
             (data = static_cast<const char *>(std::memchr(data, '\n', end - data)));) {
            ++lines;
            ++data;
        }
    }
    ::close(fds[0]);
    ::waitpid(child, nullptr, 0);
    return static_cast<double>(lines) / (static_cast<double>(clock.nsecsElapsed()) / 1e9);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    JsonFileUserDefaults defaults;
    BenchKeyring keyring;
    NoFolderChooser chooser;
    HostPreferences preferences(defaults, HostNgrokTokenStore(keyring, "bench.ngrok", "token"));
    preferences.setKeepRelayOnline(false);
    preferences.setNgrokTunnelEnabled(true);
    preferences.setNgrokAuthtoken(QStringLiteral("2bQfNgrokAuthTokenForTheBench_x9"));
    preferences.setWorkspaces({});

    const QString writer = writerPath();
    HostAgentController controller(
        defaults, keyring, [writer] { return std::optional(writer); }, chooser);
    HostCredentials credentials;
    QEventLoop loading;
    controller.credentialStore().request(preferences.relayVersion(), &loading,
                                         [&](const HostCredentials &loaded) {
                                             credentials = loaded;
                                             loading.quit();
                                         });
    loading.exec();
    const QStringList secrets{credentials.hostToken,    credentials.relaySessionId,
                              credentials.hostId,       credentials.relayToken,
                              credentials.pairingNonce, preferences.ngrokAuthtoken()};
    qputenv("FLOOD_LINES", QByteArray::number(static_cast<qlonglong>(lineCount)));
    qputenv("FLOOD_SECRETS", secrets.join(',').toUtf8());

    const double raw = rawLinesPerSecond();

    // A fine-grained timer: the longest gap between two of its ticks is the longest stall of the loop.
    QElapsedTimer sinceTick;
    qint64 maxStallNs = 0;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(1);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        maxStallNs = std::max(maxStallNs, sinceTick.nsecsElapsed() - 1'000'000);
        sinceTick.restart();
    });

    QEventLoop loop;
    QObject::connect(&controller, &HostAgentController::stateChanged, &loop, [&] {
        const AgentRunState::Kind kind = controller.state().kind();
        if (kind == AgentRunState::Kind::stopped || kind == AgentRunState::Kind::failed)
            loop.quit();
    });
    // Both rates count from the first output, so the writer's making of its lines is not measured.
    QElapsedTimer clock;
    QObject::connect(&controller, &HostAgentController::lastLogLinesChanged, [&] {
        if (!clock.isValid())
            clock.start();
    });
    controller.start(&preferences);
    sinceTick.start();
    ticker.start();
    loop.exec();
    const double seconds = static_cast<double>(clock.nsecsElapsed()) / 1e9;
    ticker.stop();

    const QStringList tail = controller.lastLogLines();
    bool leaked = false;
    for (const QString &line : tail) {
        for (const QString &secret : secrets)
            leaked = leaked || line.contains(secret);
    }
    if (controller.state() != AgentRunState::stopped() || tail.isEmpty() || tail.last() != "END-OF-FLOOD" ||
        leaked || controller.skippedOutputBytes() != 0) {
        std::fprintf(stderr, "the run did not complete cleanly (state %d, last line \"%s\", leaked %d)\n",
                     static_cast<int>(controller.state().kind()), qPrintable(tail.value(tail.size() - 1)),
                     leaked);
        return 1;
    }
    const double controllerRate = static_cast<double>(lineCount + 1) / seconds;
    std::printf("lines=%ld bytes_per_line~100 secret_lines=%ld seconds=%.3f\n", lineCount + 1, lineCount / 10,
                seconds);
    std::printf("controller_lines_per_s=%.0f raw_lines_per_s=%.0f ratio=%.3f max_stall_ms=%.1f\n",
                controllerRate, raw, controllerRate / raw,
                static_cast<double>(std::max<qint64>(maxStallNs, 0)) / 1e6);
    return 0;
}
