#include "Platform/JsonFileUserDefaults.h"
#include "ScriptedFolderChooser.h"
#include "Services/HostPermissionGrantStore.h"
#include "Shared/ReferenceDate.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {

// How many descriptors of this process hold the folder open.
int openHandlesOn(const QString &folder)
{
    int count = 0;
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString &fd : fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
        if (QFile::symLinkTarget(fds.filePath(fd)) == folder)
            ++count;
    }
    return count;
}

} // namespace

class HostPermissionGrantStoreTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void grantsTheExactFolderOnly_data();
    void grantsTheExactFolderOnly();
    void asksForTheFolderByName();
    void storesTheDocumentedRecord();
    void opensAndClosesAccessAsASet();
    void damagedEntryCostsOnlyItself_data();
    void damagedEntryCostsOnlyItself();

private:
    QString makeFolder(const QString &name);

    std::unique_ptr<QTemporaryDir> m_root;
    std::unique_ptr<JsonFileUserDefaults> m_defaults;
    std::unique_ptr<ScriptedFolderChooser> m_chooser;
    std::unique_ptr<HostPermissionGrantStore> m_store;
    QDateTime m_now;
};

void HostPermissionGrantStoreTest::init()
{
    m_root = std::make_unique<QTemporaryDir>();
    QVERIFY(m_root->isValid());
    m_defaults = std::make_unique<JsonFileUserDefaults>();
    m_chooser = std::make_unique<ScriptedFolderChooser>();
    m_now = QDateTime(QDate(2026, 3, 1), QTime(12, 0), QTimeZone::utc());
    m_store = std::make_unique<HostPermissionGrantStore>(
        *m_defaults, *m_chooser, HostPermissionGrantStore::defaultKey, [this] { return m_now; });
}

void HostPermissionGrantStoreTest::cleanup()
{
    m_store.reset();
}

QString HostPermissionGrantStoreTest::makeFolder(const QString &name)
{
    const QString path = m_root->filePath(name);
    QDir().mkpath(path);
    return path;
}

void HostPermissionGrantStoreTest::grantsTheExactFolderOnly_data()
{
    QTest::addColumn<QString>("pinned");
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<bool>("granted");
    const auto row = [](const char *name, const char *pinned, const char *chosen, bool granted) {
        QTest::newRow(name) << QString::fromLatin1(pinned) << QString::fromLatin1(chosen) << granted;
    };
    row("the folder itself", "p/work", "p/work", true);
    row("pinned with a trailing separator", "p/work/", "p/work", true);
    row("pinned with dot components", "p/./x/../work", "p/work", true);
    row("a sub-folder", "p/work", "p/work/sub", false);
    row("the parent", "p/work", "p", false);
    row("different letter case", "p/work", "p/Work", false);
    row("cancelled", "p/work", "", false);
    row("a folder that is not there", "p/gone", "p/gone", false);
}

void HostPermissionGrantStoreTest::grantsTheExactFolderOnly()
{
    QFETCH(QString, pinned);
    QFETCH(QString, chosen);
    QFETCH(bool, granted);
    for (const char *name : {"p/work/sub", "p/Work", "p/x"})
        makeFolder(name);
    const QString pinnedPath = m_root->path() + QLatin1Char('/') + pinned;
    m_chooser->answer = chosen.isEmpty() ? std::nullopt : std::optional(m_root->filePath(chosen));

    QCOMPARE(m_store->grant(pinnedPath), granted);
    QCOMPARE(m_store->hasGrant(pinnedPath), granted);
    QCOMPARE(m_store->grants().size(), granted ? 1 : 0);
    if (granted)
        QCOMPARE(m_store->grants().keys(), QStringList{m_root->filePath("p/work")});
}

void HostPermissionGrantStoreTest::asksForTheFolderByName()
{
    const QString folder = makeFolder("projects/app");
    m_store->grant(folder + QLatin1Char('/'));
    QCOMPARE(m_chooser->requests.size(), 1);
    const FolderChooserRequest request = m_chooser->requests.first();
    QCOMPARE(request.startDirectory, m_root->filePath("projects"));
    QCOMPARE(
        request.message,
        QStringLiteral("Choose app to grant Ferrowyn Host persistent access before working from the iPad."));
}

void HostPermissionGrantStoreTest::storesTheDocumentedRecord()
{
    const QString folder = makeFolder("work");
    m_chooser->answer = folder;
    QVERIFY(m_store->grant(folder));

    const QJsonObject map =
        QJsonDocument::fromJson(m_defaults->data("FerrowynHost.permissionGrants").value()).object();
    QCOMPARE(map.keys(), QStringList{folder});
    const QJsonObject record = map.value(folder).toObject();
    QCOMPARE(record.value("path").toString(), folder);
    QCOMPARE(record.value("grantedAt").toDouble(), ReferenceDate::secondsSinceEpoch(m_now));
    const QByteArray bookmark = QByteArray::fromBase64(record.value("bookmark").toString().toLatin1());
    QVERIFY(!bookmark.isEmpty());
    QCOMPARE(m_store->grants().value(folder).bookmark, bookmark);

    // Granting again replaces the entry.
    m_now = m_now.addDays(3);
    QVERIFY(m_store->grant(folder));
    QCOMPARE(m_store->grants().size(), 1);
    QCOMPARE(m_store->grants().value(folder).grantedAt, m_now);
}

void HostPermissionGrantStoreTest::opensAndClosesAccessAsASet()
{
    const QString first = makeFolder("first");
    const QString second = makeFolder("second");
    const QString ungranted = makeFolder("ungranted");
    const QString deleted = makeFolder("deleted");
    const QString replaced = makeFolder("replaced");
    for (const QString &folder : {first, second, deleted, replaced}) {
        m_chooser->answer = folder;
        QVERIFY(m_store->grant(folder));
    }
    QVERIFY(QDir(deleted).removeRecursively());
    // Another folder at the same path is not the folder that was granted (the old one is kept elsewhere, so
    // the new one cannot reuse its inode).
    QVERIFY(QDir().rename(replaced, m_root->filePath("moved")));
    QVERIFY(QDir().mkpath(replaced));

    m_store->startAccess({second, ungranted, deleted, replaced, first + "/"});
    QCOMPARE(m_store->activePaths(), (QStringList{second, first}));
    QCOMPARE(openHandlesOn(first), 1);
    QCOMPARE(openHandlesOn(second), 1);
    QCOMPARE(openHandlesOn(ungranted) + openHandlesOn(replaced), 0);
    QVERIFY(m_store->hasGrant(deleted) && m_store->hasGrant(replaced));

    // A new set replaces the old one instead of adding to it.
    m_store->startAccess({first});
    QCOMPARE(m_store->activePaths(), QStringList{first});
    QCOMPARE(openHandlesOn(first), 1);
    QCOMPARE(openHandlesOn(second), 0);

    m_store->stopAccess();
    QVERIFY(m_store->activePaths().isEmpty());
    QCOMPARE(openHandlesOn(first), 0);
}

void HostPermissionGrantStoreTest::damagedEntryCostsOnlyItself_data()
{
    QTest::addColumn<QByteArray>("damaged"); // the stored map with the damaged entry, or other bytes
    QTest::addColumn<bool>("keepsIntact");
    QTest::newRow("missing keys") << QByteArray(R"({"/x": {"path": "/x"}})") << true;
    QTest::newRow("not an object") << QByteArray(R"({"/x": "/x"})") << true;
    QTest::newRow("bad Base64") << QByteArray(R"({"/x": {"path": "/x", "bookmark": "!", "grantedAt": 1}})")
                                << true;
    QTest::newRow("whole map unreadable") << QByteArray("{\"/x\": ") << false;
}

void HostPermissionGrantStoreTest::damagedEntryCostsOnlyItself()
{
    QFETCH(QByteArray, damaged);
    QFETCH(bool, keepsIntact);
    const QString intact = makeFolder("intact");
    const QString later = makeFolder("later");
    m_chooser->answer = intact;
    QVERIFY(m_store->grant(intact));
    QJsonObject map = QJsonDocument::fromJson(damaged).object();
    map.insert(intact, m_store->grants().value(intact).toJson());
    m_defaults->setData("FerrowynHost.permissionGrants", keepsIntact ? QJsonDocument(map).toJson() : damaged);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^permission grants: .*(/x|cannot be read)"));

    QVERIFY(!m_store->hasGrant("/x"));
    QCOMPARE(m_store->hasGrant(intact), keepsIntact);
    m_store->startAccess({"/x", intact});
    QCOMPARE(m_store->activePaths(), keepsIntact ? QStringList{intact} : QStringList());

    // The next grant keeps every grant that could be read.
    m_chooser->answer = later;
    QVERIFY(m_store->grant(later));
    QCOMPARE(m_store->grants().size(), keepsIntact ? 2 : 1);
    QVERIFY(m_store->hasGrant(later));
    m_store->stopAccess();
}

QTEST_GUILESS_MAIN(HostPermissionGrantStoreTest)
#include "tst_host_permission_grant_store.moc"
