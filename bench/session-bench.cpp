// A coding session over loopback, through the real agent and the session's holder, against the physical limit
// of a plain pseudo-terminal measured in the same run. The last line holds the figures:
// session_mb_per_s raw_ratio echo_p50_ms echo_p99_ms flood_rss_growth_kb (agent and holder together)
// ctrlc_quiet_ms idle_wakeups (agent and 16 holders) holder_rss_kb (one idle holder); with --encrypted also
// enc_raw_ratio enc_echo_p99_ms: the same throughput and echo for a tablet whose connection is encrypted.
// Options: --megabytes N (256), --flood-seconds N (60), --idle-seconds N (30), --encrypted.
#include "SessionBenchTablet.h"
#include "Shared/AgentStaticKey.h"
#include "Shared/PairingTicket.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWebSocket>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <functional>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

QString secret()
{
    return QString::number(QRandomGenerator::global()->generate64(), 36);
}

// Bytes a plain pseudo-terminal delivers from `cat FILE` per second, read as fast as possible.
double rawDrainMBps(const QString &file, qint64 *bytes)
{
    int master = -1;
    const pid_t child = ::forkpty(&master, nullptr, nullptr, nullptr);
    if (child == 0) {
        ::execlp("cat", "cat", QFile::encodeName(file).constData(), static_cast<char *>(nullptr));
        ::_exit(127);
    }
    QElapsedTimer timer;
    timer.start();
    char block[65536];
    *bytes = 0;
    for (ssize_t got; (got = ::read(master, block, sizeof block)) > 0;)
        *bytes += got;
    const double seconds = timer.nsecsElapsed() / 1e9;
    ::close(master);
    ::waitpid(child, nullptr, 0);
    return *bytes / seconds / 1e6;
}

// CPU seconds a process has used so far.
double cpuSeconds(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    stat.open(QIODevice::ReadOnly);
    const QList<QByteArray> fields = stat.readAll().split(')').value(1).trimmed().split(' ');
    return (fields.value(11).toDouble() + fields.value(12).toDouble()) / double(::sysconf(_SC_CLK_TCK));
}

long agentKb(qint64 pid, const char *field)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    status.open(QIODevice::ReadOnly);
    const QRegularExpression pattern(QStringLiteral("%1:\\s+(\\d+)").arg(QLatin1String(field)));
    return pattern.match(QString::fromLatin1(status.readAll())).captured(1).toLong();
}

// The holder of the session kept in `folder`, found by its command line.
qint64 holderPid(const QString &folder)
{
    for (const QString &pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile command(QStringLiteral("/proc/%1/cmdline").arg(pid));
        if (command.open(QIODevice::ReadOnly) && command.readAll().split('\0').contains(folder.toUtf8()))
            return pid.toLongLong();
    }
    return 0;
}

// Voluntary context switches of every thread: each is a wake-up from a wait.
long wakeups(qint64 pid)
{
    long total = 0;
    for (const QString &task :
         QDir(QStringLiteral("/proc/%1/task").arg(pid)).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile status(QStringLiteral("/proc/%1/task/%2/status").arg(pid).arg(task));
        status.open(QIODevice::ReadOnly);
        total += QRegularExpression(QStringLiteral("voluntary_ctxt_switches:\\s+(\\d+)"))
                     .match(QString::fromLatin1(status.readAll()))
                     .captured(1)
                     .toLong();
    }
    return total;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    const auto option = [&](const QString &name, int fallback) {
        const qsizetype at = arguments.indexOf(name);
        return at > 0 && at + 1 < arguments.size() ? arguments.at(at + 1).toInt() : fallback;
    };
    const int megabytes = option("--megabytes", 256), floodSeconds = option("--flood-seconds", 60),
              idleSeconds = option("--idle-seconds", 30);
    const bool encrypted = arguments.contains("--encrypted");

    QTemporaryDir root(QDir::tempPath() + "/sb-XXXXXX");
    const QString bin = root.filePath("bin"), work = root.filePath("work"), run = root.filePath("run");
    for (const QString &folder : {bin, work, run, root.filePath("home")})
        QDir().mkpath(folder);
    QFile::setPermissions(run, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    const QString big = root.filePath("big.txt");
    {
        QFile file(big);
        file.open(QIODevice::WriteOnly);
        const QByteArray line(
            "The quick brown fox jumps over the lazy dog, 0123456789, again and again and again.\n");
        QByteArray block;
        while (block.size() < (1 << 20))
            block += line;
        for (int i = 0; i < megabytes; ++i)
            file.write(block.left(1 << 20));
    }
    const auto script = [&](const QString &name, const QString &body) {
        QFile file(bin + '/' + name);
        file.open(QIODevice::WriteOnly);
        file.write(("#!/bin/sh\n" + body + "\n").toUtf8());
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    };
    script("bigcat", "read -r _; cat '" + big + "'; read -r _");
    script("echoer", "exec cat");
    script("flood", "exec yes");

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    const QString token = secret(), hostId = "host_" + secret(), nonce = secret();
    environment.insert("HOME", root.filePath("home"));
    environment.insert("XDG_RUNTIME_DIR", run);
    environment.insert("PATH", bin + ":/usr/bin:/bin");
    environment.insert("VELMORA_HOST_TOKEN", token);
    environment.insert("VELMORA_HOST_ID", hostId);
    environment.insert("VELMORA_PAIRING_NONCE", nonce);
    const std::optional<AgentStaticKey::KeyPair> agentKey = AgentStaticKey::generate();
    environment.insert("VELMORA_AGENT_KEY", AgentStaticKey::encode(agentKey->secretKey));
    QProcess agent;
    agent.setProcessEnvironment(environment);
    agent.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    agent.start(FERROWYN_AGENT_PATH, {"--workspace", work, "--addr", "127.0.0.1:0", "--session-program",
                                      "bigcat", "--session-program", "echoer", "--session-program", "flood"});
    agent.waitForReadyRead(5000);
    const QString listening = QString::fromUtf8(agent.readLine());
    const QString port = QRegularExpression(":(\\d+),").match(listening).captured(1);
    Tablet tablet;
    tablet.connectTo(port);
    // The pairing gives the device its secret, which the second connection below needs.
    const QString pairingCode = *PairingTicket::make(
        nonce, hostId, QDateTime::currentSecsSinceEpoch() + PairingTicket::lifetimeSeconds,
        PairingTicket::newSerial());
    const QString deviceSecret = tablet
                                     .call("auth", {{"token", token},
                                                    {"hostId", hostId},
                                                    {"pairingNonce", pairingCode},
                                                    {"deviceId", "bench"},
                                                    {"deviceName", "bench"}})
                                     .value("result")
                                     .toObject()
                                     .value("deviceSecret")
                                     .toString();

    // Throughput: the whole file through the session, as received (the terminal makes each LF a CR LF).
    qint64 rawBytes = 0;
    const double raw = rawDrainMBps(big, &rawBytes);
    const QString sessions = run + "/ferrowyn/sessions/";
    const auto throughput = [&](Tablet &tablet) {
        const QString cat = tablet.open(work, "bigcat");
        const qint64 catHolder = holderPid(sessions + cat);
        const double agentCpu = cpuSeconds(agent.processId()), holderCpu = cpuSeconds(catHolder);
        const qint64 wireBefore = tablet.wireBytes;
        QElapsedTimer timer;
        timer.start();
        tablet.post("session.input", {{"id", cat}, {"data", "\r"}});
        // The echoed Enter, then the file.
        waitFor([&] { return tablet.received.value(cat) >= rawBytes + 2; }, 600'000);
        const double seconds = timer.nsecsElapsed() / 1e9;
        const qint64 sessionBytes = tablet.received.value(cat);
        std::fprintf(stderr, "cpu during the session%s: agent %.1f s, holder %.1f s\n",
                     tablet.handshake ? " (encrypted)" : "", cpuSeconds(agent.processId()) - agentCpu,
                     cpuSeconds(catHolder) - holderCpu);
        tablet.call("session.end", {{"id", cat}});
        const double session = sessionBytes / seconds / 1e6;
        std::fprintf(
            stderr,
            "raw drain %.1f MB/s (%lld bytes); session %.1f MB/s (%lld bytes, %.1f s); wire %.3f bytes "
            "per byte\n",
            raw, static_cast<long long>(rawBytes), session, static_cast<long long>(sessionBytes), seconds,
            double(tablet.wireBytes - wireBefore) / sessionBytes);
        return session;
    };
    // Echo: one keystroke at a time, from sending it to seeing the terminal's echo.
    const auto echoTime = [&](Tablet &tablet, const QString &session) {
        const qint64 before = tablet.received.value(session);
        QElapsedTimer keystroke;
        keystroke.start();
        tablet.post("session.input", {{"id", session}, {"data", "k"}});
        waitFor([&] { return tablet.received.value(session) > before; }, 5000);
        return keystroke.nsecsElapsed() / 1e6;
    };
    // Enough keystrokes that the 99th percentile is not one unlucky wake-up of a loaded machine.
    constexpr int keystrokes = 2000;
    double session = throughput(tablet);
    const QString echo = tablet.open(work, "echoer");
    QList<double> echoes;
    // The same through an encrypted connection, measured alongside so that both meet the same machine: the
    // throughput runs alternate (the better of two each), the keystrokes take turns.
    QString encryptedFigures;
    if (encrypted) {
        Tablet secure;
        secure.connectTo(port, agentKey->publicKey);
        secure.call("auth", {{"token", token},
                             {"hostId", hostId},
                             {"deviceId", "bench"},
                             {"deviceName", "bench"},
                             {"deviceSecret", deviceSecret}});
        double secureSession = throughput(secure);
        session = std::max(session, throughput(tablet));
        secureSession = std::max(secureSession, throughput(secure));
        const QString secureEcho = secure.open(work, "echoer");
        QList<double> secureEchoes;
        for (int i = 0; i < keystrokes; ++i) {
            echoes.append(echoTime(tablet, echo));
            secureEchoes.append(echoTime(secure, secureEcho));
        }
        secure.call("session.end", {{"id", secureEcho}});
        std::sort(secureEchoes.begin(), secureEchoes.end());
        encryptedFigures = QStringLiteral(" enc_raw_ratio=%1 enc_echo_p99_ms=%2")
                               .arg(secureSession / raw, 0, 'f', 2)
                               .arg(secureEchoes.at(secureEchoes.size() * 99 / 100), 0, 'f', 2);
    } else {
        for (int i = 0; i < keystrokes; ++i)
            echoes.append(echoTime(tablet, echo));
    }
    std::sort(echoes.begin(), echoes.end());

    // Memory during a flood read at 100 KB/s.
    const qint64 pid = agent.processId();
    const long before = agentKb(pid, "VmRSS");
    long peak = before;
    Tablet slow;
    slow.ackRate = 100'000;
    slow.connectTo(port);
    slow.call("auth", {{"token", token},
                       {"hostId", hostId},
                       {"deviceId", "bench"},
                       {"deviceName", "bench"},
                       {"deviceSecret", deviceSecret}});
    const QString flood = slow.open(work, "flood");
    const qint64 floodHolder = holderPid(sessions + flood);
    const long holderBefore = agentKb(floodHolder, "VmRSS");
    long holderPeak = holderBefore;
    slow.pacer.start();
    for (QElapsedTimer flooding; !flooding.isValid() || flooding.elapsed() < floodSeconds * 1000;) {
        if (!flooding.isValid())
            flooding.start();
        QTest::qWait(200);
        peak = std::max(peak, agentKb(pid, "VmRSS"));
        holderPeak = std::max(holderPeak, agentKb(floodHolder, "VmRSS"));
    }
    // Ctrl-C during the flood, with a tablet that keeps up: how long until the output stops.
    slow.pacer.stop();
    slow.ackRate = 0;
    slow.post("session.ack", {{"id", flood}, {"offset", slow.received.value(flood)}});
    QTest::qWait(500);
    QElapsedTimer interrupt;
    interrupt.start();
    slow.post("session.input", {{"id", flood}, {"data", "\x03"}});
    waitFor([&] { return slow.ended.contains(flood); }, 10000);
    const double quietMs = interrupt.nsecsElapsed() / 1e6;
    std::fprintf(stderr, "flood: the agent grew by %ld kB, the holder by %ld kB\n", peak - before,
                 holderPeak - holderBefore);

    // Wake-ups of an agent and the holders of 16 idle sessions.
    tablet.call("session.end", {{"id", echo}});
    waitFor([&] { return tablet.ended.contains(echo); }, 5000);
    QStringList idle;
    for (int i = 0; i < 16; ++i)
        idle.append(tablet.open(work, "echoer"));
    QTest::qWait(1000);
    QList<qint64> sleepers{pid};
    for (const QString &id : idle)
        sleepers.append(holderPid(sessions + id));
    const long holderRss = agentKb(sleepers.at(1), "VmRSS");
    const auto allWakeups = [&sleepers] {
        long total = 0;
        for (const qint64 sleeper : sleepers)
            total += wakeups(sleeper);
        return total;
    };
    const long wokenBefore = allWakeups();
    QTest::qWait(idleSeconds * 1000);
    const long woken = allWakeups() - wokenBefore;
    for (const QString &id : idle)
        tablet.call("session.end", {{"id", id}});
    QTest::qWait(500);

    agent.terminate();
    agent.waitForFinished(5000);
    // Holders left by a run that went wrong.
    for (const QString &id : QDir(sessions).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (const qint64 left = holderPid(sessions + id))
            ::kill(static_cast<pid_t>(left), SIGKILL);
    }
    std::printf(
        "session_mb_per_s=%.1f raw_ratio=%.2f echo_p50_ms=%.2f echo_p99_ms=%.2f flood_rss_growth_kb=%ld "
        "ctrlc_quiet_ms=%.0f idle_wakeups=%ld holder_rss_kb=%ld%s\n",
        session, session / raw, echoes.at(echoes.size() / 2), echoes.at(echoes.size() * 99 / 100),
        (peak - before) + (holderPeak - holderBefore), quietMs, woken, holderRss,
        qPrintable(encryptedFigures));
    return 0;
}
