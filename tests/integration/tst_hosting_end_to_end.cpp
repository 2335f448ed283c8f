// Hosting end to end, on the routes beyond the LAN (which the headless host's test pairs on): the controller
// launches the real ferrowyn-agent, and a Python tablet that knows only what the QR code of the published
// setup link says pairs with it.
#include "AgentControllerHarness.h"
#include "App/Window/PairedDevicesModel.h"
#include "Services/Links/QRCodeRenderer.h"

#include <QDir>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QUrlQuery>

namespace {

QString queryValue(const QUrl &link, const QString &key)
{
    return QUrlQuery(link).queryItemValue(key, QUrl::FullyDecoded);
}

} // namespace

class HostingEndToEndTest : public QObject {
    Q_OBJECT

    // One of the agent's Python test helpers, its output on `lines` while the event loop serves the
    // controller.
    void startPython(QProcess &python, const QString &script, const QStringList &arguments)
    {
        python.start("/usr/bin/python3", QStringList{FERROWYN_AGENT_TEST_DIR "/" + script} + arguments);
        connect(&python, &QProcess::readyRead, this, [this, &python] { lines += python.readAll(); });
    }

    // What a tablet's camera reads from the window's QR code of the link, decoded by zbarimg (zbar-tools).
    QString scanned(const QUrl &link)
    {
        const QString file = home->filePath("code.png");
        QRCodeRenderer::image(link.toString(QUrl::FullyEncoded), 333.3).value_or(QImage()).save(file);
        QProcess zbarimg;
        zbarimg.start("zbarimg", {"--raw", "-q", file});
        zbarimg.waitForFinished(20000);
        return QString::fromUtf8(zbarimg.readAllStandardOutput()).trimmed();
    }

    // The tablet pairs, comes back as a trusted device and lists the pinned folder.
    void pairTablet(const QString &link, const QString &endpoint = {})
    {
        QProcess tablet;
        startPython(tablet, "tablet_client.py", QStringList{link, h->scratch.path(), endpoint});
        QVERIFY(QSignalSpy(&tablet, &QProcess::finished).wait(20000));
        QVERIFY2(tablet.exitCode() == 0 && lines.contains("paired=True\ntrusted=True"), lines.constData());
    }

    std::unique_ptr<QTemporaryDir> home;
    std::unique_ptr<AgentControllerHarness> h;
    QByteArray lines;

private slots:
    void init()
    {
        // The agent inherits HOME: its trusted devices and codec state land here, where the host looks too.
        home = std::make_unique<QTemporaryDir>();
        qputenv("HOME", home->path().toUtf8());
        h = std::make_unique<AgentControllerHarness>();
        h->agentPath = QStringLiteral(FERROWYN_AGENT_PATH);
        h->preferences.setWorkspaces({h->scratch.path()});
        h->preferences.setLanBindAll(false);
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        h->preferences.setLanPort(probe.serverPort());
        lines.clear();
    }

    void ngrok()
    {
        // The agent finds ngrok on the tool path the host gives it, which takes in ~/.local/bin.
        QVERIFY(QDir().mkpath(home->filePath(".local/bin")));
        QVERIFY(QFile::link(FERROWYN_AGENT_TEST_DIR "/fake-ngrok.sh", home->filePath(".local/bin/ngrok")));
        qputenv("FAKE_NGROK_MODE", "online");
        qputenv("FAKE_NGROK_RECORD", home->filePath("ngrok-record").toUtf8());
        qputenv("FAKE_NGROK_GO", home->path().toUtf8()); // there already: online at once
        h->preferences.setNgrokTunnelEnabled(true);
        h->controller->start(&h->preferences);
        QTRY_COMPARE_WITH_TIMEOUT(h->controller->tunnelState(), TunnelState::online, 15000);
        const QUrl link(scanned(h->controller->setupLink()));
        QCOMPARE(queryValue(link, "endpoint"), "wss://fake-tunnel.ngrok-free.app/ws");
        // The tunnel leads to the local port; the tablet goes there with what the link says.
        pairTablet(link.toString(QUrl::FullyEncoded),
                   QStringLiteral("ws://127.0.0.1:%1/ws").arg(h->preferences.lanPort()));
    }

    void relay()
    {
        h->preferences.setMode(HostingMode::relay);
        // Made while stopped, the new pairing is in the link at once: the relay stub learns it from there.
        h->controller->rotatePairing(&h->preferences);
        const QUrl link(scanned(h->controller->setupLink()));
        QStringList arguments;
        for (const char *key : {"relayToken", "sessionId", "token", "hostId", "pairingNonce"})
            arguments << queryValue(link, key);
        QProcess relay;
        startPython(relay, "relay_stub.py", arguments << h->scratch.path());
        QTRY_VERIFY(lines.contains('\n'));
        h->preferences.setRelayURL("ws://127.0.0.1:" + lines.mid(5).trimmed() + "/relay/v2/");
        h->controller->start(&h->preferences);
        // Two tablets pair behind the relay; revoking one ends its conversation there, not the other's, and
        // it cannot come back, under its own id or the other's. A flood of wrong tokens through the relay
        // first: it holds back nobody's right credentials.
        QTRY_VERIFY_WITH_TIMEOUT(lines.contains("paired") || lines.contains("FAIL"), 30000);
        QVERIFY2(lines.contains("paired"), lines.constData());
        qInfo("%s", lines.mid(lines.indexOf("flood"), lines.indexOf("\npaired") - lines.indexOf("flood"))
                        .constData());
        PairedDevicesModel devices(&HostAgentController::trustedDevicesPath);
        devices.setHostId(h->controller->hostId());
        QTRY_COMPARE(devices.count(), 2);
        QVERIFY(devices.devices().constFirst().lastSeenAt && devices.devices().constFirst().route == "relay");
        h->controller->revokeDevice("relay-tablet-1", &h->preferences);
        // The revocation hands the running agent a new pairing: the stub pairs with the new link's nonce.
        QTRY_VERIFY(queryValue(h->controller->setupLink(), "pairingNonce") !=
                    queryValue(link, "pairingNonce"));
        relay.write(queryValue(h->controller->setupLink(), "pairingNonce").toUtf8() + '\n');
        QTRY_VERIFY_WITH_TIMEOUT(lines.contains("revoked") || lines.contains("FAIL"), 10000);
        QVERIFY2(lines.contains("revoked"), lines.constData());
        const auto ids = [&devices] {
            QStringList ids;
            for (const TrustedDevice &device : devices.devices())
                ids << device.deviceId;
            ids.sort();
            return ids;
        };
        QTRY_COMPARE(ids(), (QStringList{"relay-tablet-2", "relay-tablet-3"}));
    }
};

QTEST_GUILESS_MAIN(HostingEndToEndTest)
#include "tst_hosting_end_to_end.moc"
