#include "Platform/JsonFileUserDefaults.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

class UserDefaultsTest : public QObject {
    Q_OBJECT

private slots:
    void init() { m_dir = std::make_unique<QTemporaryDir>(); }
    void valuesKeepTheirTypesAcrossARestart();
    void typedReadsRejectOtherTypes_data();
    void typedReadsRejectOtherTypes();
    void arrayKeepsItsStringsOnly();
    void unreadableFileStartsEmptyAndIsMovedAsideAtOnce_data();
    void unreadableFileStartsEmptyAndIsMovedAsideAtOnce();
    void writesAreAtomicAndPrivate();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString path(const QString &name = QStringLiteral("defaults.json")) const
    {
        return m_dir->filePath(name);
    }
};

void UserDefaultsTest::valuesKeepTheirTypesAcrossARestart()
{
    const QString file = path(QStringLiteral("sub/dir/defaults.json"));
    const QByteArray binary("\x00\xff{\"not\":json}", 14);
    {
        JsonFileUserDefaults defaults(file);
        defaults.setString(QStringLiteral("s"), QStringLiteral("8765"));
        defaults.setInteger(QStringLiteral("i"), 8765);
        defaults.setInteger(QStringLiteral("big"), Q_INT64_C(4611686018427387904));
        defaults.setBoolean(QStringLiteral("b"), false);
        defaults.setStringArray(QStringLiteral("a"), {QStringLiteral("/tmp/ä"), QString()});
        defaults.setData(QStringLiteral("d"), binary);
        defaults.setString(QStringLiteral("dropped"), QStringLiteral("2"));
        defaults.removeObject(QStringLiteral("dropped"));
    }
    JsonFileUserDefaults reloaded(file);
    QCOMPARE(reloaded.string(QStringLiteral("s")), QStringLiteral("8765"));
    QCOMPARE(reloaded.integer(QStringLiteral("i")), Q_INT64_C(8765));
    QCOMPARE(reloaded.integer(QStringLiteral("big")), Q_INT64_C(4611686018427387904));
    QCOMPARE(reloaded.boolean(QStringLiteral("b")), false);
    QCOMPARE(reloaded.stringArray(QStringLiteral("a")), QStringList({QStringLiteral("/tmp/ä"), QString()}));
    QCOMPARE(reloaded.data(QStringLiteral("d")), binary);
    QVERIFY(!reloaded.object(QStringLiteral("dropped")).isValid());
}

void UserDefaultsTest::typedReadsRejectOtherTypes_data()
{
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<QString>("reads"); // the typed reads that give a value: string, integer, boolean, data
    QTest::newRow("digits as string") << QVariant(QStringLiteral("8765")) << "s";
    QTest::newRow("integer") << QVariant(8765) << "i";
    QTest::newRow("fraction") << QVariant(87.5) << "";
    QTest::newRow("boolean") << QVariant(true) << "b";
    QTest::newRow("data") << QVariant(QByteArray("x")) << "d";
}

void UserDefaultsTest::typedReadsRejectOtherTypes()
{
    QFETCH(QVariant, stored);
    JsonFileUserDefaults(path()).setObject(QStringLiteral("k"), stored);
    // Read back from the file, so the types survive the JSON encoding and not just the memory copy.
    JsonFileUserDefaults defaults(path());
    const QString k = QStringLiteral("k");
    QString reads;
    for (const auto &[letter, found] : {std::pair{'s', defaults.string(k).has_value()},
                                        {'i', defaults.integer(k).has_value()},
                                        {'b', defaults.boolean(k).has_value()},
                                        {'d', defaults.data(k).has_value()},
                                        {'a', defaults.stringArray(k).has_value()}}) {
        if (found)
            reads += QLatin1Char(letter);
    }
    QTEST(reads, "reads");
}

void UserDefaultsTest::arrayKeepsItsStringsOnly()
{
    QFile file(path());
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(R"({"mixed": ["/a", 3, {"x": 1}, "/b"], "fine": ["/a"], "object": {"x": 1}})");
    file.close();

    JsonFileUserDefaults defaults(path());
    QCOMPARE(defaults.stringArray(QStringLiteral("mixed")),
             QStringList({QStringLiteral("/a"), QStringLiteral("/b")}));
    QCOMPARE(defaults.stringArray(QStringLiteral("fine")), QStringList{QStringLiteral("/a")});
    QVERIFY(!defaults.object(QStringLiteral("object")).isValid());
}

void UserDefaultsTest::unreadableFileStartsEmptyAndIsMovedAsideAtOnce_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("not json") << QByteArray("FerrowynHost.workspaces = /home/me/project");
    QTest::newRow("truncated") << QByteArray(R"({"FerrowynHost.workspaces": ["/home/me/pro)");
    QTest::newRow("array at top") << QByteArray(R"(["/home/me/project"])");
}

void UserDefaultsTest::unreadableFileStartsEmptyAndIsMovedAsideAtOnce()
{
    QFETCH(QByteArray, content);
    QFile file(path());
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
    file.close();
    // A copy kept aside earlier in the same second is not in the way.
    const QString stamp = QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-hhmmss"));
    QVERIFY(QFile(path() + QStringLiteral(".unreadable-") + stamp).open(QIODevice::WriteOnly));

    JsonFileUserDefaults defaults(path());
    QVERIFY(!defaults.object(QStringLiteral("FerrowynHost.workspaces")).isValid());
    QVERIFY(defaults.fileWasUnreadable());
    QVERIFY(defaults.backupPath().startsWith(path() + QStringLiteral(".unreadable-")));
    QFile backup(defaults.backupPath());
    QVERIFY(backup.open(QIODevice::ReadOnly));
    QCOMPARE(backup.readAll(), content);

    defaults.setBoolean(QStringLiteral("FerrowynHost.lanBindAll"), false);
    QCOMPARE(JsonFileUserDefaults(path()).boolean(QStringLiteral("FerrowynHost.lanBindAll")), false);
    QVERIFY(!JsonFileUserDefaults(path()).fileWasUnreadable());
    QVERIFY(QFile::remove(defaults.backupPath()));
}

void UserDefaultsTest::writesAreAtomicAndPrivate()
{
    JsonFileUserDefaults defaults(path());
    defaults.setString(QStringLiteral("k"), QStringLiteral("v"));
    QCOMPARE(QFile(path()).permissions() & (QFileDevice::ReadOther | QFileDevice::ReadGroup),
             QFileDevice::Permissions());
    // No temporary file is left beside the settings.
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files), QStringList{QStringLiteral("defaults.json")});
}

QTEST_GUILESS_MAIN(UserDefaultsTest)
#include "tst_user_defaults.moc"
