// From launch to a setup QR code on screen, and the memory after start: ferrowyn-host (hosting on launch, one
// pinned folder, no keyring) against a bare Qt Quick window, each started three times on a private Xvfb whose
// screen this program grabs every few milliseconds. A frame counts as showing the code when zbarimg reads a
// setup link off it; the frames are kept only when they change, and decoded once the run is over, so the
// decoding costs the measured program nothing. Along the way: when the window's first frame appeared and when
// the agent was launched (a child of the host), which splits the time between the window and hosting.
// Last line: qr_ms=N first_frame_ms=N agent_launch_ms=N host_rss_mb=N bare_first_frame_ms=N bare_rss_mb=N
//            controls_rss_mb=N rss_ratio=N drawn_alike_controls_rss_mb=N drawn_alike_ratio=N (medians of
//            three runs; rss_ratio is the host's against the window with controls as Qt draws it by default,
//            the host's own kind of bare window; drawn_alike is that window drawn the way the host chose to
//            draw on this computer)

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHash>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPixmap>
#include <QProcess>
#include <QScreen>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>

#include "Shared/WindowDrawing.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <vector>

namespace {

constexpr qint64 watchMs = 4000;
constexpr int runs = 3;

struct Frame {
    qint64 atMs;
    QImage image;
};

struct Run {
    qint64 qrMs = -1;
    qint64 firstFrameMs = -1;
    qint64 agentLaunchMs = -1;
    double rssMb = 0;
    QString rssByMapping;
};

double rssMegabytes(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    }
    return 0;
}

// Where the memory is: resident kilobytes by mapping (a library, the heap, or anonymous memory), largest
// first.
QString rssByMapping(qint64 pid)
{
    QFile smaps(QStringLiteral("/proc/%1/smaps").arg(pid));
    if (!smaps.open(QIODevice::ReadOnly))
        return {};
    QHash<QString, qint64> kilobytes;
    QString mapping;
    for (const QByteArray &line : smaps.readAll().split('\n')) {
        const QList<QByteArray> words = line.simplified().split(' ');
        if (words.size() >= 5 && words[0].contains('-') && !words[0].endsWith(':'))
            mapping = words.size() >= 6 ? QFileInfo(QString::fromUtf8(words[5])).fileName()
                                        : QStringLiteral("anonymous");
        else if (words.value(0) == "Rss:")
            kilobytes[mapping] += words.value(1).toLongLong();
    }
    QList<std::pair<qint64, QString>> sorted;
    for (auto it = kilobytes.cbegin(); it != kilobytes.cend(); ++it)
        sorted.append({it.value(), it.key()});
    std::sort(sorted.begin(), sorted.end(), std::greater<>());
    QStringList top;
    for (const auto &[size, name] : sorted.mid(0, 12))
        top.append(QStringLiteral("%1 %2").arg(name).arg(double(size) / 1024.0, 0, 'f', 1));
    return top.join(QStringLiteral(", "));
}

bool hasChild(qint64 pid)
{
    QFile children(QStringLiteral("/proc/%1/task/%1/children").arg(pid));
    return children.open(QIODevice::ReadOnly) && !children.readAll().trimmed().isEmpty();
}

bool showsSetupLink(const QImage &image, const QString &folder)
{
    const QString file = QDir(folder).filePath(QStringLiteral("frame.png"));
    image.save(file);
    QProcess zbar;
    zbar.start(QStringLiteral("zbarimg"), {QStringLiteral("--raw"), QStringLiteral("-q"), file});
    zbar.waitForFinished(30000);
    return zbar.readAllStandardOutput().startsWith("ferrowyn://");
}

// Launches the program and watches the screen and the process until watchMs have passed.
Run watch(const QString &program, const QStringList &arguments, const QProcessEnvironment &environment,
          bool looksForCode, const QString &scratch)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.setStandardOutputFile(QProcess::nullDevice());
    std::vector<Frame> frames;
    Run run;
    QScreen *screen = QGuiApplication::primaryScreen();
    QElapsedTimer clock;
    clock.start();
    process.start(program, arguments);
    if (!process.waitForStarted(5000)) {
        std::fprintf(stderr, "%s does not start\n", qPrintable(program));
        std::exit(1);
    }
    while (clock.elapsed() < watchMs) {
        const qint64 at = clock.elapsed();
        QImage image = screen->grabWindow(0).toImage();
        if (frames.empty() || image != frames.back().image)
            frames.push_back({at, std::move(image)});
        if (run.agentLaunchMs < 0 && hasChild(process.processId()))
            run.agentLaunchMs = at;
        QThread::msleep(5);
    }
    run.rssMb = rssMegabytes(process.processId());
    run.rssByMapping = rssByMapping(process.processId());
    process.terminate();
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished(5000);
    }

    // The first frame is the empty screen; the next is the window's first.
    if (frames.size() > 1)
        run.firstFrameMs = frames[1].atMs;
    if (looksForCode) {
        // Once shown, the code stays: the first frame that carries it is found by halving.
        auto low = frames.cbegin();
        auto high = frames.cend();
        while (low < high) {
            const auto middle = low + (high - low) / 2;
            if (showsSetupLink(middle->image, scratch))
                high = middle;
            else
                low = middle + 1;
        }
        if (low != frames.cend())
            run.qrMs = low->atMs;
    }
    return run;
}

Run launchHost(const QString &folder, const QProcessEnvironment &base)
{
    QTemporaryDir home(folder + QStringLiteral("/home-XXXXXX"));
    const QString config = home.filePath(QStringLiteral("config"));
    const QString pinned = home.filePath(QStringLiteral("ferrowyn-mobile-app"));
    QDir().mkpath(config + QStringLiteral("/ferrowyn-host"));
    QDir().mkpath(pinned);
    QDir().mkpath(home.filePath(QStringLiteral("run")));
    QFile::setPermissions(home.filePath(QStringLiteral("run")),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QTcpServer port; // free right now
    port.listen(QHostAddress::LocalHost);
    const int lanPort = port.serverPort();
    port.close();
    QFile defaults(config + QStringLiteral("/ferrowyn-host/defaults.json"));
    defaults.open(QIODevice::WriteOnly);
    defaults.write(QJsonDocument(QJsonObject{{"FerrowynHost.workspaces", QJsonArray{pinned}},
                                             {"FerrowynHost.startHostingOnLaunch", true},
                                             {"FerrowynHost.lanPort", lanPort}})
                       .toJson());
    defaults.close();

    QProcessEnvironment environment = base;
    environment.insert(QStringLiteral("HOME"), home.path());
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), config);
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), home.filePath(QStringLiteral("run")));
    return watch(QCoreApplication::applicationDirPath() + QStringLiteral("/ferrowyn-host"), {}, environment,
                 true, home.path());
}

Run launchBareWindow(const QString &folder, const QProcessEnvironment &base, const QStringList &arguments)
{
    QTemporaryDir home(folder + QStringLiteral("/bare-XXXXXX"));
    QProcessEnvironment environment = base;
    environment.insert(QStringLiteral("HOME"), home.path());
    return watch(QCoreApplication::applicationDirPath() + QStringLiteral("/bare-quick-window"), arguments,
                 environment, false, home.path());
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    QTemporaryDir scratch;
    QProcess xvfb;
    xvfb.start(QStringLiteral("Xvfb"),
               {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                QStringLiteral("0"), QStringLiteral("1024x800x24"), QStringLiteral("-nolisten"),
                QStringLiteral("tcp")});
    if (!xvfb.waitForReadyRead(10000)) {
        std::fprintf(stderr, "Xvfb does not start\n");
        return 1;
    }
    const QByteArray display = ':' + xvfb.readLine().trimmed();
    qputenv("DISPLAY", display);
    qputenv("QT_QPA_PLATFORM", "xcb");
    int status = 0;
    {
        QGuiApplication app(argc, argv);
        QProcessEnvironment base = QProcessEnvironment::systemEnvironment();
        base.insert(QStringLiteral("DISPLAY"), QString::fromLatin1(display));
        base.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        // No keyring and no tray: the pairing is held in memory, the window shows itself.
        base.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("unix:path=/nonexistent/bus"));
        base.remove(QStringLiteral("WAYLAND_DISPLAY"));

        QProcessEnvironment drawnAlike = base;
        for (const auto &[name, value] : WindowDrawing::chosen(base, WindowDrawing::graphicsDeviceOpens()))
            drawnAlike.insert(QString::fromLatin1(name), QString::fromLatin1(value));

        std::vector<double> qr, firstFrame, agentLaunch, rss, bareFirstFrame, bareRss, controlsRss, alikeRss;
        for (int i = 0; i < runs; ++i) {
            const Run host = launchHost(scratch.path(), base);
            const Run bare = launchBareWindow(scratch.path(), base, {});
            const Run controls = launchBareWindow(scratch.path(), base, {QStringLiteral("controls")});
            const Run alike = launchBareWindow(scratch.path(), drawnAlike, {QStringLiteral("controls")});
            std::printf(
                "run %d: host qr_ms=%lld first_frame_ms=%lld agent_launch_ms=%lld rss_mb=%.1f; "
                "bare first_frame_ms=%lld rss_mb=%.1f; with controls first_frame_ms=%lld rss_mb=%.1f; "
                "drawn alike rss_mb=%.1f\n",
                i + 1, host.qrMs, host.firstFrameMs, host.agentLaunchMs, host.rssMb, bare.firstFrameMs,
                bare.rssMb, controls.firstFrameMs, controls.rssMb, alike.rssMb);
            if (i == 0)
                std::printf("  host MB by mapping: %s\n  controls window MB by mapping: %s\n",
                            qPrintable(host.rssByMapping), qPrintable(controls.rssByMapping));
            std::fflush(stdout);
            if (host.qrMs < 0)
                status = 1;
            qr.push_back(double(host.qrMs));
            firstFrame.push_back(double(host.firstFrameMs));
            agentLaunch.push_back(double(host.agentLaunchMs));
            rss.push_back(host.rssMb);
            bareFirstFrame.push_back(double(bare.firstFrameMs));
            bareRss.push_back(bare.rssMb);
            controlsRss.push_back(controls.rssMb);
            alikeRss.push_back(alike.rssMb);
        }
        std::printf(
            "qr_ms=%.0f first_frame_ms=%.0f agent_launch_ms=%.0f host_rss_mb=%.1f bare_first_frame_ms=%.0f "
            "bare_rss_mb=%.1f controls_rss_mb=%.1f rss_ratio=%.2f drawn_alike_controls_rss_mb=%.1f "
            "drawn_alike_ratio=%.2f\n",
            median(qr), median(firstFrame), median(agentLaunch), median(rss), median(bareFirstFrame),
            median(bareRss), median(controlsRss), median(rss) / median(controlsRss), median(alikeRss),
            median(rss) / median(alikeRss));
    }
    xvfb.terminate();
    xvfb.waitForFinished(5000);
    return status;
}
