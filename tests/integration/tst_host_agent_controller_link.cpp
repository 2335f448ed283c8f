// The controller's setup link, tunnel poll, pairing rotation and folder readiness, against the scripted
// stand-in agent, scripted network interfaces and a local health endpoint that plays the agent's /healthz.
#include "AgentControllerHarness.h"
#include "ScriptedNetworkInterfaces.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHttpServer>
#include <QHttpServerResponse>
#include <QProcess>
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
            if (status != QHttpServerResponse::StatusCode::Ok)
                return QHttpServerResponse(status);
            return QHttpServerResponse(QByteArrayLiteral("application/json"), body);
        });
        port = m_server.listen(QHostAddress::LocalHost);
    }

    void answer(const QByteArray &tunnel)
    {
        body = "{\"status\":\"ok\",\"tunnel\":" + tunnel + "}";
        status = QHttpServerResponse::StatusCode::Ok;
    }

    quint16 port = 0;
    int requests = 0;
    QByteArray body;
    QHttpServerResponse::StatusCode status = QHttpServerResponse::StatusCode::ServiceUnavailable;

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
    void tunnelStartingThenOnlineGivesTheSecureEndpoint();
    void tunnelFailureWithdrawsTheLinkAndEndsPolling();
    void unansweredTunnelTimesOutAfterTheInjectedAttempts();
    void refreshRenewsTheLinkOnlyWhileTheAgentRuns();
    void rotationWhileStoppedRevokesAndRepublishes();
    void rotationReplacesACurrentAgent_data();
    void rotationReplacesACurrentAgent();
    void preflightVerdictsThroughTheController();
    void preflightVerdictsAsAnUnprivilegedUser();
    void grantWhileStoppedRefreshesWithoutStarting();
    void grantOfAnotherFolderOnlyWarns();
    void grantRestartsACurrentAgentInsideTheGrant_data();
    void grantRestartsACurrentAgentInsideTheGrant();

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
    QTest::newRow("down, loopback, link-local and IPv6 are passed over")
        << true
        << Entries(QList{S::ipv4("en0", "10.0.0.7", false), S::ipv4("lo", "192.168.0.1", true, true),
                         S::ipv6("en1", "fd00::1"), S::ipv4("en2", "169.254.10.1"),
                         S::ipv4("en3", "172.32.0.5")})
        << "172.32.0.5";
    QTest::newRow("no usable interface falls back to loopback")
        << true << Entries(QList{S::ipv6("en0", "fe80::1")}) << "127.0.0.1";
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

void HostAgentControllerLinkTest::tunnelStartingThenOnlineGivesTheSecureEndpoint()
{
    HealthEndpoint health;
    QVERIFY(health.port != 0);
    AgentControllerHarness h(linkTimings());
    h.preferences.setNgrokTunnelEnabled(true);
    h.preferences.setLanPort(health.port);
    health.answer(R"({"provider":"ngrok","state":"starting","publicUrl":"","lastError":""})");
    h.start("hang");
    QTRY_COMPARE(h.controller->state(), AgentRunState::running());
    QTRY_VERIFY(health.requests >= 2);
    QCOMPARE(h.controller->tunnelState(), "starting");
    // No public address yet: the local one is known, a link is not.
    QCOMPARE(h.controller->resolvedLANAddress(), QStringLiteral("127.0.0.1:%1").arg(health.port));
    QVERIFY(h.controller->setupLink().isEmpty());

    QSignalSpy states(h.controller.get(), &HostAgentController::tunnelStateChanged);
    health.answer(R"({"provider":null,"state":"online","publicUrl":"HTTPS://fake-tunnel.example/base/"})");
    QTRY_COMPARE(h.controller->tunnelState(), "online");
    QCOMPARE(states.size(), 1);
    QCOMPARE(h.controller->tunnelPublicURL(), "HTTPS://fake-tunnel.example/base/");
    QCOMPARE(h.controller->tunnelLastError(), "");
    QCOMPARE(queryValue(h.controller->setupLink(), "endpoint"), "wss://fake-tunnel.example/base/ws");
    QCOMPARE(queryValue(h.controller->setupLink(), "token"), h.controller->hostToken());

    // Online settles the tunnel: nothing asks any more.
    QSignalSpy requests(&health, &HealthEndpoint::requested);
    QVERIFY(!requests.wait(200));
}

void HostAgentControllerLinkTest::tunnelFailureWithdrawsTheLinkAndEndsPolling()
{
    HealthEndpoint health;
    QVERIFY(health.port != 0);
    HostAgentTimings timings = linkTimings();
    timings.tunnelPoll.attempts = 200;
    AgentControllerHarness h(timings);
    h.preferences.setNgrokTunnelEnabled(true);
    h.preferences.setLanPort(health.port);
    // Neither a 503 nor a body that cannot be read settles the tunnel.
    h.start("hang");
    QTRY_VERIFY(health.requests >= 1);
    QCOMPARE(h.controller->tunnelState(), "starting");
    // A tunnel without its state cannot be read.
    health.answer(R"({"provider":"ngrok","publicUrl":"https://early.example"})");
    QTRY_VERIFY(health.requests >= 3);
    QCOMPARE(h.controller->tunnelState(), "starting");
    QCOMPARE(h.controller->tunnelPublicURL(), "");

    health.answer(
        R"({"provider":"ngrok","state":"failed","publicUrl":null,"lastError":"ERR_NGROK_105: bad token"})");
    QTRY_COMPARE(h.controller->tunnelState(), "failed");
    QCOMPARE(h.controller->tunnelLastError(), "ERR_NGROK_105: bad token");
    QCOMPARE(h.controller->tunnelPublicURL(), "");
    QVERIFY(h.controller->setupLink().isEmpty());
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
        file.write("{}");
    }
    QCOMPARE(HostAgentController::trustedDevicesPath(), folder + "/trusted-devices.json");

    QSet<QString> seen;
    for (int round = 0; round < 2; ++round) {
        h.controller->rotatePairing(&h.preferences);
        QVERIFY(!QFileInfo::exists(folder + "/trusted-devices.json"));
        QCOMPARE(QFileInfo::exists(folder + "/keep-me.json"), round == 0);
        const QString hostId = h.controller->hostId();
        QVERIFY(hostId.startsWith("host_"));
        QCOMPARE(hostId.size(), 27);
        const HostCredentials stored = h.controller->credentialStore().cached().value();
        QCOMPARE(stored.hostId, hostId);
        QCOMPARE(stored.hostToken, h.controller->hostToken());
        QCOMPARE(stored.relaySessionId, h.controller->relaySession());
        QVERIFY(qAbs(stored.rotatedAt.msecsTo(h.controller->credentialRotatedAt())) < 1000);
        for (const QString &token : {stored.hostToken, stored.relayToken, stored.pairingNonce}) {
            QCOMPARE(token.size(), 43);
            QVERIFY(QRegularExpression("^[A-Za-z0-9_-]+$").match(token).hasMatch());
        }
        // No agent runs, yet the link carries the new pairing at once.
        const QUrl link = h.controller->setupLink();
        QCOMPARE(queryValue(link, "token"), stored.hostToken);
        QCOMPARE(queryValue(link, "hostId"), hostId);
        QCOMPARE(queryValue(link, "pairingNonce"), stored.pairingNonce);
        QCOMPARE(h.controller->state(), AgentRunState::stopped());
        for (const QString &value : {hostId, stored.hostToken, stored.relaySessionId, stored.pairingNonce})
            QVERIFY2(!seen.contains(value), "a rotation repeated a credential");
        seen.unite({hostId, stored.hostToken, stored.relaySessionId, stored.pairingNonce});
        // The second round finds neither the file nor its folder, and that is no error.
        QVERIFY(QDir(folder).removeRecursively());
    }
}

void HostAgentControllerLinkTest::rotationReplacesACurrentAgent_data()
{
    QTest::addColumn<bool>("confirmed");
    QTest::newRow("running") << true;
    // Still within its confirmation delay: it holds the old pairing all the same.
    QTest::newRow("starting") << false;
}

void HostAgentControllerLinkTest::rotationReplacesACurrentAgent()
{
    QFETCH(bool, confirmed);
    HostAgentTimings timings = linkTimings();
    if (!confirmed)
        timings.confirmationDelay = std::chrono::milliseconds(60000);
    AgentControllerHarness h(timings);
    const QString record = h.file("record");
    h.start("record=" + record + ";hang");
    QTRY_VERIFY(QFileInfo::exists(record));
    QTRY_COMPARE(h.controller->state(), confirmed ? AgentRunState::running() : AgentRunState::starting());
    const qint64 old = h.controller->agentProcessId();
    const QString oldToken = h.controller->hostToken();
    QCOMPARE(FakeAgent::readRecord(record).environment.value("VELMORA_HOST_TOKEN"), oldToken);
    QVERIFY(QFile::remove(record));

    h.controller->rotatePairing(&h.preferences);
    QCOMPARE(h.controller->state(), AgentRunState::starting());
    QVERIFY(h.controller->hostToken() != oldToken);
    QTRY_VERIFY(QFileInfo::exists(record));
    QVERIFY2(!FakeAgent::isAlive(old), "the old agent must be gone before the new one starts");
    const FakeAgent::Record agent = FakeAgent::readRecord(record);
    QCOMPARE(agent.environment.value("VELMORA_HOST_TOKEN"), h.controller->hostToken());
    QCOMPARE(agent.environment.value("VELMORA_HOST_ID"), h.controller->hostId());
    if (!confirmed)
        return;
    QTRY_COMPARE(h.controller->state(), AgentRunState::running());
    QCOMPARE(queryValue(h.controller->setupLink(), "token"), h.controller->hostToken());
}

void HostAgentControllerLinkTest::preflightVerdictsThroughTheController()
{
    AgentControllerHarness h(linkTimings());
    QDir dir(h.scratch.path());
    QVERIFY(dir.mkdir("plain"));
    QVERIFY(dir.mkdir("granted"));
    QFile file(dir.filePath("notes.txt"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    h.chooser.answer = dir.filePath("granted");
    QVERIFY(h.controller->permissionGrantStore().grant(dir.filePath("granted")));
    h.preferences.setWorkspaces({dir.filePath("plain"), dir.filePath("granted"), file.fileName(),
                                 dir.filePath("gone"), dir.filePath("plain")});

    QSignalSpy published(h.controller.get(), &HostAgentController::permissionPreflightItemsChanged);
    h.controller->refreshPermissionPreflight(&h.preferences);
    QCOMPARE(published.size(), 1);
    const QList<HostPermissionPreflightItem> items = h.controller->permissionPreflightItems();
    QCOMPARE(items.size(), 5);
    struct Expected {
        HostPermissionPreflightStatus status;
        bool flags; // exists, isDirectory, canRead, canWrite
        bool hasGrant;
        QString message;
    };
    const QList<Expected> expected{
        {HostPermissionPreflightStatus::ready, true, false, "Ready for remote Codex work."},
        {HostPermissionPreflightStatus::ready, true, true, "Ready with persistent Mac preflight grant."},
        {HostPermissionPreflightStatus::notDirectory, false, false, "Path is not a folder."},
        {HostPermissionPreflightStatus::missing, false, false, "Folder does not exist."},
        {HostPermissionPreflightStatus::ready, true, false, "Ready for remote Codex work."},
    };
    for (qsizetype i = 0; i < items.size(); ++i) {
        const HostPermissionPreflightItem &item = items.at(i);
        QCOMPARE(item.path, h.preferences.workspaces().at(i));
        QCOMPARE(item.status, expected.at(i).status);
        QCOMPARE(item.message, expected.at(i).message);
        QCOMPARE(item.hasGrant, expected.at(i).hasGrant);
        QCOMPARE(item.isDirectory, expected.at(i).flags);
        QCOMPARE(item.canRead, expected.at(i).flags);
        QCOMPARE(item.canWrite, expected.at(i).flags);
    }
    QCOMPARE(items.at(2).exists, true);
    QCOMPARE(items.at(3).exists, false);
    for (const QString name : {"plain", "granted"})
        QCOMPARE(QDir(dir.filePath(name)).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList());

    h.preferences.setWorkspaces({});
    h.controller->refreshPermissionPreflight(&h.preferences);
    QCOMPARE(h.controller->permissionPreflightItems(), QList<HostPermissionPreflightItem>());
    QCOMPARE(published.size(), 2);
}

void HostAgentControllerLinkTest::preflightVerdictsAsAnUnprivilegedUser()
{
    // Root reads and writes everything, so the verdicts that need a denial are taken by a child that has
    // dropped to an unprivileged user and checks through a controller of its own.
    QTemporaryDir scratch;
    using P = QFileDevice;
    const P::Permissions reachable =
        P::ReadOwner | P::WriteOwner | P::ExeOwner | P::ReadGroup | P::ExeGroup | P::ReadOther | P::ExeOther;
    QVERIFY(QFile::setPermissions(scratch.path(), reachable));
    const P::Permissions all = reachable | P::WriteGroup | P::WriteOther;
    const P::Permissions readOnly =
        P::ReadOwner | P::ExeOwner | P::ReadGroup | P::ExeGroup | P::ReadOther | P::ExeOther;
    const P::Permissions writeOnly =
        P::WriteOwner | P::ExeOwner | P::WriteGroup | P::ExeGroup | P::WriteOther | P::ExeOther;
    QDir dir(scratch.path());
    const QList<std::pair<QString, P::Permissions>> folders{
        {"ready", all}, {"read-only", readOnly}, {"unreadable", writeOnly}};
    QStringList paths{"--controller"};
    for (const auto &[name, permissions] : folders) {
        QVERIFY(dir.mkdir(name));
        QVERIFY(QFile::setPermissions(dir.filePath(name), permissions));
        paths << dir.filePath(name);
    }

    QProcess probe;
    probe.start(QStringLiteral(PREFLIGHT_PROBE), paths);
    QVERIFY(probe.waitForFinished(10000));
    for (const auto &[name, permissions] : folders)
        QFile::setPermissions(dir.filePath(name), all); // so the temporary folder can be removed
    if (probe.exitCode() == 3)
        QSKIP("running as root, and root cannot drop to an unprivileged user here");
    QCOMPARE(probe.exitCode(), 0);
    const QStringList lines =
        QString::fromUtf8(probe.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines, QStringList({
                        "ready\t1\t1\tReady for remote Codex work.",
                        "readOnly\t1\t0\tReadable but not writable.",
                        "blocked\t0\t1\tRequires Mac preflight. Open this folder from Ferrowyn Host before "
                        "working away from the Mac.",
                    }));
    QCOMPARE(QDir(dir.filePath("ready")).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList());
}

void HostAgentControllerLinkTest::grantWhileStoppedRefreshesWithoutStarting()
{
    AgentControllerHarness h(linkTimings());
    const QString folder = h.scratch.path();
    h.preferences.setWorkspaces({folder});
    h.controller->refreshPermissionPreflight(&h.preferences);
    QCOMPARE(h.controller->permissionPreflightItems().at(0).hasGrant, false);
    h.controller->setReadinessWarning("earlier warning");

    h.chooser.answer = folder;
    h.controller->grantFolderAccess(folder, &h.preferences);
    QCOMPARE(h.chooser.requests.size(), 1);
    QVERIFY(h.controller->permissionGrantStore().hasGrant(folder));
    QCOMPARE(h.controller->permissionPreflightItems().at(0).hasGrant, true);
    QCOMPARE(h.controller->permissionPreflightItems().at(0).message,
             "Ready with persistent Mac preflight grant.");
    // A grant does not clear what was said before.
    QCOMPARE(h.controller->readinessWarning(), "earlier warning");
    QCOMPARE(h.controller->state(), AgentRunState::stopped());
    QCOMPARE(h.controller->agentProcessId(), 0);
}

void HostAgentControllerLinkTest::grantOfAnotherFolderOnlyWarns()
{
    AgentControllerHarness h(linkTimings());
    QDir dir(h.scratch.path());
    QVERIFY(dir.mkdir("pinned"));
    QVERIFY(dir.mkdir("other"));
    h.preferences.setWorkspaces({dir.filePath("pinned")});
    h.controller->refreshPermissionPreflight(&h.preferences);
    const QList<HostPermissionPreflightItem> before = h.controller->permissionPreflightItems();

    QSignalSpy published(h.controller.get(), &HostAgentController::permissionPreflightItemsChanged);
    h.chooser.answer = dir.filePath("other");
    h.controller->grantFolderAccess(dir.filePath("pinned"), &h.preferences);
    QCOMPARE(h.controller->readinessWarning(), HostAgentController::accessNotGrantedWarning);
    QCOMPARE(h.controller->readinessWarning(),
             "Access was not granted. Choose the exact pinned folder in the permission dialog.");
    QVERIFY(!h.controller->permissionGrantStore().hasGrant(dir.filePath("pinned")));
    QVERIFY(!h.controller->permissionGrantStore().hasGrant(dir.filePath("other")));
    QCOMPARE(published.size(), 0);
    QCOMPARE(h.controller->permissionPreflightItems(), before);
}

void HostAgentControllerLinkTest::grantRestartsACurrentAgentInsideTheGrant_data()
{
    QTest::addColumn<bool>("confirmed");
    QTest::newRow("running") << true;
    QTest::newRow("starting") << false;
}

void HostAgentControllerLinkTest::grantRestartsACurrentAgentInsideTheGrant()
{
    QFETCH(bool, confirmed);
    HostAgentTimings timings = linkTimings();
    if (!confirmed)
        timings.confirmationDelay = std::chrono::milliseconds(60000);
    AgentControllerHarness h(timings);
    const QString folder = h.scratch.path();
    h.preferences.setWorkspaces({folder});
    h.start("hang");
    QTRY_COMPARE(h.controller->state(), confirmed ? AgentRunState::running() : AgentRunState::starting());
    const qint64 old = h.controller->agentProcessId();
    QCOMPARE(h.controller->permissionGrantStore().activePaths(), QStringList());

    h.chooser.answer = folder;
    h.controller->grantFolderAccess(folder, &h.preferences);
    QCOMPARE(h.controller->state(), AgentRunState::starting());
    QTRY_VERIFY(h.controller->agentProcessId() != 0 && h.controller->agentProcessId() != old);
    QVERIFY(!FakeAgent::isAlive(old));
    // The new agent runs inside the grant it was restarted for.
    QTRY_COMPARE(h.controller->permissionGrantStore().activePaths().size(), 1);
    QCOMPARE(h.controller->permissionPreflightItems().at(0).hasGrant, true);
    if (confirmed)
        QTRY_COMPARE(h.controller->state(), AgentRunState::running());
}

QTEST_GUILESS_MAIN(HostAgentControllerLinkTest)
#include "tst_host_agent_controller_link.moc"
