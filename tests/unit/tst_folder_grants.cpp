#include "Platform/JsonFileUserDefaults.h"
#include "ScriptedFolderChooser.h"
#include "Services/Folders/HostPermissionGrantStore.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>

// The folders the user granted: kept exactly, opened as a set, and never lost to one damaged entry.
class FolderGrantsTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void grantsTheExactFolderOnly();
    void accessIsOpenedAsASet();
    void damagedGrantCostsOnlyItself();

private:
    // The folder, made and granted; empty when the grant failed.
    QString grantFolder(const char *name)
    {
        const QString folder = m_dir->filePath(name);
        m_chooser.answer = QDir().mkpath(folder) ? std::optional(folder) : std::nullopt;
        return m_grants->grant(folder) ? folder : QString();
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<JsonFileUserDefaults> m_defaults;
    ScriptedFolderChooser m_chooser;
    QDateTime m_now{QDate(2026, 3, 1), QTime(12, 0, 0, 250), QTimeZone::utc()};
    std::unique_ptr<HostPermissionGrantStore> m_grants;
};

void FolderGrantsTest::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_defaults = std::make_unique<JsonFileUserDefaults>();
    m_chooser = ScriptedFolderChooser();
    m_grants = std::make_unique<HostPermissionGrantStore>(
        *m_defaults, m_chooser, HostPermissionGrantStore::defaultKey, [this] { return m_now; });
}

void FolderGrantsTest::grantsTheExactFolderOnly()
{
    const QString work = m_dir->filePath("p/work");
    QVERIFY(QDir().mkpath(work + "/sub") && QDir().mkpath(m_dir->filePath("p/Work")));
    // Exact and case-sensitive: a case-insensitive volume may say the folders are one, the agent will not.
    for (const char *chosen : {"p/work/sub", "p", "p/Work", "p/gone", ""}) {
        m_chooser.answer = *chosen ? std::optional(m_dir->filePath(chosen)) : std::nullopt;
        QVERIFY2(!m_grants->grant(work), chosen);
    }
    QVERIFY(!m_grants->hasGrant(work) &&
            m_defaults->data(HostPermissionGrantStore::defaultKey) == std::nullopt);
    m_chooser.answer = work;
    QVERIFY(m_grants->grant(m_dir->filePath("p/./x/../work/")) && m_grants->hasGrant(work));
    QCOMPARE(m_chooser.requests.last().startDirectory, m_dir->filePath("p"));
    // The stored record, as other releases read it: dates in seconds since 2001-01-01T00:00:00Z.
    const QJsonDocument stored =
        QJsonDocument::fromJson(*m_defaults->data(HostPermissionGrantStore::defaultKey));
    QCOMPARE(stored[work]["path"].toString(), work);
    QCOMPARE(stored[work]["grantedAt"].toDouble(), 794059200.25);
}

void FolderGrantsTest::accessIsOpenedAsASet()
{
    const QString first = grantFolder("first"), second = grantFolder("second");
    const QString deleted = grantFolder("deleted"), replaced = grantFolder("replaced");
    QVERIFY(QDir(deleted).removeRecursively());
    // Another folder at the same path is not the folder that was granted (the old one is kept elsewhere, so
    // the new one cannot reuse its inode).
    QVERIFY(QDir().rename(replaced, m_dir->filePath("moved")) && QDir().mkpath(replaced));
    const qsizetype descriptors = QDir("/proc/self/fd").count();
    m_grants->startAccess({second, m_dir->path(), deleted, replaced, first + "/"});
    QCOMPARE(m_grants->activePaths(), (QStringList{second, first}));
    QCOMPARE(QDir("/proc/self/fd").count(), descriptors + 2);
    // A new set replaces the old one instead of adding to it.
    m_grants->startAccess({first});
    QCOMPARE(QDir("/proc/self/fd").count(), descriptors + 1);
    m_grants->stopAccess();
    QCOMPARE(QDir("/proc/self/fd").count(), descriptors);
}

void FolderGrantsTest::damagedGrantCostsOnlyItself()
{
    // The stored map with the damaged entry, or other bytes, and whether the intact grant beside it is kept.
    const QList<std::pair<QByteArray, bool>> table{
        {R"({"/x": {"path": "/x"}})", true},                                  // missing keys
        {R"({"/x": "/x"})", true},                                            // not an object
        {R"({"/x": {"path": "/x", "bookmark": "!", "grantedAt": 1}})", true}, // bad Base64
        {"{\"/x\": ", false}};                                                // the whole map unreadable
    for (const auto &[damaged, keepsIntact] : table) {
        init();
        const QString intact = grantFolder("intact");
        QJsonObject map = QJsonDocument::fromJson(damaged).object();
        map.insert(intact, m_grants->grants().value(intact).toJson());
        m_defaults->setData(HostPermissionGrantStore::defaultKey,
                            keepsIntact ? QJsonDocument(map).toJson() : damaged);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^permission grants: .*(/x|cannot be read)"));
        QVERIFY2(m_grants->grants().keys() == (keepsIntact ? QStringList{intact} : QStringList()), damaged);
        // The next grant keeps every grant that could be read.
        QVERIFY(!grantFolder("later").isEmpty());
        QCOMPARE(m_grants->grants().size(), keepsIntact ? 2 : 1);
    }
}

QTEST_GUILESS_MAIN(FolderGrantsTest)
#include "tst_folder_grants.moc"
