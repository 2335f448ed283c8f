// Floods the real window's log view: the agent's stand-in writes a million lines (a tenth with secrets)
// while the offscreen window renders. Measures how fast the lines pass through the controller and the view,
// the host's CPU time per line, and the longest gap between two rendered frames while the flood lasts.
// Last line: view_lines_per_s=N cpu_us_per_line=N max_frame_gap_ms=N

#include "WindowHarness.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QGuiApplication>

#include <cstdio>

#include <sys/resource.h>

namespace {

constexpr long lineCount = 1'000'000;

double cpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval &t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    WindowHarness window;
    window.load();
    window.useAgent(QCoreApplication::applicationDirPath() + QStringLiteral("/log-flood-writer"));

    HostCredentials credentials;
    QEventLoop loading;
    window.controller->credentialStore().request(window.preferences.relayVersion(), &loading,
                                                 [&](const HostCredentials &loaded) {
                                                     credentials = loaded;
                                                     loading.quit();
                                                 });
    loading.exec();
    const QStringList secrets{credentials.hostToken, credentials.relaySessionId, credentials.hostId,
                              credentials.relayToken, credentials.pairingNonce};
    qputenv("FLOOD_LINES", QByteArray::number(static_cast<qlonglong>(lineCount)));
    qputenv("FLOOD_SECRETS", secrets.join(',').toUtf8());

    // Frames count from the first output to the end of the flood.
    QElapsedTimer clock;
    QElapsedTimer sinceFrame;
    qint64 maxFrameGapNs = 0;
    int frames = 0;
    QObject::connect(window.window(), &QQuickWindow::frameSwapped, [&] {
        if (!clock.isValid())
            return;
        if (sinceFrame.isValid())
            maxFrameGapNs = std::max(maxFrameGapNs, sinceFrame.nsecsElapsed());
        sinceFrame.restart();
        ++frames;
    });
    double cpuAtStart = 0;
    QObject::connect(window.controller.get(), &HostAgentController::lastLogLinesChanged, [&] {
        if (clock.isValid())
            return;
        clock.start();
        cpuAtStart = cpuSeconds();
    });
    QEventLoop flood;
    QObject::connect(window.controller.get(), &HostAgentController::stateChanged, &flood, [&] {
        const AgentRunState::Kind kind = window.controller->state().kind();
        if (kind == AgentRunState::Kind::stopped || kind == AgentRunState::Kind::failed)
            flood.quit();
    });
    window.controller->start(&window.preferences);
    flood.exec();
    const double seconds = static_cast<double>(clock.nsecsElapsed()) / 1e9;
    const double cpu = cpuSeconds() - cpuAtStart;

    const QStringList tail = window.controller->lastLogLines();
    if (window.controller->state() != AgentRunState::stopped() || tail.isEmpty() ||
        tail.last() != "END-OF-FLOOD" || window.controller->skippedOutputBytes() != 0) {
        std::fprintf(stderr, "the flood did not pass cleanly (last line \"%s\", skipped %lld)\n",
                     qPrintable(tail.value(tail.size() - 1)), window.controller->skippedOutputBytes());
        return 1;
    }
    const long lines = lineCount + 1;
    std::printf("lines=%ld seconds=%.3f cpu_seconds=%.3f frames=%d\n", lines, seconds, cpu, frames);
    std::printf("view_lines_per_s=%.0f cpu_us_per_line=%.3f max_frame_gap_ms=%.1f\n",
                static_cast<double>(lines) / seconds, cpu * 1e6 / static_cast<double>(lines),
                static_cast<double>(maxFrameGapNs) / 1e6);
    return 0;
}
