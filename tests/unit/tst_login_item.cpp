#include "Platform/LoginItem.h"
#include "RecordingLoginItem.h"
#include "Services/HostLoginItemManager.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

QString readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

} // namespace

class LoginItemTest : public QObject {
    Q_OBJECT

private slots:
    void managerCallsExactlyOneOperationAndWordsFailures();
    void autostartEntryIsWrittenAndRemoved();
    void unwritableAutostartFolderIsReported();
};

void LoginItemTest::managerCallsExactlyOneOperationAndWordsFailures()
{
    RecordingLoginItem item;
    QCOMPARE(HostLoginItemManager::setEnabled(true, item), std::nullopt);
    QCOMPARE(HostLoginItemManager::setEnabled(false, item), std::nullopt);
    QCOMPARE(item.calls, QStringList({"register", "unregister"}));
    item.answer = QStringLiteral("Operation not permitted");
    QCOMPARE(HostLoginItemManager::setEnabled(true, item),
             std::optional<QString>("Login item update failed: Operation not permitted"));
}

void LoginItemTest::autostartEntryIsWrittenAndRemoved()
{
    QTemporaryDir dir;
    XdgAutostartLoginItem item(QStringLiteral("dev.ferrowyn.host"), QStringLiteral("Ferrowyn Host"),
                               QStringLiteral("/home/a b/100%/$x\\y/ferrowyn-host"),
                               dir.filePath("autostart"));
    QCOMPARE(item.registerApplication(), std::nullopt);
    const QString entry = readAll(item.entryPath());
    QVERIFY(entry.startsWith(QLatin1String("[Desktop Entry]\n")));
    QVERIFY(entry.contains(QLatin1String("\nType=Application\n")));
    QVERIFY(entry.contains(QLatin1String("\nName=Ferrowyn Host\n")));
    // Quoted, with the characters the desktop entry format and its Exec key treat specially escaped.
    QVERIFY(entry.contains(QLatin1String(R"(Exec="/home/a b/100%%/\\$x\\\\y/ferrowyn-host")"
                                         "\n")));
    QCOMPARE(item.registerApplication(), std::nullopt); // again: replaced, not an error

    QCOMPARE(item.unregisterApplication(), std::nullopt);
    QVERIFY(!QFile::exists(item.entryPath()));
    QCOMPARE(item.unregisterApplication(), std::nullopt);
}

void LoginItemTest::unwritableAutostartFolderIsReported()
{
    QTemporaryDir dir;
    QFile blocker(dir.filePath("autostart"));
    QVERIFY(blocker.open(QIODevice::WriteOnly)); // a file where the folder should be
    blocker.close();
    XdgAutostartLoginItem item(QStringLiteral("dev.ferrowyn.host"), QStringLiteral("Ferrowyn Host"),
                               QStringLiteral("/usr/bin/ferrowyn-host"), blocker.fileName());
    const std::optional<QString> message = HostLoginItemManager::setEnabled(true, item);
    QVERIFY(message && message->size() > QStringLiteral("Login item update failed: ").size());
}

QTEST_GUILESS_MAIN(LoginItemTest)
#include "tst_login_item.moc"
