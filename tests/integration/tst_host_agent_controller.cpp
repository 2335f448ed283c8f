// The controller against the scripted stand-in agent: what the agent is given and when it is started again,
// what the setup link and the keyring do, and how a pairing change reaches the agent. Running the agent
// itself is the agent-supervision tests' job.
#include "AgentControllerHarness.h"

#include "Shared/TrustedDevicesFile.h"
#include "Shared/WindowDrawing.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <csignal>

namespace {

// One variable of a running agent's environment, "<unset>" when it has none.
QString agentVariable(qint64 pid, const QString &name)
{
    const QStringList found =
        FakeAgent::procList(pid, "environ").filter(QRegularExpression("^" + name + "="));
    return found.isEmpty() ? QStringLiteral("<unset>") : found.first().section('=', 1);
}

} // namespace

class HostAgentControllerTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // Trusted devices and the relay codec state live under the home folder.
        static QTemporaryDir home;
        qputenv("HOME", home.path().toUtf8());
        // Where the agent finds tools a user installed, ngrok among them.
        QVERIFY(QDir(home.path()).mkpath(".local/bin"));
        // The host's own copy must never reach an agent that is not meant to have it.
        qputenv("VELMORA_RELAY_TOKEN", "inherited-relay-token");
        // The window's drawing settings are its own; one the user chose is the agent's too.
        qputenv("QSG_ATLAS_HEIGHT", "77");
        const QProcessEnvironment before = QProcessEnvironment::systemEnvironment();
        WindowDrawing::chooseForThisComputer();
        for (const QString &name : QProcessEnvironment::systemEnvironment().keys()) {
            if (!before.contains(name))
                m_windowsOwn.append(name);
        }
        QVERIFY(!m_windowsOwn.isEmpty());
    }

    void launchGivesSecretsInTheEnvironmentOnly()
    {
        // The route, whether the tunnel is on, and how the agent is told to listen.
        const QList<std::tuple<HostingMode, bool, QStringList>> routes{
            {HostingMode::lan, false, {"--addr", "0.0.0.0:9123"}},
            {HostingMode::lan, true, {"--addr", "127.0.0.1:9123", "--tunnel-mode", "ngrok"}},
            {HostingMode::relay, true, {"--addr", "127.0.0.1:9123", "--relay-url"}}};
        for (const auto &[mode, tunnel, listening] : routes) {
            AgentControllerHarness h;
            h.preferences.setMode(mode);
            h.preferences.setNgrokTunnelEnabled(tunnel);
            h.preferences.setNgrokAuthtoken(" ngrok-token\n");
            h.preferences.setLanPort(9123);
            h.preferences.setWorkspaces({h.scratch.path()});
            h.run();
            const qint64 pid = h.controller->agentProcessId();
            const HostCredentials credentials = h.controller->credentialStore().cached().value();
            const bool relay = mode == HostingMode::relay;
            // Every secret as the pairing has it, and only where the route uses it: an agent given another
            // relay session, or no key, would serve nobody who scanned the link.
            QVERIFY(credentials.agentPublicKey());
            const QList<std::pair<QString, QString>> secrets{
                {"VELMORA_HOST_TOKEN", credentials.hostToken},
                {"VELMORA_HOST_ID", credentials.hostId},
                {"VELMORA_PAIRING_NONCE", credentials.pairingNonce},
                {"VELMORA_AGENT_KEY", credentials.agentKey},
                {"VELMORA_RELAY_TOKEN", relay ? credentials.relayToken : "<unset>"},
                {"VELMORA_RELAY_SESSION", relay ? credentials.relaySessionId : "<unset>"},
                {"VELMORA_NGROK_AUTHTOKEN", relay || !tunnel ? "<unset>" : "ngrok-token"}};
            for (const auto &[name, value] : secrets)
                QCOMPARE(agentVariable(pid, name), value);
            // Made for this launch alone, so the test can only see that it is there.
            QCOMPARE(agentVariable(pid, "VELMORA_CONTROL_SECRET").size(), 43);
            QVERIFY(
                agentVariable(pid, "PATH").split(':').contains(qEnvironmentVariable("HOME") + "/.local/bin"));
            QCOMPARE(agentVariable(pid, "QSG_ATLAS_HEIGHT"), "77");
            for (const QString &name : std::as_const(m_windowsOwn))
                QCOMPARE(agentVariable(pid, name), "<unset>");

            // Anyone on the machine can read a command line: no secret may be on it.
            const QStringList arguments = FakeAgent::procList(pid, "cmdline").mid(2);
            QCOMPARE(arguments.mid(0, 2 + listening.size()),
                     QStringList({"--workspace", h.scratch.path()}) + listening);
            for (const QString &secret :
                 {credentials.hostToken, credentials.pairingNonce, credentials.relayToken,
                  credentials.relaySessionId, credentials.agentKey, QStringLiteral("ngrok-token")})
                QVERIFY2(!arguments.join(' ').contains(secret), qPrintable(secret));
        }
    }

    void masksSecretsInFloodedOutput()
    {
        HostAgentTimings timings = AgentControllerHarness::shortTimings();
        timings.process.readSliceBytes = 512;
        timings.process.maxWaitingBytes = 8 * 1024;
        AgentControllerHarness h(timings);
        h.preferences.setMode(HostingMode::relay);
        // Stored with the blanks of a careless paste; the trimmed token is the one output can show.
        h.preferences.setNgrokAuthtoken(" ngrok-token-123456\n");
        // About 2.5 MB of lines, far more than may wait, then every secret the agent could print.
        h.start("burst=50000:VELMORA_HOST_TOKEN;env-out=VELMORA_RELAY_TOKEN;env-out=VELMORA_PAIRING_NONCE;"
                "env-out=VELMORA_HOST_ID;env-out=VELMORA_RELAY_SESSION;env-out=VELMORA_AGENT_KEY;"
                "out=ngrok-token-123456 tail\\n;hang");
        // Skipping cuts lines anywhere; no remnant of a cut line, and so no fragment of a token, is shown.
        QTRY_COMPARE(
            h.controller->lastLogLines(),
            QStringList(194, "VELMORA_HOST_TOKEN=redacted") +
                QStringList({"redacted", "redacted", "redacted", "redacted", "redacted", "redacted tail"}));
        QVERIFY(h.controller->skippedOutputBytes() > 0);
    }

    // A grant, a revocation and a rotation each replace the running agent with one that has what changed; the
    // last one's link is refreshed while it runs and withdrawn when it ends.
    void pairingAndGrantChangesReplaceTheAgent()
    {
        AgentControllerHarness h;
        const QString folder = h.scratch.filePath("pinned");
        QVERIFY(QDir().mkpath(folder));
        h.preferences.setWorkspaces({folder});
        // The stand-in listens on no port, so nothing there answers a request.
        h.preferences.setLanPort(freeLoopbackPort());
        h.start("hang");
        // Another folder chosen in the dialog grants nothing and only says so.
        h.chooser.answer = h.scratch.path();
        h.controller->grantFolderAccess(folder, &h.preferences);
        QCOMPARE(h.controller->warnings().text(), HostAgentController::accessNotGrantedWarning);
        h.chooser.answer = folder;
        h.controller->grantFolderAccess(folder, &h.preferences);
        QVERIFY(h.controller->permissionPreflightItems().value(0).hasGrant);
        QCOMPARE(h.controller->warnings().text(), QString()); // the grant's own success
        // The new agent works inside the grant it was restarted for.
        QTRY_COMPARE(h.controller->permissionGrantStore().activePaths().size(), 1);

        // An agent that cannot be asked to revoke a tablet still loses it: the tablet is taken out of the
        // file, and the agent starts again with the new pairing nonce.
        QTRY_COMPARE(h.controller->state(), AgentRunState::running());
        QVERIFY(h.trust({{"gone", "A", h.controller->hostId(), {}, {}, {}},
                         {"kept", "B", h.controller->hostId(), {}, {}, {}}}));
        const TrustedDevicesFile file(HostAgentController::trustedDevicesPath());
        qint64 old = h.controller->agentProcessId();
        const QString oldNonce = h.controller->credentialStore().cached()->pairingNonce;
        h.controller->revokeDevice("gone", &h.preferences);
        QTRY_VERIFY(h.controller->agentProcessId() != 0 && h.controller->agentProcessId() != old);
        QCOMPARE(file.read().devices.size(), 1);
        QCOMPARE(file.read().devices.constFirst().deviceId, "kept");
        const QString nonce = h.controller->credentialStore().cached()->pairingNonce;
        QVERIFY(nonce != oldNonce);
        QCOMPARE(agentVariable(h.controller->agentProcessId(), "VELMORA_PAIRING_NONCE"), nonce);

        // A rotation revokes every tablet, and replaces the key they pinned.
        QTRY_COMPARE(h.controller->state(), AgentRunState::running());
        old = h.controller->agentProcessId();
        const QString oldToken = h.controller->hostToken();
        const QString oldKey = h.controller->credentialStore().cached()->agentKey;
        h.controller->rotatePairing(&h.preferences);
        QVERIFY(!QFileInfo::exists(file.path()));
        QTRY_COMPARE(h.controller->state(), AgentRunState::running());
        QVERIFY2(!FakeAgent::isAlive(old), "the old agent would accept the revoked pairing");
        QVERIFY(h.controller->hostToken() != oldToken);
        QCOMPARE(agentVariable(h.controller->agentProcessId(), "VELMORA_HOST_TOKEN"),
                 h.controller->hostToken());
        QCOMPARE(queryValue(h.controller->setupLink(), "token"), h.controller->hostToken());
        const HostCredentials rotated = *h.controller->credentialStore().cached();
        QVERIFY(rotated.agentKey != oldKey);
        QCOMPARE(agentVariable(h.controller->agentProcessId(), "VELMORA_AGENT_KEY"), rotated.agentKey);
        QCOMPARE(queryValue(h.controller->setupLink(), "agentKey"), rotated.agentPublicKey().value());

        // The expiry has whole seconds: the refresh that follows the next second boundary renews it.
        const auto expiry = [&h] {
            return QDateTime::fromString(queryValue(h.controller->setupLink(), "expiresAt"), Qt::ISODate);
        };
        const QDateTime first = expiry();
        QTRY_VERIFY_WITH_TIMEOUT(expiry() > first, 3000);
        ::kill(static_cast<pid_t>(h.controller->agentProcessId()), SIGTERM);
        QTRY_COMPARE(h.controller->state(), AgentRunState::stopped());
        QCOMPARE(h.controller->setupLink(), QUrl());
        // "Keep relay online" is off: no restart follows the exit. (The window's tests turn it on.)
        QVERIFY(!h.controller->restartPending());
    }

private:
    QStringList m_windowsOwn; // what the host set for its window alone
};

QTEST_GUILESS_MAIN(HostAgentControllerTest)
#include "tst_host_agent_controller.moc"
