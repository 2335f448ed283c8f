#include "Platform/FileManagerReveal.h"

#include <QDBusConnection>
#include <QDBusContext>
#include <QTest>

// Stands in for the desktop's file manager on this test's private session bus.
class FakeFileManager : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")

public slots:
    void ShowItems(const QStringList &uris, const QString &startupId)
    {
        shown.append(uris);
        startupIds.append(startupId);
    }

public:
    QStringList shown;
    QStringList startupIds;
};

class FileManagerRevealTest : public QObject {
    Q_OBJECT

private slots:
    void asksTheFileManagerToShowTheFolder();
};

void FileManagerRevealTest::asksTheFileManagerToShowTheFolder()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    QVERIFY2(bus.isConnected(), "run this test in its own D-Bus session");
    FakeFileManager fileManager;
    QVERIFY(bus.registerObject(QStringLiteral("/org/freedesktop/FileManager1"), &fileManager,
                               QDBusConnection::ExportAllSlots));
    QVERIFY(bus.registerService(QStringLiteral("org.freedesktop.FileManager1")));

    FileManagerReveal::reveal(QStringLiteral("/home/me/My Project"));
    QTRY_COMPARE(fileManager.shown, QStringList{QStringLiteral("file:///home/me/My%20Project")});
}

QTEST_GUILESS_MAIN(FileManagerRevealTest)
#include "tst_file_manager_reveal.moc"
