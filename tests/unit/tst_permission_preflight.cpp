#include "Services/PermissionPreflight.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

class PermissionPreflightTest : public QObject {
    Q_OBJECT

private slots:
    void init();

    void missingAndFileNeedNoFurtherChecks();
    void writableFolderIsReadyAndTheGrantOnlyChangesTheMessage();
    void probeLeavesNothingBehind();
    void verdictsAsAnUnprivilegedUser();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
};

void PermissionPreflightTest::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    // The unprivileged probe has to reach the folders below.
    QFile::setPermissions(m_dir->path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                             QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                             QFileDevice::ExeOther | QFileDevice::ReadGroup |
                                             QFileDevice::ExeGroup);
}

void PermissionPreflightTest::missingAndFileNeedNoFurtherChecks()
{
    int grantQuestions = 0;
    const auto hasGrant = [&grantQuestions](const QString &) {
        return ++grantQuestions, true;
    };

    const HostPermissionPreflightItem missing = PermissionPreflight::check(m_dir->filePath("gone"), hasGrant);
    QCOMPARE(missing.status, HostPermissionPreflightStatus::missing);
    QCOMPARE(missing.message, QStringLiteral("Folder does not exist."));
    QVERIFY(!missing.exists && !missing.isDirectory && !missing.canRead && !missing.canWrite &&
            !missing.hasGrant);

    QFile file(m_dir->filePath("notes.txt"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    const HostPermissionPreflightItem notDirectory = PermissionPreflight::check(file.fileName(), hasGrant);
    QCOMPARE(notDirectory.status, HostPermissionPreflightStatus::notDirectory);
    QCOMPARE(notDirectory.message, QStringLiteral("Path is not a folder."));
    QVERIFY(notDirectory.exists && !notDirectory.isDirectory);
    QVERIFY(!notDirectory.canRead && !notDirectory.canWrite && !notDirectory.hasGrant);
    QCOMPARE(grantQuestions, 0);

    QVERIFY(QFile::link(m_dir->filePath("gone"), m_dir->filePath("dangling")));
    QCOMPARE(PermissionPreflight::check(m_dir->filePath("dangling"), hasGrant).status,
             HostPermissionPreflightStatus::missing);
    QCOMPARE(PermissionPreflight::check(QString(), hasGrant).status, HostPermissionPreflightStatus::missing);
}

void PermissionPreflightTest::writableFolderIsReadyAndTheGrantOnlyChangesTheMessage()
{
    // A symbolic link to a folder is followed.
    QVERIFY(QDir(m_dir->path()).mkdir("real"));
    QVERIFY(QFile::link(m_dir->filePath("real"), m_dir->filePath("link")));
    const QString path = m_dir->filePath("link") + QStringLiteral("/./");
    const HostPermissionPreflightItem plain = PermissionPreflight::check(path, nullptr);
    QCOMPARE(plain.status, HostPermissionPreflightStatus::ready);
    QCOMPARE(plain.message, QStringLiteral("Ready for remote Codex work."));
    QCOMPARE(plain.path, path); // as pinned, not standardised
    QVERIFY(plain.exists && plain.isDirectory && plain.canRead && plain.canWrite && !plain.hasGrant);

    QString asked;
    const HostPermissionPreflightItem granted =
        PermissionPreflight::check(path, [&asked](const QString &p) { return asked = p, true; });
    QCOMPARE(asked, path);
    QCOMPARE(granted.status, HostPermissionPreflightStatus::ready);
    QCOMPARE(granted.message, QStringLiteral("Ready with persistent Mac preflight grant."));
    QVERIFY(granted.hasGrant);
}

void PermissionPreflightTest::probeLeavesNothingBehind()
{
    for (int i = 0; i < 3; ++i)
        QVERIFY(PermissionPreflight::canWriteDirectory(m_dir->path()));
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList());
    QVERIFY(!PermissionPreflight::canWriteDirectory(m_dir->filePath("gone")));
}

void PermissionPreflightTest::verdictsAsAnUnprivilegedUser()
{
    QDir dir(m_dir->path());
    const auto makeFolder = [&dir](const QString &name, QFileDevice::Permissions permissions) {
        QVERIFY(dir.mkdir(name));
        QVERIFY(QFile::setPermissions(dir.filePath(name), permissions));
    };
    using P = QFileDevice;
    const P::Permissions all = P::ReadOwner | P::WriteOwner | P::ExeOwner | P::ReadGroup | P::WriteGroup |
                               P::ExeGroup | P::ReadOther | P::WriteOther | P::ExeOther;
    const P::Permissions readOnly =
        P::ReadOwner | P::ExeOwner | P::ReadGroup | P::ExeGroup | P::ReadOther | P::ExeOther;
    const P::Permissions writeOnly =
        P::WriteOwner | P::ExeOwner | P::WriteGroup | P::ExeGroup | P::WriteOther | P::ExeOther;
    makeFolder("ready", all);
    makeFolder("read-only", readOnly);
    makeFolder("unreadable", writeOnly);
    makeFolder("closed", {});

    QProcess probe;
    probe.start(QStringLiteral(PREFLIGHT_PROBE), {dir.filePath("ready"), dir.filePath("read-only"),
                                                  dir.filePath("unreadable"), dir.filePath("closed")});
    QVERIFY(probe.waitForFinished(10000));
    if (probe.exitCode() == 3)
        QSKIP("running as root, and root cannot drop to an unprivileged user here");
    QCOMPARE(probe.exitCode(), 0);
    const QStringList lines =
        QString::fromUtf8(probe.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines, QStringList({"ready\t1\t1", "readOnly\t1\t0", "blocked\t0\t1", "blocked\t0\t0"}));

    const QStringList leftovers =
        QDir(dir.filePath("ready")).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    QCOMPARE(leftovers, QStringList());
    for (const char *name : {"read-only", "unreadable", "closed"})
        QFile::setPermissions(dir.filePath(name), all); // so the temporary folder can be removed
}

QTEST_GUILESS_MAIN(PermissionPreflightTest)
#include "tst_permission_preflight.moc"
