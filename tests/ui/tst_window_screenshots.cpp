#include "WindowHarness.h"

#include <QDir>
#include <QGuiApplication>
#include <QPalette>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>

namespace {

int freePort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

QPalette darkPalette()
{
    QPalette palette;
    palette.setColor(QPalette::Window, QColor(0x2b, 0x2b, 0x2e));
    palette.setColor(QPalette::WindowText, QColor(0xee, 0xee, 0xee));
    palette.setColor(QPalette::Base, QColor(0x1f, 0x1f, 0x22));
    palette.setColor(QPalette::AlternateBase, QColor(0x2f, 0x2f, 0x33));
    palette.setColor(QPalette::Text, QColor(0xee, 0xee, 0xee));
    palette.setColor(QPalette::Button, QColor(0x3a, 0x3a, 0x3e));
    palette.setColor(QPalette::ButtonText, QColor(0xee, 0xee, 0xee));
    palette.setColor(QPalette::Highlight, QColor(0x3d, 0x7e, 0xff));
    palette.setColor(QPalette::HighlightedText, Qt::white);
    palette.setColor(QPalette::PlaceholderText, QColor(0x9a, 0x9a, 0xa0));
    palette.setColor(QPalette::Mid, QColor(0x55, 0x55, 0x5a));
    palette.setColor(QPalette::ToolTipBase, QColor(0x3a, 0x3a, 0x3e));
    palette.setColor(QPalette::ToolTipText, QColor(0xee, 0xee, 0xee));
    return palette;
}

} // namespace

// Renders the window in its main states, light and dark, for people to look at, and checks that the QR
// code in the picture carries the whole setup link.
class WindowScreenshotsTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void states_data();
    void states();
    void qrCodeOnScreenCarriesTheFullLink();

private:
    void enterState(const QString &state);
    void save(const QString &name);

    WindowHarness m_harness;
    QDir m_folder{QStringLiteral(SCREENSHOT_DIR)};
    QHash<QString, QString> m_lanLinks; // by scheme
    QTemporaryDir m_workspaces;
};

void WindowScreenshotsTest::initTestCase()
{
    QVERIFY(m_folder.mkpath(QStringLiteral(".")));
    QVERIFY(QDir(m_workspaces.path()).mkpath(QStringLiteral("ferrowyn-app")));
    QVERIFY(QDir(m_workspaces.path()).mkpath(QStringLiteral("tablet-notes")));
    m_harness.load();
}

void WindowScreenshotsTest::states_data()
{
    QTest::addColumn<QString>("state");
    QTest::addColumn<QString>("scheme");
    for (const char *scheme : {"light", "dark"})
        for (const char *state : {"stopped", "lan", "ngrok-waiting", "relay", "failed"})
            QTest::addRow("%s-%s", state, scheme)
                << QString::fromLatin1(state) << QString::fromLatin1(scheme);
}

void WindowScreenshotsTest::states()
{
    QFETCH(QString, state);
    QFETCH(QString, scheme);
    QGuiApplication::setPalette(scheme == QLatin1String("dark") ? darkPalette() : QPalette());
    enterState(state);
    if (state == QLatin1String("lan"))
        m_lanLinks.insert(scheme, m_harness.controller->setupLink().toString(QUrl::FullyEncoded));
    save(state + QLatin1Char('-') + scheme);
}

void WindowScreenshotsTest::enterState(const QString &state)
{
    m_harness.reset();
    HostAgentController &controller = *m_harness.controller;
    const auto running = [&controller] {
        return controller.state() == AgentRunState::running();
    };

    if (state == QLatin1String("stopped")) {
        QTRY_COMPARE(m_harness.text("statusHeadline"), QStringLiteral("Not hosting"));
        return;
    }
    if (state == QLatin1String("lan")) {
        m_harness.preferences.setWorkspaces({m_workspaces.filePath("ferrowyn-app"),
                                             m_workspaces.filePath("tablet-notes"),
                                             m_workspaces.filePath("moved-away")});
        m_harness.preferences.setLanPort(freePort());
        m_harness.useAgent(QStringLiteral(FERROWYN_AGENT_PATH));
        controller.start(&m_harness.preferences);
        QTRY_VERIFY_WITH_TIMEOUT(running() && !controller.setupLink().isEmpty(), 10000);
        QTRY_VERIFY(controller.lastLogLines().size() >= 1);
        return;
    }
    if (state == QLatin1String("ngrok-waiting")) {
        m_harness.preferences.setNgrokTunnelEnabled(true);
        m_harness.preferences.setLanPort(freePort()); // nothing answers there: the tunnel stays on its way
        m_harness.useFakeAgent(QStringLiteral("out=ferrowyn-agent 14 listening on 127.0.0.1\\n;"
                                              "out=tunnel: starting ngrok\\n;hang"));
        controller.start(&m_harness.preferences);
        QTRY_VERIFY(running());
        QTRY_COMPARE(m_harness.text("disconnectedTitle"), QStringLiteral("Waiting for ngrok tunnel."));
        return;
    }
    if (state == QLatin1String("relay")) {
        m_harness.preferences.setMode(HostingMode::relay);
        m_harness.useFakeAgent(QStringLiteral("out=relay: connected to the relay\\n;hang"));
        controller.start(&m_harness.preferences);
        QTRY_VERIFY(running() && !controller.setupLink().isEmpty());
        return;
    }
    if (state == QLatin1String("failed")) {
        m_harness.useFakeAgent(
            QStringLiteral("out=ferrowyn-agent 14 starting\\n;"
                           "err=error: cannot listen on 0.0.0.0:8765: address in use\\n;exit=1"));
        controller.start(&m_harness.preferences);
        QTRY_VERIFY(controller.state().isFailed());
        return;
    }
    QFAIL("unknown state");
}

void WindowScreenshotsTest::save(const QString &name)
{
    const QImage image = m_harness.grab();
    QVERIFY(!image.isNull());
    QVERIFY(image.save(m_folder.filePath(name + QStringLiteral(".png"))));
}

void WindowScreenshotsTest::qrCodeOnScreenCarriesTheFullLink()
{
    const QString link = m_lanLinks.value(QStringLiteral("light"));
    QVERIFY(!link.isEmpty());
    QProcess zbar;
    zbar.start(QStringLiteral("zbarimg"), {QStringLiteral("--raw"), QStringLiteral("-q"),
                                           m_folder.filePath(QStringLiteral("lan-light.png"))});
    QVERIFY(zbar.waitForFinished(30000));
    QCOMPARE(QString::fromUtf8(zbar.readAllStandardOutput()).trimmed(), link);
}

QTEST_MAIN(WindowScreenshotsTest)
#include "tst_window_screenshots.moc"
