// Hosting end to end through a relay (the headless host's test pairs on the LAN; the agent's route tests
// drive ngrok): the controller launches the real ferrowyn-agent, and Python tablets that know only what the
// QR code of the published setup link says pair with it behind the relay stub.
#include "AgentControllerHarness.h"
#include "App/Window/PairedDevicesModel.h"
#include "ScannedCode.h"
#include "Services/Links/QRCodeRenderer.h"
#include "Shared/PairingTicket.h"

#include <QDir>
#include <QProcess>

class HostingEndToEndTest : public QObject {
    Q_OBJECT

private slots:
    void relay()
    {
        QTemporaryDir home;
        // The agent inherits HOME: its trusted devices and codec state land here, where the host looks too.
        qputenv("HOME", home.path().toUtf8());
        AgentControllerHarness h;
        h.agentPath = QStringLiteral(FERROWYN_AGENT_PATH);
        h.preferences.setWorkspaces({h.scratch.path()});
        h.preferences.setLanBindAll(false);
        h.preferences.setLanPort(freeLoopbackPort());
        h.preferences.setMode(HostingMode::relay);
        // Made while stopped, the new pairing is in the link at once: the relay stub learns it from there.
        h.controller->rotatePairing(&h.preferences);
        // What a tablet's camera reads from the window's QR code of the link.
        const QUrl link(
            scannedCode(QRCodeRenderer::image(h.controller->setupLink().toString(QUrl::FullyEncoded), 333.3)
                            .value_or(QImage()),
                        home.filePath("code.png")));
        QStringList arguments{FERROWYN_AGENT_TEST_DIR "/relay_stub.py"};
        for (const char *key : {"relayToken", "sessionId", "token", "hostId", "pairingNonce"})
            arguments << queryValue(link, key);
        QProcess relay;
        QByteArray lines;
        connect(&relay, &QProcess::readyRead, this, [&] { lines += relay.readAll(); });
        relay.start("/usr/bin/python3", arguments << h.scratch.path());
        QTRY_VERIFY(lines.contains('\n'));
        h.preferences.setRelayURL("ws://127.0.0.1:" + lines.mid(5).trimmed() + "/relay/v2/");
        // As the window does, the host learns of each pairing from the trusted-devices file.
        PairedDevicesModel devices(&HostAgentController::trustedDevicesPath);
        devices.setHostId(h.controller->hostId());
        connect(&devices, &PairedDevicesModel::contentsChanged, this,
                [&] { h.controller->trustedDevicesChanged(devices.devices()); });
        // The link's pairing code once it is made with the current pairing nonce, else none.
        const auto currentCode = [&h] {
            const QString code = queryValue(h.controller->setupLink(), "pairingNonce");
            const std::optional<PairingTicket::Parts> parts = PairingTicket::parse(code);
            const bool current =
                parts &&
                parts->mac == PairingTicket::mac(h.controller->credentialStore().cached()->pairingNonce,
                                                 h.controller->hostId(), parts->expiresAt, parts->serial);
            return current ? code : QString();
        };
        h.controller->start(&h.preferences);
        // Two tablets pair behind the relay, the second with the code shown once the first paired with the
        // scanned one; revoking one ends its conversation there, not the other's, and it cannot come back,
        // with its own secret.
        QTRY_VERIFY_WITH_TIMEOUT(lines.contains("used") || lines.contains("FAIL"), 30000);
        QVERIFY2(lines.contains("used"), lines.constData());
        // The tablet may pair before the host sees the agent running and shows a link.
        QTRY_VERIFY(devices.count() == 1 && !currentCode().isEmpty());
        relay.write(currentCode().toUtf8() + '\n');
        QTRY_VERIFY_WITH_TIMEOUT(lines.contains("paired") || lines.contains("FAIL"), 30000);
        QVERIFY2(lines.contains("paired"), lines.constData());
        QTRY_COMPARE(devices.count(), 2);
        QVERIFY(devices.devices().constFirst().lastSeenAt && devices.devices().constFirst().route == "relay");
        const QString pairedNonce = h.controller->credentialStore().cached()->pairingNonce;
        h.controller->revokeDevice("relay-tablet-1", &h.preferences);
        // The revocation hands the running agent a new pairing: the stub pairs with the new link's code.
        QTRY_VERIFY(h.controller->credentialStore().cached()->pairingNonce != pairedNonce &&
                    !currentCode().isEmpty());
        relay.write(currentCode().toUtf8() + '\n');
        QTRY_VERIFY_WITH_TIMEOUT(lines.contains("revoked") || lines.contains("FAIL"), 10000);
        QVERIFY2(lines.contains("revoked"), lines.constData());
        // The host's list follows: the revoked tablet gone, the one that paired with the new code there
        // (newest first, which is the file's order when both paired within one second).
        const auto listed = [&devices] {
            QStringList ids;
            for (const TrustedDevice &device : devices.devices())
                ids.append(device.deviceId);
            ids.sort();
            return ids;
        };
        QTRY_COMPARE(listed(), QStringList({"relay-tablet-2", "relay-tablet-3"}));
    }
};

QTEST_GUILESS_MAIN(HostingEndToEndTest)
#include "tst_hosting_end_to_end.moc"
