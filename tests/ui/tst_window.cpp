#include "App/HostApplication.h"
#include "App/Window/SetupLinkCode.h"
#include "RecordingLoginItem.h"
#include "Services/HostWarnings.h"
#include "Services/Links/QRCodeRenderer.h"
#include "Services/Pairing/PairingSecretsPlace.h"
#include "Shared/TrustedDevicesFile.h"
#include "WindowHarness.h"

#include <QClipboard>
#include <QDirIterator>
#include <QGuiApplication>
#include <QHttpServer>
#include <QHttpServerResponse>
#include <QJsonObject>
#include <QPalette>
#include <QProcess>
#include <QQmlComponent>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QUrlQuery>

// The real window offscreen, and the application's rules around it.
class WindowTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { m_h.load(); }
    void init() { m_h.reset(); }

    void controlsDriveTheAgent();
    void linkAndLogShowNoSecret();
    void foldersArePinnedGrantedAndRemoved();
    void outsideTextIsNeverMarkup();
    void launchStartupRunsOnce();
    void settingsChangesRestartOnlyAnActiveAgent_data();
    void settingsChangesRestartOnlyAnActiveAgent();
    void warningsStandUntilTheirOwnSourceIsFine();

private:
    WindowHarness m_h;
    RecordingLoginItem m_loginItem;
};

void WindowTest::controlsDriveTheAgent()
{
    FakeAgent::setScript(QStringLiteral("ignore-term;hang"));
    m_h.click(m_h.find("startButton"));
    QCOMPARE(m_h.controller->state(), AgentRunState::starting());
    QTRY_COMPARE(m_h.controller->state(), AgentRunState::running());
    const qint64 pid = m_h.controller->agentProcessId();
    QTest::keyClick(m_h.window(), Qt::Key_Return, Qt::ControlModifier); // "Start hosting" is not shown
    QCOMPARE(m_h.controller->agentProcessId(), pid);
    m_h.click(m_h.find("restartButton"));
    QTRY_VERIFY(m_h.presenter.running() && m_h.controller->agentProcessId() != pid);

    // An agent that ignores SIGTERM does not freeze the window: the stop returns at once, and the kill ends
    // it.
    QTest::keyClick(m_h.window(), Qt::Key_Escape);
    QCOMPARE(m_h.controller->state(), AgentRunState::stopping());
    QTRY_COMPARE(m_h.controller->state(), AgentRunState::stopped());

    // An agent that keeps exiting is restarted: Stop is there, alone, and ends the loop.
    m_h.preferences.setKeepRelayOnline(true);
    FakeAgent::setScript(QStringLiteral("exit=1"));
    QTest::keyClick(m_h.window(), Qt::Key_Return, Qt::ControlModifier);
    QTRY_VERIFY(m_h.controller->state().isFailed() && m_h.controller->restartPending());
    QVERIFY(m_h.shown("stopButton") && !m_h.shown("startButton"));
    m_h.click(m_h.find("stopButton"));
    QVERIFY(!m_h.controller->restartPending() && !m_h.shown("stopButton"));
}

void WindowTest::linkAndLogShowNoSecret()
{
    // The relay's fields are made when the relay is chosen.
    m_h.preferences.setMode(HostingMode::relay);
    QTRY_VERIFY(m_h.shown("relayURLField"));
    m_h.preferences.setNgrokAuthtoken(QStringLiteral("ngrok-token-in-the-keyring"));
    m_h.start(QStringLiteral("burst=250:VELMORA_HOST_TOKEN;out=relay: terrors of the deep\\n;hang"));
    QTRY_VERIFY(m_h.shown("connectedContent"));
    const QString link = m_h.controller->setupLink().toString(QUrl::FullyEncoded);
    const HostCredentials credentials = m_h.controller->credentialStore().cached().value();
    // The views hold what they show and nothing more: the QR code is made from the link in C++, and the
    // ngrok authtoken is written from the window but never read back. The host id and relay session are
    // shown as they are.
    QStringList readable = readableValues(m_h.window());
    readable << readableValues(&m_h.presenter) << readableValues(&m_h.preferences);
    const QString everything = readable.join(QLatin1Char('\n'));
    QVERIFY(everything.contains(credentials.hostId) && everything.contains("redacted"));
    // The link carries a pairing code made from the nonce, never the nonce itself.
    const QString code = QUrlQuery(m_h.controller->setupLink()).queryItemValue("pairingNonce");
    for (const auto &[secret, inLink] :
         {std::pair(credentials.hostToken, true), std::pair(credentials.relayToken, true),
          std::pair(code, true), std::pair(credentials.pairingNonce, false),
          std::pair(QString("ngrok-token-in-the-keyring"), false)})
        QVERIFY2(link.contains(secret) == inLink && !everything.contains(secret), qPrintable(secret));
    m_h.click(m_h.find("copyButton"));
    QCOMPARE(QGuiApplication::clipboard()->text(), link);

    // The log keeps the last lines, masked; a line that tells of an error, in any word, stands out.
    QQuickItem *log = m_h.find("logBox");
    QTRY_COMPARE(log->property("count").toInt(), 200);
    QTRY_COMPARE(m_h.showing(QStringLiteral("relay: terrors of the deep"), log).size(), 1);
    const QList<QQuickItem *> masked = m_h.showing(QStringLiteral("VELMORA_HOST_TOKEN=redacted"), log);
    QVERIFY(!masked.isEmpty() &&
            masked[0]->property("color") !=
                m_h.showing(QStringLiteral("relay: terrors of the deep"), log)[0]->property("color"));

    // Rotating acts without asking, so its tool tip says what it costs.
    QQuickItem *rotate = m_h.find("rotateButton");
    QTest::mouseMove(m_h.window(), rotate->mapToScene(rotate->boundingRect().center()).toPoint());
    const QString costs = QStringLiteral("Replaces the pairing at once. Every paired tablet must pair again, "
                                         "and every setup link stops working.");
    QTRY_COMPARE(m_h.showing(costs).size(), 1);
    m_h.click(rotate);
    QTRY_VERIFY(m_h.controller->setupLink().toString(QUrl::FullyEncoded) != link &&
                qobject_cast<SetupLinkCode *>(m_h.find("qrCode"))->image() ==
                    QRCodeRenderer::image(m_h.controller->setupLink().toString(QUrl::FullyEncoded), 220));
    // The saved token can be forgotten from the window, which never shows it.
    m_h.click(m_h.find("forgetNgrokTokenButton"));
    QVERIFY(m_h.preferences.ngrokAuthtoken().isEmpty());

    // Enter in the relay's URL restarts a running agent, as on the LAN.
    QTRY_VERIFY(m_h.presenter.running());
    const qint64 pid = m_h.controller->agentProcessId();
    QMetaObject::invokeMethod(m_h.find("relayURLField"), "accepted");
    QTRY_VERIFY(m_h.presenter.running() && m_h.controller->agentProcessId() != pid);
}

void WindowTest::foldersArePinnedGrantedAndRemoved()
{
    // A folder name with markup shows as written and keeps the row height.
    const QStringList names{QStringLiteral("<font size=\"6\">Big"), QStringLiteral("plain")};
    const QStringList paths{m_h.scratch.filePath(names[0]), m_h.scratch.filePath(names[1]),
                            m_h.scratch.filePath("missing")};
    QVERIFY(QDir().mkpath(paths[0]) && QDir().mkpath(paths[1]));
    m_h.presenter.pinFolders(
        {QUrl::fromLocalFile(paths[0]), paths[1], paths[2], QUrl::fromLocalFile(paths[0])});
    QCOMPARE(m_h.preferences.workspaces(), paths);
    QTRY_COMPARE(m_h.named("statusBadge").size(), 3);
    const QList<QQuickItem *> rows = m_h.named("workspaceRow");
    QCOMPARE(rows.at(0)->height(), rows.at(1)->height());
    for (const QString &name : names)
        QVERIFY2(m_h.showing(name).size() == 1, qPrintable(name));

    // The missing folder offers no grant; a granted one no longer does.
    QCOMPARE(m_h.named("grantAccessButton").size(), 2);
    m_h.chooser.answer = paths[0];
    m_h.click(m_h.named("grantAccessButton", rows.at(0)).value(0));
    QTRY_COMPARE(m_h.named("grantAccessButton").size(), 1);
    m_h.click(m_h.named("removeButton", rows.at(1)).value(0));
    QCOMPARE(m_h.preferences.workspaces(), QStringList({paths[0], paths[2]}));
    m_h.click(m_h.find("clearAllButton"));
    QVERIFY(m_h.preferences.workspaces().isEmpty() && m_h.shown("noFoldersText"));
}

// Text from ngrok and the agent shows as written, in the window and its tool tips: read as markup, it would
// make the window fetch an image from anywhere.
void WindowTest::outsideTextIsNeverMarkup()
{
    // The attached tool tip reads markup in whatever it is given; PlainToolTip shows it as written.
    for (QDirIterator it(QStringLiteral(":/Ferrowyn"), {QStringLiteral("*.qml")}, QDir::Files,
                         QDirIterator::Subdirectories);
         it.hasNext();) {
        QFile view(it.next());
        QVERIFY(view.open(QIODevice::ReadOnly) && !view.readAll().contains("ToolTip.text"));
    }

    // The agent's health endpoint with one tunnel answer, recording every other path asked for.
    QHttpServer server;
    QStringList fetched;
    QJsonObject tunnel;
    server.route("/healthz", [&tunnel] { return QJsonObject{{"status", "ok"}, {"tunnel", tunnel}}; });
    server.route("/<arg>", [&fetched](const QString &path) {
        fetched << path;
        return QHttpServerResponse(QHttpServerResponse::StatusCode::NotFound);
    });
    const quint16 port = server.listen(QHostAddress::LocalHost);
    const auto image = [port](const char *path) {
        return QStringLiteral("<img src=\"http://127.0.0.1:%1/%2\">").arg(port).arg(path);
    };
    // Long enough that the status line is cut and offers the whole text in its tool tip.
    const QString text = image("x") + QString(200, u'-');
    m_h.preferences.setNgrokTunnelEnabled(true);
    m_h.preferences.setLanPort(port);
    for (const auto &[state, field, withToolTips] :
         {std::tuple("failed", "lastError", QStringList{"tunnelRow", "statusHeadline"}),
          std::tuple("online", "publicUrl", QStringList{"tunnelRow"})}) {
        tunnel = {{"state", state}, {field, text}};
        m_h.start(QStringLiteral("out=%1\\n;hang").arg(image("log")));
        QTRY_VERIFY(rawValue(m_h.controller->tunnelState()) == state &&
                    m_h.find("tunnelRow")->property("value") == text);
        QTRY_VERIFY(!m_h.showing(image("log"), m_h.find("logBox")).isEmpty());
        const qsizetype onScreen = m_h.showing(text).size();
        for (const QString &name : withToolTips) {
            const QList<QQuickItem *> shown = m_h.showing(text, m_h.find(qPrintable(name)));
            QVERIFY2(!shown.isEmpty(), qPrintable(name));
            QTest::mouseMove(m_h.window(), shown[0]->mapToScene(shown[0]->boundingRect().center()).toPoint());
            QTRY_COMPARE(m_h.showing(text).size(), onScreen + 1); // its tool tip
            QTest::mouseMove(m_h.window(), QPoint(1, 1));
            QTRY_COMPARE(m_h.showing(text).size(), onScreen);
        }
        m_h.window()->grabWindow(); // drawn, as the user sees it
        // The desktop's tray may read its tool tip as rich text.
        QVERIFY(!m_h.presenter.trayToolTip().contains(u'<'));
    }

    // A rich text asks for its image now, after every text above: once its request is in, theirs would be
    // too.
    QQmlComponent probe(&m_h.engine);
    probe.setData(QStringLiteral("import QtQuick\nText { text: '%1' }").arg(image("probe")).toUtf8(), QUrl());
    std::unique_ptr<QObject> rich(probe.create());
    QTRY_VERIFY(fetched.contains("probe"));
    QCOMPARE(fetched, QStringList{"probe"});
}

// At launch the folders are checked and hosting starts if asked; a second call neither checks again nor
// starts a second agent.
void WindowTest::launchStartupRunsOnce()
{
    m_h.preferences.setWorkspaces({m_h.scratch.path()});
    FakeAgent::setScript(QStringLiteral("hang"));
    for (const bool startOnLaunch : {false, true}) {
        m_h.preferences.setStartHostingOnLaunch(startOnLaunch);
        HostApplication application(m_h.preferences, *m_h.controller, m_loginItem);
        QSignalSpy preflights(m_h.controller.get(), &HostAgentController::permissionPreflightItemsChanged);
        const AgentRunState launched = startOnLaunch ? AgentRunState::running() : AgentRunState::stopped();
        application.runLaunchStartup();
        QTRY_COMPARE(m_h.controller->state(), launched);
        const qint64 pid = m_h.controller->agentProcessId();
        application.runLaunchStartup();
        QCOMPARE(preflights.count(), 1);
        // A second start would have stopped the running agent to launch another.
        QCOMPARE(m_h.controller->state(), launched);
        QCOMPARE(m_h.controller->agentProcessId(), pid);
    }
}

void WindowTest::settingsChangesRestartOnlyAnActiveAgent_data()
{
    QTest::addColumn<std::function<void(HostPreferences &)>>("change");
    QTest::newRow("mode") << std::function([](HostPreferences &p) {
        p.setMode(p.mode() == HostingMode::lan ? HostingMode::relay : HostingMode::lan);
    });
    QTest::newRow("port") << std::function([](HostPreferences &p) { p.setLanPort(p.lanPort() + 1); });
    QTest::newRow("bind all") << std::function([](HostPreferences &p) { p.setLanBindAll(!p.lanBindAll()); });
    QTest::newRow("ngrok") << std::function(
        [](HostPreferences &p) { p.setNgrokTunnelEnabled(!p.ngrokTunnelEnabled()); });
    // Another protocol needs its own managed relay, whatever URL was typed before.
    QTest::newRow("relay version") << std::function([](HostPreferences &p) {
        p.setRelayURL(QStringLiteral("wss://my.relay.example/relay"));
        p.setRelayVersion(p.relayVersion() == HostRelayVersion::goV1 ? HostRelayVersion::elixirV2
                                                                     : HostRelayVersion::goV1);
        QCOMPARE(p.relayURL(), managedDefaultURL(p.relayVersion()));
    });
    QTest::newRow("programs") << std::function([](HostPreferences &p) {
        QStringList programs = p.sessionPrograms();
        if (programs.removeAll(QStringLiteral("aider")) == 0)
            programs.append(QStringLiteral("aider"));
        p.setSessionPrograms(programs);
    });
    // Pinning waits for the next start; unpinning does not, or the folder would stay the tablets' to reach.
    QTest::newRow("unpinning") << std::function([](HostPreferences &p) {
        p.setWorkspaces({QStringLiteral("/home/ana/a"), QStringLiteral("/home/ana/b")});
        QCOMPARE(p.workspaces().size(), 2);
        p.setWorkspaces({QStringLiteral("/home/ana/a")});
    });
}

void WindowTest::settingsChangesRestartOnlyAnActiveAgent()
{
    QFETCH(std::function<void(HostPreferences &)>, change);
    HostApplication application(m_h.preferences, *m_h.controller, m_loginItem);
    change(m_h.preferences); // stopped: the change waits for the next start
    QCOMPARE(m_h.controller->state(), AgentRunState::stopped());
    m_h.run();
    const qint64 before = m_h.controller->agentProcessId();
    change(m_h.preferences);
    QCOMPARE(m_h.controller->state(), AgentRunState::starting());
    QTRY_VERIFY(m_h.controller->agentProcessId() != 0 && m_h.controller->agentProcessId() != before);
    QVERIFY(!FakeAgent::isAlive(before)); // the old agent was gone before the new one started
}

// Each warning stands until its own source is fine again; the window shows them all as one text.
void WindowTest::warningsStandUntilTheirOwnSourceIsFine()
{
    HostApplication application(m_h.preferences, *m_h.controller, m_loginItem);
    HostWarnings &warnings = m_h.controller->warnings();
    const QString notSaved = HostWarnings::settingsNotSaved("cannot write /s: the disk is full");
    warnings.report(HostWarnings::Source::keyring, PairingSecretsPlace::keyringUnavailableWarning);
    warnings.report(HostWarnings::Source::settingsSave, notSaved);
    // The login item written: the keyring is no better for it.
    m_h.preferences.setOpenAtLogin(true);
    QVERIFY(!m_h.showing(PairingSecretsPlace::keyringUnavailableWarning + '\n' + notSaved).isEmpty());
    m_loginItem.answer = QStringLiteral("Permission denied");
    m_h.preferences.setOpenAtLogin(false);
    QVERIFY(!m_h.showing(PairingSecretsPlace::keyringUnavailableWarning +
                         "\nLogin item update failed: Permission denied\n" + notSaved)
                 .isEmpty());
    QVERIFY(!m_h.preferences.openAtLogin()); // the user's choice stands
    m_loginItem.answer.reset();
    m_h.preferences.setOpenAtLogin(true);
    QCOMPARE(m_loginItem.calls, QStringList({"register", "unregister", "register"}));
    // A start is no news for any of them.
    m_h.run();
    QVERIFY(!m_h.showing(PairingSecretsPlace::keyringUnavailableWarning + '\n' + notSaved).isEmpty());
    warnings.report(HostWarnings::Source::settingsSave, {});
    warnings.report(HostWarnings::Source::keyring, {});
    QVERIFY(!m_h.shown("readinessWarning"));
}

QTEST_MAIN(WindowTest)
#include "tst_window.moc"
