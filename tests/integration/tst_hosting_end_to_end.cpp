// Hosting end to end: the controller launches the real ferrowyn-agent, and a tablet client that knows
// nothing but the published setup link pairs with it.
#include "AgentControllerHarness.h"
#include "ScriptedNetworkInterfaces.h"
#include "Shared/RelayEndpoint.h"
#include "TestWebSocketClient.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>
#include <QUrlQuery>

#include <csignal>

namespace {

HostAgentTimings endToEndTimings()
{
    HostAgentTimings timings = AgentControllerHarness::shortTimings();
    timings.confirmationDelay = std::chrono::milliseconds(200);
    timings.process.killTimeout = std::chrono::milliseconds(3000);
    timings.process.readSliceBytes = 64 * 1024;
    timings.tunnelPoll.interval = std::chrono::milliseconds(50);
    timings.tunnelPoll.attempts = 100;
    timings.tunnelPoll.requestTimeout = std::chrono::milliseconds(1000);
    return timings;
}

QString queryValue(const QUrl &link, const QString &key)
{
    return QUrlQuery(link).queryItemValue(key, QUrl::FullyDecoded);
}

// A port nobody listens on right now.
quint16 freePort(const QHostAddress &address)
{
    QTcpServer probe;
    return probe.listen(address) ? probe.serverPort() : 0;
}

QByteArray procFile(qint64 pid, const char *name)
{
    QFile file(QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(name)));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList nulSeparated(const QByteArray &data)
{
    QStringList parts;
    for (const QByteArray &part : data.split('\0'))
        if (!part.isEmpty())
            parts.append(QString::fromUtf8(part));
    return parts;
}

struct ClientRun {
    int exitCode = -1;
    QString output;
};

// The Python tablet, given only the setup link; runs on while the event loop serves the controller.
ClientRun runTablet(const QUrl &link, const QString &workspace)
{
    QProcess client;
    client.setProcessChannelMode(QProcess::MergedChannels);
    QSignalSpy finished(&client, &QProcess::finished);
    client.start(QStringLiteral("/usr/bin/python3"),
                 {QStringLiteral(FERROWYN_AGENT_TEST_DIR "/tablet_client.py"),
                  link.toString(QUrl::FullyEncoded), workspace});
    if (!finished.wait(20000))
        client.kill();
    return {client.exitStatus() == QProcess::NormalExit ? client.exitCode() : -1,
            QString::fromUtf8(client.readAll())};
}

bool logContains(const QStringList &lines, const QString &text)
{
    return std::any_of(lines.begin(), lines.end(), [&](const QString &line) { return line.contains(text); });
}

} // namespace

class HostingEndToEndTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void lanPairsMasksAndRotates();
    void ngrokTunnelComesOnline();
    void relayLinkCarriesTheSession();

private:
    std::unique_ptr<AgentControllerHarness> makeHarness(HostAgentTimings timings = endToEndTimings());
    void useFakeNgrok(const QString &mode);

    QByteArray m_path;
    std::unique_ptr<QTemporaryDir> m_home;
};

void HostingEndToEndTest::initTestCase()
{
    m_path = qgetenv("PATH");
    qputenv("VELMORA_RELAY_TOKEN", "inherited-relay-token-must-not-reach-the-agent");
}

void HostingEndToEndTest::init()
{
    // The agent inherits HOME: its trusted devices and codec state land here, where the host looks too.
    m_home = std::make_unique<QTemporaryDir>();
    QVERIFY(m_home->isValid());
    qputenv("HOME", m_home->path().toUtf8());
}

void HostingEndToEndTest::cleanup()
{
    qputenv("PATH", m_path);
}

std::unique_ptr<AgentControllerHarness> HostingEndToEndTest::makeHarness(HostAgentTimings timings)
{
    auto h = std::make_unique<AgentControllerHarness>(timings);
    h->agentPath = QStringLiteral(FERROWYN_AGENT_PATH);
    // The only address the host may choose is the loopback one, listed as an ordinary interface behind
    // entries that must be passed over.
    using S = ScriptedNetworkInterfaces;
    h->controller->setNetworkInterfaces(std::make_unique<S>(
        QList{S::ipv4("eth0", "10.1.2.3", false), S::ipv4("lo", "192.168.9.9", true, true),
              S::ipv6("eth1", "fd00::5"), S::ipv4("eth2", "169.254.3.4"), S::ipv4("test0", "127.0.0.1")}));
    h->preferences.setWorkspaces({h->scratch.path()});
    return h;
}

void HostingEndToEndTest::useFakeNgrok(const QString &mode)
{
    const QString bin = m_home->filePath("bin");
    QVERIFY(QDir().mkpath(bin));
    QVERIFY(QFile::link(QStringLiteral(FERROWYN_AGENT_TEST_DIR "/fake-ngrok.sh"), bin + "/ngrok"));
    // The agent looks for ngrok on the PATH the host gives it, which begins with the host's own.
    qputenv("PATH", (bin + ":").toUtf8() + m_path);
    qputenv("FAKE_NGROK_MODE", mode.toUtf8());
    qputenv("FAKE_NGROK_RECORD", m_home->filePath("ngrok-record").toUtf8());
    qputenv("FAKE_NGROK_GO", m_home->filePath("go").toUtf8());
}

void HostingEndToEndTest::lanPairsMasksAndRotates()
{
    auto h = makeHarness();
    const quint16 port = freePort(QHostAddress::Any);
    h->preferences.setLanPort(port);
    h->preferences.setLanBindAll(true);
    // Stored with the blanks of a careless paste; the trimmed token is what must be masked.
    h->preferences.setNgrokAuthtoken(" ngrok-token-of-the-user\n");
    QFile marker(h->scratch.filePath("README.md"));
    QVERIFY(marker.open(QIODevice::WriteOnly));
    marker.close();
    h->controller->start(&h->preferences);
    QCOMPARE(h->controller->state(), AgentRunState::starting());
    QTRY_VERIFY(h->controller->agentProcessId() > 0);
    const qint64 pid = h->controller->agentProcessId();

    // The secrets travel in the environment only; the kernel shows the arguments a moment after the exec.
    const HostCredentials credentials = h->controller->credentialStore().cached().value();
    QTRY_VERIFY(!procFile(pid, "cmdline").isEmpty());
    QCOMPARE(nulSeparated(procFile(pid, "cmdline")),
             QStringList({QStringLiteral(FERROWYN_AGENT_PATH), "--workspace", h->scratch.path(), "--addr",
                          QStringLiteral("0.0.0.0:%1").arg(port)}));
    const QStringList environment = nulSeparated(procFile(pid, "environ"));
    QVERIFY(environment.contains("VELMORA_HOST_TOKEN=" + credentials.hostToken));
    QVERIFY(environment.contains("VELMORA_HOST_ID=" + credentials.hostId));
    QVERIFY(environment.contains("VELMORA_PAIRING_NONCE=" + credentials.pairingNonce));
    QVERIFY(environment.contains("HOME=" + m_home->path()));
    for (const QString &line : environment)
        QVERIFY2(!line.startsWith("VELMORA_RELAY_TOKEN=") && !line.startsWith("VELMORA_NGROK_AUTHTOKEN="),
                 qPrintable(line));

    QTRY_COMPARE(h->controller->state(), AgentRunState::running());
    QCOMPARE(h->controller->runningAgentBuild(), "14");
    QTRY_VERIFY(
        logContains(h->controller->lastLogLines(), QStringLiteral("listening on 0.0.0.0:%1").arg(port)));
    const QUrl oldLink = h->controller->setupLink();
    QCOMPARE(queryValue(oldLink, "endpoint"), QStringLiteral("ws://127.0.0.1:%1/ws").arg(port));

    // In LAN mode the agent knows neither the relay token nor the session nor the ngrok authtoken, so it
    // prints them as it gets them, in the names of the devices that pair: only the host can mask them.
    const QStringList names{credentials.relayToken, credentials.relaySessionId, "ngrok-token-of-the-user"};
    for (qsizetype i = 0; i < names.size(); ++i) {
        TestWebSocketClient tablet;
        QVERIFY(tablet.open(queryValue(oldLink, "endpoint")));
        QJsonObject auth =
            TestWebSocketClient::authRequest(credentials.hostToken, credentials.hostId,
                                             credentials.pairingNonce, QStringLiteral("device-%1").arg(i));
        QJsonObject params = auth.value("params").toObject();
        params.insert("deviceName", names.at(i));
        auth.insert("params", params);
        const QJsonObject reply = tablet.request(auth);
        QVERIFY2(reply.contains("result"), qPrintable(QJsonDocument(reply).toJson()));
    }
    const auto paired = [&h] {
        const QStringList lines = h->controller->lastLogLines();
        return std::count_if(lines.begin(), lines.end(),
                             [](const QString &line) { return line.contains("paired new device: "); });
    };
    QTRY_COMPARE(paired(), qsizetype(3));
    for (const QString &line : h->controller->lastLogLines())
        for (const QString &secret : h->controller->redactionSecrets() + names)
            QVERIFY2(secret.isEmpty() || !line.contains(secret), qPrintable(line));

    // The Python tablet pairs with the link alone; a rotation revokes it and replaces the agent.
    ClientRun run = runTablet(oldLink, h->scratch.path());
    QVERIFY2(run.exitCode == 0 && run.output.contains("paired=True") && run.output.contains("trusted=True") &&
                 run.output.contains("entries=README.md"),
             qPrintable(run.output));
    const QString trusted = m_home->filePath(".ferrowyn/trusted-devices.json");
    QVERIFY(QFileInfo::exists(trusted));
    h->controller->rotatePairing(&h->preferences);
    QVERIFY(!QFileInfo::exists(trusted));
    QTRY_COMPARE(h->controller->state(), AgentRunState::running());
    QVERIFY(!FakeAgent::isAlive(pid));
    QTRY_VERIFY(logContains(h->controller->lastLogLines(), "listening on"));
    const QUrl newLink = h->controller->setupLink();
    run = runTablet(oldLink, h->scratch.path());
    QVERIFY2(run.exitCode != 0 && run.output.contains("auth_failed"), qPrintable(run.output));
    run = runTablet(newLink, h->scratch.path());
    QVERIFY2(run.exitCode == 0 && run.output.contains("paired=True"), qPrintable(run.output));

    // The agent ends normally on SIGTERM from anyone, which reads as stopped, not failed.
    ::kill(static_cast<pid_t>(h->controller->agentProcessId()), SIGTERM);
    QTRY_COMPARE(h->controller->state(), AgentRunState::stopped());
    QVERIFY(h->controller->setupLink().isEmpty());
}

void HostingEndToEndTest::ngrokTunnelComesOnline()
{
    useFakeNgrok("online");
    QStringList states; // outlives the controller, whose last stop still reports
    auto h = makeHarness();
    const quint16 port = freePort(QHostAddress::LocalHost);
    h->preferences.setLanPort(port);
    h->preferences.setNgrokTunnelEnabled(true);
    connect(h->controller.get(), &HostAgentController::tunnelStateChanged, this,
            [&] { states.append(h->controller->tunnelState()); });
    h->controller->start(&h->preferences);
    QTRY_COMPARE(h->controller->state(), AgentRunState::running());
    QTRY_VERIFY(QFileInfo::exists(m_home->filePath("ngrok-record")));
    QCOMPARE(h->controller->tunnelState(), "starting");
    QVERIFY(h->controller->setupLink().isEmpty());
    QCOMPARE(h->controller->resolvedLANAddress(), QStringLiteral("127.0.0.1:%1").arg(port));

    QFile go(m_home->filePath("go"));
    QVERIFY(go.open(QIODevice::WriteOnly));
    go.close();
    QTRY_COMPARE(h->controller->tunnelState(), "online");
    QCOMPARE(states, QStringList({"starting", "online"}));
    QCOMPARE(h->controller->tunnelPublicURL(), "https://fake-tunnel.ngrok-free.app");
    QCOMPARE(queryValue(h->controller->setupLink(), "endpoint"), "wss://fake-tunnel.ngrok-free.app/ws");
    QCOMPARE(queryValue(h->controller->setupLink(), "token"), h->controller->hostToken());
}

void HostingEndToEndTest::relayLinkCarriesTheSession()
{
    auto h = makeHarness();
    // Nobody listens there: the agent keeps trying, which is all a link needs.
    const QString relayURL = QStringLiteral("ws://127.0.0.1:%1/relay").arg(freePort(QHostAddress::LocalHost));
    h->preferences.setMode(HostingMode::relay);
    h->preferences.setRelayURL(relayURL);
    h->preferences.setLanPort(freePort(QHostAddress::LocalHost));
    h->controller->start(&h->preferences);
    QTRY_COMPARE(h->controller->state(), AgentRunState::running());

    const HostCredentials credentials = h->controller->credentialStore().cached().value();
    const QStringList arguments = nulSeparated(procFile(h->controller->agentProcessId(), "cmdline"));
    QVERIFY(arguments.contains("--relay-codec-state"));
    const QStringList environment = nulSeparated(procFile(h->controller->agentProcessId(), "environ"));
    QVERIFY(environment.contains("VELMORA_RELAY_TOKEN=" + credentials.relayToken));
    QVERIFY(environment.contains("VELMORA_RELAY_SESSION=" + credentials.relaySessionId));
    for (const QString &hidden : {credentials.relayToken, credentials.relaySessionId, credentials.hostId})
        QVERIFY(!arguments.join(' ').contains(hidden));

    const QUrl link = h->controller->setupLink();
    QCOMPARE(queryValue(link, "mode"), "privateRelay");
    QCOMPARE(queryValue(link, "endpoint"),
             relayEndpoint(relayURL, h->controller->relaySession()).value_or("none"));
    QVERIFY(queryValue(link, "endpoint").contains(h->controller->relaySession()));
    QCOMPARE(queryValue(link, "sessionId"), credentials.relaySessionId);
    QCOMPARE(queryValue(link, "relayToken"), credentials.relayToken);
    QCOMPARE(h->controller->resolvedLANAddress(), QString());
    QTRY_VERIFY(logContains(h->controller->lastLogLines(), "relay"));
}

QTEST_GUILESS_MAIN(HostingEndToEndTest)
#include "tst_hosting_end_to_end.moc"
