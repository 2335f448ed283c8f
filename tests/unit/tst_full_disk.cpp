#include "SmallFullDisk.h"
#include "TestFiles.h"

#include "Platform/JsonFileUserDefaults.h"
#include "Platform/LoginItem.h"
#include "Relay/RelayCodecState.h"
#include "Shared/AtomicFileWriter.h"

#include <QDir>
#include <QFileInfo>
#include <QTest>

#include <functional>

namespace {

QStringList folderEntries(const QString &path)
{
    return QDir(QFileInfo(path).absolutePath())
        .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
}

} // namespace

// A full disk destroys nothing: every file the host and the agent rewrite keeps what it had when a write
// fails, and the failure is told in words a user can act on.
class FullDiskTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void everyFileKeepsWhatItHad();
    void everyStepOfAWriteIsChecked();
    void settingsStayAsTheUserChose();

private:
    std::unique_ptr<SmallFullDisk> m_disk;
};

void FullDiskTest::initTestCase()
{
    m_disk = std::make_unique<SmallFullDisk>();
    qInfo("full disk: %s", qPrintable(m_disk->kind()));
}

void FullDiskTest::everyFileKeepsWhatItHad()
{
    // The files the host and the agent rewrite that no other test fills the disk under (the settings, the
    // secrets file and the trusted devices are the headless host's full-disk run's), each through the class
    // that writes it: the path, and how its n-th version is saved, which returns why it could not.
    const QString codecState = m_disk->filePath("files/relay-codec-state/v2.json");
    XdgAutostartLoginItem item("dev.ferrowyn.host", "Ferrowyn Host", "/usr/bin/ferrowyn-host",
                               m_disk->filePath("files/autostart"));
    const QList<std::pair<QString, std::function<QString(int)>>> files{
        {codecState,
         [&](int version) {
             QString error;
             RelayCodecState{version, version + 1}.save(codecState, &error);
             return error;
         }},
        {item.entryPath(), [&](int version) {
             item.setArguments({QStringLiteral("--v%1").arg(version)});
             return item.registerApplication().value_or(QString());
         }}};
    for (const auto &[path, write] : files) {
        QDir(m_disk->filePath(QStringLiteral("files"))).removeRecursively();
        QCOMPARE(write(1), QString());
        const QByteArray before = fileContents(path);
        const QStringList entries = folderEntries(path);
        {
            const auto full = m_disk->full();
            const QString failure = write(2);
            QVERIFY2(failure.contains(QStringLiteral("cannot write %1: the disk is full").arg(path)),
                     qPrintable(failure));
            QCOMPARE(fileContents(path), before);
            // No temporary file is left behind to fill the disk further.
            QCOMPARE(folderEntries(path), entries);
        }
        QCOMPARE(write(3), QString());
        QVERIFY(fileContents(path) != before);
    }
}

void FullDiskTest::everyStepOfAWriteIsChecked()
{
    using enum AtomicFileWriter::Step;
    // The step that fails, with which error, and the words the user reads. NFS may tell a full disk only
    // when the file is closed.
    const QList<std::tuple<AtomicFileWriter::Step, int, QString>> table{
        {create, EDQUOT, "the disk quota is used up"},
        {write, ENOSPC, "the disk is full"},
        {sync, EIO, "the disk reported an input/output error"},
        {close, ENOSPC, "the disk is full"},
        {rename, EROFS, "the file system is read-only"}};
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("file"));
    QCOMPARE(AtomicFileWriter::write(path, "old"), std::nullopt);
    for (const auto &[step, error, words] : table) {
        {
            const AtomicFileWriter::InjectedFailure failure(step, error);
            QCOMPARE(AtomicFileWriter::write(path, "new"),
                     QStringLiteral("cannot write %1: %2").arg(path, words));
        }
        QCOMPARE(fileContents(path), "old");
        QCOMPARE(folderEntries(path), QStringList{QStringLiteral("file")});
        QCOMPARE(QFileInfo(path).permissions() & 0x0777, QFileDevice::ReadUser | QFileDevice::WriteUser);
    }
    // A write through a link (a settings file kept among dotfiles) changes what it points to: the link stays.
    QVERIFY(QFile::link(dir.filePath("dotfiles/defaults.json"), dir.filePath("defaults.json")) &&
            QDir(dir.path()).mkdir("dotfiles"));
    QCOMPARE(AtomicFileWriter::write(dir.filePath("defaults.json"), "kept"), std::nullopt);
    QCOMPARE(fileContents(dir.filePath("dotfiles/defaults.json")), "kept");
}

void FullDiskTest::settingsStayAsTheUserChose()
{
    QDir(m_disk->filePath(QStringLiteral("files"))).removeRecursively();
    const QString path = m_disk->filePath(QStringLiteral("files/defaults.json"));
    JsonFileUserDefaults defaults(path);
    defaults.setBoolean(QStringLiteral("FerrowynHost.lanBindAll"), false);
    {
        const auto full = m_disk->full();
        defaults.setBoolean(QStringLiteral("FerrowynHost.lanBindAll"), true);
    }
    // The run goes on with what the user chose; the file keeps what was saved, until a write succeeds.
    QCOMPARE(defaults.boolean(QStringLiteral("FerrowynHost.lanBindAll")), true);
    defaults.setInteger(QStringLiteral("FerrowynHost.lanPort"), 9000);
    QCOMPARE(JsonFileUserDefaults(path).boolean(QStringLiteral("FerrowynHost.lanBindAll")), true);
}

QTEST_GUILESS_MAIN(FullDiskTest)
#include "tst_full_disk.moc"
