#include "App/HostApplication.h"
#include "Platform/StatusNotifierWatcher.h"
#include "RecordingLoginItem.h"
#include "Shared/WindowDrawing.h"
#include "TestFiles.h"
#include "WindowHarness.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QEventLoop>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>

// The real window and tray icon on a desktop that has a tray (X, and a stand-in StatusNotifierWatcher on this
// test's own session bus): the icon a panel reads shows the state, closing the window hides it while the
// agent goes on serving, the icon brings it back, and quitting leaves no agent.
class TrayTest : public QObject {
    Q_OBJECT

private slots:
    void closingTheWindowKeepsHosting();

private:
    // What a panel finds of the item's icon, read through the bus by the watcher (see there).
    QString badgeOf(QProcess &watcher, const QString &item);
};

QString TrayTest::badgeOf(QProcess &watcher, const QString &item)
{
    watcher.write(item.toUtf8() + '\n');
    return QTest::qWaitFor([&watcher] { return watcher.canReadLine(); }, 5000)
               ? QString::fromUtf8(watcher.readLine()).trimmed()
               : QStringLiteral("no answer");
}

void TrayTest::closingTheWindowKeepsHosting()
{
    QProcess watcher;
    watcher.start(QStringLiteral("/usr/bin/python3"),
                  {QStringLiteral(TEST_DIR "/status_notifier_watcher.py")});
    QTRY_VERIFY(watcher.canReadLine());
    QCOMPARE(watcher.readLine(), "ready\n");
    WindowHarness h;
    RecordingLoginItem loginItem;
    HostApplication application(h.preferences, *h.controller, loginItem);
    h.presenter.setTrayHostPresent(StatusNotifierWatcher::isPresent());
    QVERIFY(h.presenter.trayHostPresent());
    const quint16 port = freeLoopbackPort();
    h.preferences.setLanPort(port);
    h.preferences.setLanBindAll(false);
    h.agentPath = QStringLiteral(FERROWYN_AGENT_PATH);
    h.load();
    QTRY_VERIFY(watcher.canReadLine()); // the icon registered
    const QString icon = QString::fromUtf8(watcher.readLine()).trimmed();
    QCOMPARE(badgeOf(watcher, icon), QStringLiteral("grey"));
    h.controller->start(&h.preferences);
    QTRY_VERIFY_WITH_TIMEOUT(h.presenter.running(), 10000);
    QTRY_COMPARE(badgeOf(watcher, icon), QStringLiteral("green"));

    h.window()->close();
    QTRY_VERIFY(!h.window()->isVisible());
    // Nothing asked the app to quit: an event loop still runs until it is told to end.
    QEventLoop loop;
    QTimer::singleShot(0, &loop, [&loop] { loop.exit(7); });
    QCOMPARE(loop.exec(), 7);
    QTcpSocket tablet;
    tablet.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(tablet.waitForConnected(5000) && h.presenter.running());

    // As a click on the icon: sent without waiting, since the icon's answer comes from this very process.
    QDBusMessage activate = QDBusMessage::createMethodCall(icon, QStringLiteral("/StatusNotifierItem"),
                                                           QStringLiteral("org.kde.StatusNotifierItem"),
                                                           QStringLiteral("Activate"));
    activate << 0 << 0;
    QVERIFY(QDBusConnection::sessionBus().send(activate));
    QTRY_VERIFY(h.window()->isVisible());
    // Where no graphics device opens, the window drew without OpenGL: Mesa's driver never loaded.
    QCOMPARE(fileContents("/proc/self/maps").contains("_dri.so"), WindowDrawing::graphicsDeviceOpens());

    const qint64 agent = h.controller->agentProcessId();
    application.terminate();
    QVERIFY(!QFile::exists(QStringLiteral("/proc/%1").arg(agent)));

    // An agent that cannot listen fails, and the icon says so.
    QTcpServer taken;
    QVERIFY(taken.listen(QHostAddress::LocalHost, port));
    h.controller->start(&h.preferences);
    QTRY_VERIFY_WITH_TIMEOUT(h.controller->state().isFailed(), 10000);
    QTRY_COMPARE(badgeOf(watcher, icon), QStringLiteral("red"));
    watcher.kill();
    watcher.waitForFinished();
}

QTEST_MAIN(TrayTest)
#include "tst_tray.moc"
