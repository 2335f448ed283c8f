#include "ScannedCode.h"
#include "SessionsList.h"
#include "Shared/AgentStaticKey.h"
#include "Shared/TrustedDevicesFile.h"
#include "WindowHarness.h"

#include <QHttpServer>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTimeZone>

// The window in each of its states, as people see it.
class WindowStatesTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { m_h.load(); }
    void init();
    void screenshots_data();
    void screenshots();

private:
    // The states the screenshots show; each returns once the window shows it.
    void showStopped();
    void showHostingOnTheLan();
    void showBrowserForm();
    void showWaitingForNgrok();
    void showRelay();
    void showFailed();
    void showPairedDevices();
    void showTwoSessions();
    // The setup link of the QR code the window shows.
    QString codeOnScreen()
    {
        return scannedCode(m_h.window()->grabWindow(), m_h.scratch.filePath("code.png"));
    }

    WindowHarness m_h;
    // The agent's health endpoint, for states that ask it about a tunnel.
    std::unique_ptr<QHttpServer> m_health;
};

using Arrangement = std::function<void(WindowStatesTest &)>;

void WindowStatesTest::init()
{
    m_h.reset();
    m_health.reset();
    // The app's form of the link unless a case picks the browser's.
    QMetaObject::invokeMethod(m_h.find("linkFormPicker"), "picked", Q_ARG(int, 0));
}

// The window in each of its states, in the light and the dark palette, for people to look at
// (build/dev/screenshots/<state>-<light|dark>.png). A state is one row here and one function that arranges
// it.
void WindowStatesTest::screenshots_data()
{
    QTest::addColumn<Arrangement>("arrange");
    QTest::newRow("stopped") << Arrangement(&WindowStatesTest::showStopped);
    QTest::newRow("hosting") << Arrangement(&WindowStatesTest::showHostingOnTheLan);
    QTest::newRow("hosting-browser") << Arrangement(&WindowStatesTest::showBrowserForm);
    QTest::newRow("ngrok-waiting") << Arrangement(&WindowStatesTest::showWaitingForNgrok);
    QTest::newRow("relay") << Arrangement(&WindowStatesTest::showRelay);
    QTest::newRow("failed") << Arrangement(&WindowStatesTest::showFailed);
    QTest::newRow("devices") << Arrangement(&WindowStatesTest::showPairedDevices);
    // Last: the sessions stay listed.
    QTest::newRow("sessions") << Arrangement(&WindowStatesTest::showTwoSessions);
}

void WindowStatesTest::screenshots()
{
    QFETCH(Arrangement, arrange);
    arrange(*this);
    // On Linux the computer is not a Mac, and files are shown by the file manager.
    static const QRegularExpression otherPlatform(QStringLiteral("\\b(Mac|macOS|Finder)\\b"));
    QVERIFY(!readableValues(m_h.window()).join('\n').contains(otherPlatform));
    m_h.saveLightAndDark(SCREENSHOT_DIR "/" + QString::fromLatin1(QTest::currentDataTag()));
}

void WindowStatesTest::showStopped()
{
    const QString folder = m_h.scratch.filePath("ferrowyn-mobile-app");
    QVERIFY(QDir().mkpath(folder));
    m_h.preferences.setWorkspaces({folder});
    QTRY_COMPARE(m_h.named("statusBadge").size(), 1);
    // A port shows as a plain number, never with a thousands separator.
    QCOMPARE(m_h.find("portStepper")->property("displayText").toString(),
             QString::number(m_h.preferences.lanPort()));
    // In a window of the default size, the folder's name shows whole and its path in full in the tool tip.
    QTRY_COMPARE(m_h.named("workspaceName").value(0)->property("truncated"), false);
    QQuickItem *path = m_h.named("workspacePath").value(0);
    QVERIFY(path);
    QTest::mouseMove(m_h.window(), path->mapToScene(path->boundingRect().center()).toPoint());
    QTRY_VERIFY(m_h.showing(folder).size() == 2);
    QTest::mouseMove(m_h.window(), QPoint(1, 1));
    QTRY_VERIFY(m_h.showing(folder).size() == 1);
    // Only Start is offered.
    QVERIFY(m_h.shown("startButton") && !m_h.shown("stopButton") && !m_h.shown("restartButton"));
}

// The real agent, and a QR code on screen that carries the whole link.
void WindowStatesTest::showHostingOnTheLan()
{
    m_h.preferences.setLanPort(freeLoopbackPort());
    m_h.agentPath = QStringLiteral(FERROWYN_AGENT_PATH);
    m_h.controller->start(&m_h.preferences);
    // Generous: drawn by the processor while other tests run beside it, the window can lag many seconds.
    QTRY_VERIFY_WITH_TIMEOUT(m_h.shown("connectedContent") && !m_h.controller->lastLogLines().isEmpty(),
                             30000);
    QCOMPARE(codeOnScreen(), m_h.controller->setupLink().toString(QUrl::FullyEncoded));
}

// The browser form of the link beside the app's: its own code and masked text.
void WindowStatesTest::showBrowserForm()
{
    showHostingOnTheLan();
    QMetaObject::invokeMethod(m_h.find("linkFormPicker"), "picked", Q_ARG(int, 1));
    const auto text = [this](const char *name) {
        return m_h.find(name)->property("text").toString();
    };
    QTRY_VERIFY(text("maskedLink").startsWith("http://"));
    // The key the tablet pins shows whole (it is no secret), and by its fingerprint beside the code.
    const QString key = *m_h.controller->credentialStore().cached()->agentPublicKey();
    QVERIFY(text("maskedLink").contains("/#ticket=redacted&key=" + key + "&computer="));
    QCOMPARE(text("keyFingerprint"),
             "Key fingerprint: " + AgentStaticKey::fingerprint(*AgentStaticKey::decode(key)));
    // The form picked is kept for the next start; the app's form says where a tablet without the app goes.
    QVERIFY(m_h.preferences.browserLinkForm() && !m_h.shown("appOnlyNote"));
    QMetaObject::invokeMethod(m_h.find("linkFormPicker"), "picked", Q_ARG(int, 0));
    QVERIFY(!m_h.preferences.browserLinkForm() && m_h.shown("appOnlyNote"));
    QMetaObject::invokeMethod(m_h.find("linkFormPicker"), "picked", Q_ARG(int, 1));
    QCOMPARE(codeOnScreen(), m_h.controller->browserLink().toString(QUrl::FullyEncoded));
}

void WindowStatesTest::showWaitingForNgrok()
{
    m_health = std::make_unique<QHttpServer>();
    m_health->route("/healthz", [] {
        return QJsonObject{{"status", "ok"}, {"tunnel", QJsonObject{{"state", "starting"}}}};
    });
    m_h.preferences.setLanPort(m_health->listen(QHostAddress::LocalHost));
    m_h.preferences.setNgrokTunnelEnabled(true);
    m_h.start(QStringLiteral("hang"));
    QTRY_COMPARE(m_h.find("disconnectedTitle")->property("text").toString(), "Waiting for ngrok tunnel.");
}

void WindowStatesTest::showRelay()
{
    m_h.preferences.setMode(HostingMode::relay);
    m_h.start(QStringLiteral("out=relay: connected\\n;hang"));
    QTRY_VERIFY(m_h.shown("connectedContent") && m_h.shown("relaySessionRow"));
    // The chosen mode is the filled segment.
    QCOMPARE(m_h.find("modePicker")->property("currentIndex"), 1);
}

void WindowStatesTest::showFailed()
{
    m_h.start(QStringLiteral("err=error: cannot listen on 0.0.0.0:8765: address in use\\n;exit=1"));
    // The log's rows follow at the next frame: the picture waits for them.
    QTRY_VERIFY(m_h.controller->state().isFailed() && m_h.find("logBox")->property("count") == 1);
}

// Two paired tablets, newest first, at the end of the sidebar, which shows its scroll bar.
void WindowStatesTest::showPairedDevices()
{
    m_h.run();
    const QString hostId = m_h.controller->hostId();
    const QDateTime paired(QDate(2026, 12, 1), QTime(9, 30), QTimeZone::utc());
    QVERIFY(m_h.trust(
        {{"ipad-1", "Studio iPad", hostId, paired, paired.addDays(5), "relay", "sha256:" + QString(64, 'a')},
         {"ipad-2", "Travel iPad", hostId, paired.addDays(2), std::nullopt, {}, {}}}));
    QTRY_COMPARE(m_h.named("deviceRow").size(), 2);
    QCOMPARE(m_h.presenter.devices()->devices().constFirst().name, "Travel iPad");
    // What the window holds of a device never includes the hash of its secret.
    QCOMPARE(m_h.presenter.devices()->devices().constLast().secretHash, QString());
    QQuickItem *sidebar = m_h.find("sidebarScroll");
    auto *bar = sidebar->findChild<QQuickItem *>("sidebarScrollBar");
    QVERIFY(bar && bar->isVisible() && bar->property("contentItem").value<QQuickItem *>()->opacity() > 0);
    // Scrolled to the end (again while the rows are still being laid out), the last tablet is in view.
    QObject *content = sidebar->property("contentItem").value<QObject *>();
    const auto scrolledToTheEnd = [&] {
        content->setProperty("contentY", content->property("contentHeight").toReal() - sidebar->height());
        return m_h.named("deviceRow").constLast()->mapToScene({0, 0}).y() < m_h.window()->height() - 60;
    };
    QTRY_VERIFY(scrolledToTheEnd());
}

// Oldest first, each with its folder, program, tablet, time and attachment.
void WindowStatesTest::showTwoSessions()
{
    m_h.run();
    const QDateTime opened = QDateTime::currentDateTime().addSecs(-3600);
    const QString first = QStringLiteral("00000000000000a1");
    listSessions(
        m_h.controller->sessions().runtimeFolder(),
        {{first, "/home/ana/src/ferrowyn", "codex", "dev-1", "Studio iPad", opened, 1},
         {"00000000000000b2", "/home/ana/src/notes", "codex", "dev-2", "Safari on iPad", opened, 0}});
    QTRY_COMPARE(m_h.named("sessionRow").size(), 2);
    const QList<QQuickItem *> rows = m_h.named("sessionRow");
    QCOMPARE(m_h.showing("/home/ana/src/notes", rows.constLast()).size(), 1);
    const QString since = CodingSessionsModel::sinceText(opened, QDateTime::currentDateTime());
    QCOMPARE(m_h.showing("codex · opened by Safari on iPad · " + since, rows.constLast()).size(), 1);
    const QString attached = "1 tablet attached · on this computer: ferrowyn-host --attach " + first;
    QCOMPARE(m_h.showing(attached, rows.constFirst()).size(), 1);
}

QTEST_MAIN(WindowStatesTest)
#include "tst_window_states.moc"
