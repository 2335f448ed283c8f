// The controller's setup link, tunnel poll, and the replacement of a current agent, against the scripted
// stand-in agent, scripted network interfaces and a local health endpoint that plays the agent's /healthz.
#include "AgentControllerHarness.h"
#include "ScriptedNetworkInterfaces.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHttpServer>
#include <QHttpServerResponse>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QUrlQuery>

#include <csignal>

namespace {

HostAgentTimings linkTimings()
{
    HostAgentTimings timings = AgentControllerHarness::shortTimings();
    timings.setupLinkRefreshInterval = std::chrono::milliseconds(200);
    timings.tunnelPoll.interval = std::chrono::milliseconds(20);
    timings.tunnelPoll.attempts = 4;
    timings.tunnelPoll.requestTimeout = std::chrono::milliseconds(150);
    return timings;
}

QString queryValue(const QUrl &link, const QString &key)
{
    return QUrlQuery(link).queryItemValue(key, QUrl::FullyDecoded);
}

// Plays the agent's health endpoint with whatever answer the test sets, and counts the requests.
class HealthEndpoint : public QObject {
    Q_OBJECT

public:
    HealthEndpoint()
    {
        m_server.route("/healthz", [this](const QHttpServerRequest &) {
            ++requests;
            emit requested();
            if (body.isEmpty())
                return QHttpServerResponse(QHttpServerResponse::StatusCode::ServiceUnavailable);
            return QHttpServerResponse(QByteArrayLiteral("application/json"), body);
        });
        port = m_server.listen(QHostAddress::LocalHost);
    }

    void answer(const QByteArray &tunnel) { body = "{\"status\":\"ok\",\"tunnel\":" + tunnel + "}"; }

    quint16 port = 0;
    int requests = 0;
    QByteArray body;

signals:
    void requested();

private:
    QHttpServer m_server;
};

} // namespace

class HostAgentControllerLinkTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void lanLinkPointsAtTheChosenAddress_data();
    void lanLinkPointsAtTheChosenAddress();
    void tunnelSettles_data();
    void tunnelSettles();
    void unansweredTunnelTimesOutAfterTheInjectedAttempts();
    void refreshRenewsTheLinkOnlyWhileTheAgentRuns();
    void rotationWhileStoppedRevokesAndRepublishes();
    void currentAgentIsReplaced_data();
    void currentAgentIsReplaced();

private:
    std::unique_ptr<QTemporaryDir> m_home;
};

void HostAgentControllerLinkTest::init()
{
    // Trusted devices and the relay codec state live under the home folder: each test gets its own.
    m_home = std::make_unique<QTemporaryDir>();
    QVERIFY(m_home->isValid());
    qputenv("HOME", m_home->path().toUtf8());
}

void HostAgentControllerLinkTest::lanLinkPointsAtTheChosenAddress_data()
{
    using S = ScriptedNetworkInterfaces;
    using Entries = std::optional<QList<NetworkInterfaceAddress>>;
    QTest::addColumn<bool>("bindAll");
    QTest::addColumn<Entries>("interfaces");
    QTest::addColumn<QString>("host");
    const Entries usual = QList{S::ipv4("en0", "203.0.113.5"), S::ipv4("en1", "192.168.1.20")};
    QTest::newRow("bound to loopback ignores the interfaces") << false << usual << "127.0.0.1";
    QTest::newRow("first private address after a public one") << true << usual << "192.168.1.20";
    QTest::newRow("failed enumeration falls back to loopback") << true << Entries() << "127.0.0.1";
}

void HostAgentControllerLinkTest::lanLinkPointsAtTheChosenAddress()
{
    QFETCH(bool, bindAll);
    QFETCH(std::optional<QList<NetworkInterfaceAddress>>, interfaces);
    QFETCH(QString, host);
    AgentControllerHarness h(linkTimings());
    h.controller->setNetworkInterfaces(std::make_unique<ScriptedNetworkInterfaces>(interfaces));
    h.preferences.setLanBindAll(bindAll);
    h.preferences.setLanPort(9311);
    h.start("hang");
    QTRY_COMPARE(h.controller->state(), AgentRunState::running());

    const QUrl link = h.controller->setupLink();
    QCOMPARE(h.controller->resolvedLANAddress(), host + ":9311");
    QCOMPARE(queryValue(link, "endpoint"), "ws://" + host + ":9311/ws");
    QCOMPARE(queryValue(link, "token"), h.controller->hostToken());
    QCOMPARE(queryValue(link, "hostId"), h.controller->hostId());
    QCOMPARE(queryValue(link, "pairingNonce"), h.controller->credentialStore().cached().value().pairingNonce);

    h.controller->stop(true);
    QVERIFY(h.controller->setupLink().isEmpty());
    QVERIFY(h.controller->resolvedLANAddress().isEmpty());
}

void HostAgentControllerLinkTest::tunnelSettles_data()
{
    QTest::addColumn<QByteArray>("tunnel");
    QTest::addColumn<QString>("state");
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QString>("endpoint");
    QTest::newRow("online gives the secure endpoint")
        << QByteArray(R"({"provider":null,"state":"online","publicUrl":"HTTPS://fake-tunnel.example/base/"})")
        << "online"
        << "HTTPS://fake-tunnel.example/base/"
        << ""
        << "wss://fake-tunnel.example/base/ws";
    QTest::newRow("failure withdraws the link")
        << QByteArray(R"({"state":"failed","publicUrl":null,"lastError":"ERR_NGROK_105: bad token"})")
        << "failed"
        << ""
        << "ERR_NGROK_105: bad token"
        << "";
}

void HostAgentControllerLinkTest::tunnelSettles()
{
    QFETCH(QByteArray, tunnel);
    QFETCH(QString, state);
    HealthEndpoint health;
    QVERIFY(health.port != 0);
    HostAgentTimings timings = linkTimings();
    timings.tunnelPoll.attempts = 200;
    AgentControllerHarness h(timings);
    h.preferences.setNgrokTunnelEnabled(true);
    h.preferences.setLanPort(health.port);
    // Neither a 503 nor a tunnel without its state settles anything: no public address, no link yet.
    h.start("hang");
    QTRY_VERIFY(health.requests >= 1);
    QCOMPARE(h.controller->tunnelState(), "starting");
    health.answer(R"({"provider":"ngrok","publicUrl":"https://early.example"})");
    QTRY_VERIFY(health.requests >= 3);
    QCOMPARE(h.controller->tunnelState(), "starting");
    QCOMPARE(h.controller->tunnelPublicURL(), "");
    QCOMPARE(h.controller->resolvedLANAddress(), QStringLiteral("127.0.0.1:%1").arg(health.port));
    QVERIFY(h.controller->setupLink().isEmpty());

    QSignalSpy states(h.controller.get(), &HostAgentController::tunnelStateChanged);
    health.answer(tunnel);
    QTRY_COMPARE(h.controller->tunnelState(), state);
    QCOMPARE(states.size(), 1);
    QTEST(h.controller->tunnelPublicURL(), "url");
    QTEST(h.controller->tunnelLastError(), "error");
    QTEST(queryValue(h.controller->setupLink(), "endpoint"), "endpoint");
    // A settled tunnel is asked no more, and the agent runs on either way.
    QSignalSpy requests(&health, &HealthEndpoint::requested);
    QVERIFY(!requests.wait(200));
    QCOMPARE(h.controller->state(), AgentRunState::running());

    h.controller->stop(true);
    QCOMPARE(h.controller->tunnelState(), "disabled");
    QCOMPARE(h.controller->tunnelLastError(), "");
}

void HostAgentControllerLinkTest::unansweredTunnelTimesOutAfterTheInjectedAttempts()
{
    // Takes every request and never answers it: each attempt ends at the request limit.
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost));
    QList<QTcpSocket *> held;
    int attempts = 0;
    connect(&silent, &QTcpServer::newConnection, this, [&] {
        while (QTcpSocket *socket = silent.nextPendingConnection()) {
            held.append(socket);
            connect(socket, &QTcpSocket::readyRead, socket, [&attempts, socket] {
                if (socket->readAll().startsWith("GET /healthz"))
                    ++attempts;
            });
        }
    });
    const HostAgentTimings timings = linkTimings();
    AgentControllerHarness h(timings);
    h.preferences.setNgrokTunnelEnabled(true);
    h.preferences.setLanPort(silent.serverPort());
    h.start("hang");
    QTRY_COMPARE(h.controller->state(), AgentRunState::running());
    QCOMPARE(h.controller->tunnelLastError(), "");
    QTRY_COMPARE(h.controller->tunnelLastError(), HostAgentController::tunnelTimeoutError);
    QCOMPARE(h.controller->tunnelState(), "failed");
    QCOMPARE(attempts, timings.tunnelPoll.attempts);
    QVERIFY(h.controller->setupLink().isEmpty());
    qDeleteAll(held);
}

void HostAgentControllerLinkTest::refreshRenewsTheLinkOnlyWhileTheAgentRuns()
{
    AgentControllerHarness h(linkTimings());
    h.start("hang");
    QTRY_COMPARE(h.controller->state(), AgentRunState::running());
    const QDateTime first =
        QDateTime::fromString(queryValue(h.controller->setupLink(), "expiresAt"), Qt::ISODate);
    QVERIFY(first.isValid());
    // The expiry has whole seconds: the refresh that follows the next second boundary renews it.
    QTRY_VERIFY_WITH_TIMEOUT(
        QDateTime::fromString(queryValue(h.controller->setupLink(), "expiresAt"), Qt::ISODate) > first, 3000);

    ::kill(static_cast<pid_t>(h.controller->agentProcessId()), SIGTERM);
    QTRY_COMPARE(h.controller->state(), AgentRunState::stopped());
    QVERIFY(h.controller->setupLink().isEmpty());
    // Any further refresh would publish a link again.
    QSignalSpy links(h.controller.get(), &HostAgentController::setupLinkChanged);
    QVERIFY(!links.wait(5 * 200));
}

void HostAgentControllerLinkTest::rotationWhileStoppedRevokesAndRepublishes()
{
    AgentControllerHarness h(linkTimings());
    const QString folder = m_home->filePath(".ferrowyn");
    QVERIFY(QDir().mkpath(folder));
    for (const QString name : {"trusted-devices.json", "keep-me.json"}) {
        QFile file(folder + "/" + name);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    QCOMPARE(HostAgentController::trustedDevicesPath(), folder + "/trusted-devices.json");

    QStringList before;
    for (int round = 0; round < 2; ++round) {
        h.controller->rotatePairing(&h.preferences);
        QVERIFY(!QFileInfo::exists(folder + "/trusted-devices.json"));
        QCOMPARE(QFileInfo::exists(folder + "/keep-me.json"), round == 0);
        const HostCredentials stored = h.controller->credentialStore().cached().value();
        const QStringList now{h.controller->hostId(), h.controller->hostToken(),
                              h.controller->relaySession()};
        QCOMPARE(now, QStringList({stored.hostId, stored.hostToken, stored.relaySessionId}));
        QVERIFY(qAbs(stored.rotatedAt.msecsTo(h.controller->credentialRotatedAt())) < 1000);
        for (const QString &value : before)
            QVERIFY2(!now.contains(value), "a rotation repeated a credential");
        before = now;
        // No agent runs, yet the link carries the new pairing at once.
        const QUrl link = h.controller->setupLink();
        QCOMPARE(queryValue(link, "token"), stored.hostToken);
        QCOMPARE(queryValue(link, "hostId"), stored.hostId);
        QCOMPARE(queryValue(link, "pairingNonce"), stored.pairingNonce);
        QCOMPARE(h.controller->state(), AgentRunState::stopped());
        // The second round finds neither the file nor its folder, and that is no error.
        QVERIFY(QDir(folder).removeRecursively());
    }
}

void HostAgentControllerLinkTest::currentAgentIsReplaced_data()
{
    QTest::addColumn<bool>("rotate"); // or grant access to the pinned folder
    QTest::addColumn<bool>("confirmed");
    QTest::newRow("rotation, running") << true << true;
    // Still within its confirmation delay: it holds the old pairing and grants all the same.
    QTest::newRow("rotation, starting") << true << false;
    QTest::newRow("grant, running") << false << true;
    QTest::newRow("grant, starting") << false << false;
}

void HostAgentControllerLinkTest::currentAgentIsReplaced()
{
    QFETCH(bool, rotate);
    QFETCH(bool, confirmed);
    HostAgentTimings timings = linkTimings();
    if (!confirmed)
        timings.confirmationDelay = std::chrono::milliseconds(60000);
    AgentControllerHarness h(timings);
    const QString folder = h.file("pinned");
    QVERIFY(QDir().mkpath(folder));
    h.preferences.setWorkspaces({folder});
    const QString record = h.file("record");
    h.start("record=" + record + ";hang");
    QTRY_VERIFY(QFileInfo::exists(record));
    QTRY_COMPARE(h.controller->state(), confirmed ? AgentRunState::running() : AgentRunState::starting());
    const qint64 old = h.controller->agentProcessId();
    const QString oldToken = h.controller->hostToken();
    QCOMPARE(h.controller->permissionGrantStore().activePaths(), QStringList());
    QVERIFY(QFile::remove(record));

    h.chooser.answer = folder;
    if (rotate)
        h.controller->rotatePairing(&h.preferences);
    else
        h.controller->grantFolderAccess(folder, &h.preferences);
    QCOMPARE(h.controller->state(), AgentRunState::starting());
    QCOMPARE(h.controller->hostToken() != oldToken, rotate);
    QTRY_VERIFY(QFileInfo::exists(record));
    QVERIFY2(!FakeAgent::isAlive(old), "the old agent must be gone before the new one starts");
    const FakeAgent::Record agent = FakeAgent::readRecord(record);
    QCOMPARE(agent.environment.value("VELMORA_HOST_TOKEN"), h.controller->hostToken());
    QCOMPARE(agent.environment.value("VELMORA_HOST_ID"), h.controller->hostId());
    // The new agent runs inside the grant it was restarted for.
    QTRY_COMPARE(h.controller->permissionGrantStore().activePaths().size(), rotate ? 0 : 1);
    QCOMPARE(h.controller->permissionPreflightItems().value(0).hasGrant, !rotate);
    if (!confirmed)
        return;
    QTRY_COMPARE(h.controller->state(), AgentRunState::running());
    QCOMPARE(queryValue(h.controller->setupLink(), "token"), h.controller->hostToken());
    h.controller->stop(true);
    QVERIFY(h.controller->permissionGrantStore().activePaths().isEmpty());
}

QTEST_GUILESS_MAIN(HostAgentControllerLinkTest)
#include "tst_host_agent_controller_link.moc"
