#include "Services/Redaction/HostSecretRedactor.h"
#include "Services/Supervision/AgentLaunchPlan.h"
#include "Services/Supervision/AgentOutputLog.h"
#include "Services/Supervision/AgentRestartBackoff.h"

#include <QSignalSpy>
#include <QTest>

using namespace std::chrono_literals;

namespace {

const QString token = QStringLiteral("Zq3vL9xR2mT7wK4pB8nY1cF6hJ5dS0aGeUiOoPlMnBv");
const QString home = QStringLiteral("/home/ada");

QStringList splitAll(const QList<QByteArray> &pieces)
{
    AgentOutputLineSplitter splitter;
    QStringList lines;
    for (const QByteArray &piece : pieces)
        splitter.feed(piece, lines);
    splitter.finish(lines);
    return lines;
}

// A made-up file system: the paths that exist and the executable files; every folder lists node versions.
FileProbe probe(const QStringList &existing, const QStringList &executables = {})
{
    return {[=](const QString &path) { return existing.contains(path) || executables.contains(path); },
            [=](const QString &path) { return executables.contains(path); },
            [](const QString &) {
                return QStringList{"18.0.0", "9.2.0", "20.1.0", "7.0.0"};
            }};
}

} // namespace

// Running the agent: how its output reaches the window, when it is restarted and what it is launched with.
// Its health answer is the agent-health fuzz target's and the controller's link tests' job.
class AgentSupervisionTest : public QObject {
    Q_OBJECT

private slots:
    void splitsBrokenBytes();
    void logNeverShowsAPieceOfASecret_data();
    void logNeverShowsAPieceOfASecret();
    void logRowsFollowInOneChangePerFrame();
    void restartPausesBackOffInACrashLoop();
    void launchKeepsSecretsInTheEnvironment();
    void toolPathAndAgentLocation();
};

void AgentSupervisionTest::splitsBrokenBytes()
{
    // Breaks, the length limit and reads cutting lines and characters are checked against any stream by the
    // line-splitter fuzz target, which leaves open how many U+FFFD a broken sequence becomes. Skipped output
    // showing no fragment is the controller's launch tests' job.
    QCOMPARE(splitAll({"ok \xff \x80 a\xe2\x82", "x\n", "end \xe2\x82"}),
             QStringList({u"ok \uFFFD \uFFFD a\uFFFD\uFFFDx"_qs, u"end \uFFFD\uFFFD"_qs}));
}

void AgentSupervisionTest::logNeverShowsAPieceOfASecret_data()
{
    QTest::addColumn<QList<QByteArray>>("reads");
    QTest::addColumn<bool>("endsUnfinished");
    QTest::addColumn<QString>("shown"); // the lines joined
    const QByteArray filler(65516, 'x');
    const QByteArray secret = token.toUtf8();
    QTest::newRow("a line cut at the length limit, across the secret")
        << QList<QByteArray>{filler + secret + "\n"} << false << QString(filler + "redacted");
    QTest::newRow("the same line arriving in small reads")
        << QList<QByteArray>{filler.left(30000), filler.mid(30000) + secret.left(10), secret.mid(10) + "\n"}
        << false << QString(filler + "redacted");
    QTest::newRow("a line that never ends, cut twice")
        << QList<QByteArray>{filler + secret + filler + secret + filler} << true
        << QString(filler + "redacted" + filler + "redacted" + filler);
    QTest::newRow("stopped after the start of a secret")
        << QList<QByteArray>{"tok=" + secret.left(21)} << true << QStringLiteral("tok=redacted");
    QTest::newRow("stopped after a whole secret and the start of another")
        << QList<QByteArray>{"a " + secret + " b " + secret.left(8)} << true
        << QStringLiteral("a redacted b redacted");
    QTest::newRow("too short a start to be told from text")
        << QList<QByteArray>{"tok=" + secret.left(7)} << true << QString("tok=" + token.left(7));
}

void AgentSupervisionTest::logNeverShowsAPieceOfASecret()
{
    QFETCH(QList<QByteArray>, reads);
    QFETCH(bool, endsUnfinished);
    AgentOutputLog log([] { return QStringList{token}; }, 1000);
    for (const QByteArray &read : reads) {
        log.take(QProcess::StandardOutput, read);
        log.publish();
    }
    if (endsUnfinished)
        log.finishStreams();
    QTEST(log.lines().join(QString()), "shown");
    for (const QString &line : log.lines()) {
        // An unfinished line is shown whole; only a line still growing is cut.
        QVERIFY(line.size() <= AgentOutputLineSplitter::defaultMaxLineLength +
                                   HostSecretRedactor::longestFormLength({token}));
        for (qsizetype at = 0; at + HostSecretRedactor::shortestMaskedPrefix <= token.size(); ++at)
            QVERIFY(!line.contains(QStringView(token).mid(at, HostSecretRedactor::shortestMaskedPrefix)));
    }
}

void AgentSupervisionTest::logRowsFollowInOneChangePerFrame()
{
    AgentOutputLog log({}, 5);
    QSignalSpy inserted(&log, &QAbstractItemModel::rowsInserted);
    for (int i = 0; i < 12; ++i) {
        log.take(QProcess::StandardError, "ERROR " + QByteArray::number(i) + "\n");
        log.publish();
    }
    QCOMPARE(log.rowCount(), 0);
    QTRY_COMPARE(log.rowCount(), 5);
    QCOMPARE(inserted.count(), 1);
    QCOMPARE(log.index(0).data().toString(), "ERROR 7");
    QVERIFY(log.index(4).data(AgentOutputLog::errorRole).toBool());
    log.take(QProcess::StandardOutput, "line 12\n");
    log.publish();
    QTRY_COMPARE(inserted.count(), 2);
    QVERIFY(log.index(4).data().toString() == "line 12" &&
            !log.index(4).data(AgentOutputLog::errorRole).toBool());
}

void AgentSupervisionTest::restartPausesBackOffInACrashLoop()
{
    // Runs of the given length, one after the other, and the pause each one is followed by.
    const QList<std::pair<std::chrono::milliseconds, std::chrono::milliseconds>> runs{
        {200ms, 1500ms}, {3s, 3000ms},  {0ms, 6000ms},  {9s, 12000ms}, {1s, 24000ms}, {1s, 48000ms},
        {1s, 60000ms},   {1s, 60000ms}, {20s, 60000ms}, {60s, 1500ms}, {1s, 1500ms},  {1s, 3000ms},
        {30s, 6000ms},   {30s, 6000ms}, {2s, 6000ms},   {61s, 1500ms}};
    AgentRestartBackoff backoff;
    for (qsizetype i = 0; i < runs.size(); ++i)
        QVERIFY2(backoff.delayAfterRun(runs.at(i).first) == runs.at(i).second,
                 qPrintable(QString::number(i)));
    backoff.reset();
    QCOMPARE(backoff.delayAfterRun(0ms), 1500ms);
}

void AgentSupervisionTest::launchKeepsSecretsInTheEnvironment()
{
    // What the agent is launched with on every route is the controller's launch tests' job.
    const HostCredentials credentials{"host_ID", "HOSTTOKEN", "RELAYTOKEN", "session-1", "NONCE", {}, {}, {}};
    HostingSettings settings{{"/w/p1"}, HostingMode::lan, 8765, true, true, " NGROKTOKEN \n", {}};
    QProcessEnvironment inherited;
    inherited.insert("VELMORA_RELAY_TOKEN", "inherited");
    const QProcessEnvironment environment =
        AgentLaunchPlan::environment(settings, credentials, inherited, home, probe({}));
    // A tunnel is the only way in from outside, so the agent then listens on loopback only.
    QCOMPARE(AgentLaunchPlan::arguments(settings, "/c").join(' '),
             "--workspace /w/p1 --addr 127.0.0.1:8765 --tunnel-mode ngrok");
    QCOMPARE(environment.value("VELMORA_NGROK_AUTHTOKEN"), "NGROKTOKEN");
    QVERIFY(environment.value("VELMORA_HOST_TOKEN") == "HOSTTOKEN" &&
            !environment.contains("VELMORA_RELAY_TOKEN"));
    // The digest is the first half of SHA-256 over "host_X\ns-1"; agents of every release must find it.
    QCOMPARE(AgentLaunchPlan::relayCodecStatePath(home, "host_X", "s-1", HostRelayVersion::goV1),
             home + "/.ferrowyn/relay-codec-state/goV1-6bd10146b18d6003777367c01cc8a396.json");
}

void AgentSupervisionTest::toolPathAndAgentLocation()
{
    const QString node = home + "/.nvm/versions/node/";
    // Node versions sort as plain strings; 7.0.0 is listed but has no bin folder. Linux folders come last.
    QCOMPARE(AgentLaunchPlan::augmentedToolPath(
                 "/usr/local/bin::/usr/bin:/usr/bin", home,
                 probe({node + "18.0.0/bin", node + "9.2.0/bin", "/usr/local/bin", home + "/.cargo/bin",
                        home + "/.local/bin", "/opt/homebrew/bin"})),
             "/usr/local/bin:/usr/bin:/usr/bin:" + node + "9.2.0/bin:" + node +
                 "18.0.0/bin:/opt/homebrew/bin:" + home + "/.local/bin:" + home + "/.cargo/bin");
    QCOMPARE(AgentLaunchPlan::augmentedToolPath(std::nullopt, home, probe({home + "/go/bin"})),
             "/usr/bin:/bin:/usr/sbin:/sbin:" + home + "/go/bin");
    // The copy beside the host is taken as found; the installed one only when it can run.
    const QString beside = "/opt/fw/bin/ferrowyn-agent";
    const QString libexec = "/opt/fw/libexec/ferrowyn/ferrowyn-agent";
    QCOMPARE(AgentLaunchPlan::locateAgent("/opt/fw/bin", probe({beside}, {libexec})), beside);
    QCOMPARE(AgentLaunchPlan::locateAgent("/opt/fw/bin", probe({}, {libexec})), libexec);
    QCOMPARE(AgentLaunchPlan::locateAgent("/opt/fw/bin", probe({libexec})), std::nullopt);
}

QTEST_GUILESS_MAIN(AgentSupervisionTest)
#include "tst_agent_supervision.moc"
