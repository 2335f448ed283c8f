#include "Platform/LoginItem.h"
#include "Platform/SingleInstance.h"
#include "Services/HostLoginItemManager.h"
#include "Services/PermissionPreflight.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

// What the host does with the desktop around it: the autostart entry, the one running instance, and the
// folder checks before work starts.
class DesktopIntegrationTest : public QObject {
    Q_OBJECT

private slots:
    void autostartEntry();
    void secondInstanceAsksTheFirstToComeForward();
    void preflightVerdicts();
};

void DesktopIntegrationTest::autostartEntry()
{
    QTemporaryDir dir;
    XdgAutostartLoginItem item("dev.ferrowyn.host", "Ferrowyn Host", "/a b/100%/$x\\y/host",
                               dir.filePath("autostart"));
    QCOMPARE(HostLoginItemManager::setEnabled(true, item), std::nullopt);
    QFile entry(item.entryPath());
    QVERIFY(entry.open(QIODevice::ReadOnly));
    // Quoted, with the characters the desktop entry format and its Exec key treat specially escaped.
    QVERIFY(entry.readAll().contains("\nExec=\"/a b/100%%/\\\\$x\\\\\\\\y/host\"\n"));
    QCOMPARE(HostLoginItemManager::setEnabled(false, item), std::nullopt);
    QVERIFY(!entry.exists());
}

void DesktopIntegrationTest::secondInstanceAsksTheFirstToComeForward()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("host.socket");
    QFile leftover(path); // of an instance that crashed
    QVERIFY(leftover.open(QIODevice::WriteOnly));
    SingleInstance first(path);
    QVERIFY(first.claim());
    QSignalSpy activations(&first, &SingleInstance::activationRequested);
    QVERIFY(!SingleInstance(path).claim());
    QVERIFY(activations.wait(5000));
}

void DesktopIntegrationTest::preflightVerdicts()
{
    // Verdicts that need a denial are taken as an unprivileged user by the controller's launch tests.
    QTemporaryDir root;
    QDir dir(root.path());
    QVERIFY(QFile::link(dir.filePath("gone"), dir.filePath("dangling")) && dir.mkdir("real"));
    for (const QString &missing : {dir.filePath("dangling"), QString()})
        QCOMPARE(PermissionPreflight::check(missing, nullptr).status, HostPermissionPreflightStatus::missing);
    QFile file(dir.filePath("file"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(PermissionPreflight::check(file.fileName(), nullptr).status,
             HostPermissionPreflightStatus::notDirectory);
    QVERIFY(QFile::link(dir.filePath("real"), dir.filePath("link")));
    const HostPermissionPreflightItem ready =
        PermissionPreflight::check(dir.filePath("link"), [](const QString &) { return true; });
    QVERIFY(ready.status == HostPermissionPreflightStatus::ready && ready.canRead && ready.canWrite &&
            ready.hasGrant);
    // The write probe leaves nothing behind.
    QCOMPARE(QDir(dir.filePath("real")).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList());
}

QTEST_GUILESS_MAIN(DesktopIntegrationTest)
#include "tst_desktop_integration.moc"
