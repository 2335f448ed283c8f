#include "WorkspaceFileService.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>

// The confinement rule on its own: edge cases of path resolution that the end-to-end test does not reach.
// A reply budget no listing here comes near.
constexpr qsizetype anySize = 1 << 20;

class AgentWorkspaceFilesTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void confinement();
    void workspacesReportAvailability();
    void longListingsAreTruncated();

private:
    QString path(const QString &relative) const { return m_dir.path() + QLatin1Char('/') + relative; }
    QTemporaryDir m_dir;
};

void AgentWorkspaceFilesTest::initTestCase()
{
    for (const char *folder : {"work/a", "work-evil", "real/inner"})
        QVERIFY(QDir().mkpath(path(QString::fromLatin1(folder))));
    QFile file(path("work/a/file"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QVERIFY(QFile::link(path("real"), path("pinned-link")));
    QVERIFY(QFile::link(path("work-evil"), path("work/a/evil-link")));
    QVERIFY(QFile::link(path("nowhere"), path("work/dangling")));
}

void AgentWorkspaceFilesTest::confinement()
{
    const WorkspaceFileService files({path("work"), path("pinned-link")});
    // The path asked for, relative to the test folder unless absolute, and "=" with the folder it resolves to
    // or the error code.
    const QList<std::pair<QString, QString>> table{{"work", "=work"},
                                                   {"work/", "=work"},
                                                   {"work/a", "=work/a"},
                                                   {"work/a/./../a", "=work/a"},
                                                   {"work-evil", "path_outside_workspace"},
                                                   {"work/../work-evil", "path_outside_workspace"},
                                                   {"work/a/evil-link", "path_outside_workspace"},
                                                   {"work/dangling", "not_found"},
                                                   {"pinned-link/inner", "=real/inner"},
                                                   {"real/inner", "=real/inner"},
                                                   {"", "path_outside_workspace"},
                                                   {"/", "path_outside_workspace"},
                                                   {"relative:work", "invalid_params"}};
    for (const auto &[request, expected] : table) {
        const QString asked = request.startsWith('/')           ? request
                              : request.startsWith("relative:") ? request.mid(9)
                                                                : path(request);
        const auto result = files.confinedPath(asked);
        const auto *error = std::get_if<ServiceError>(&result);
        QCOMPARE(error ? error->code : QLatin1Char('=') + std::get<QString>(result),
                 expected.startsWith('=') ? '=' + QFileInfo(path(expected.mid(1))).canonicalFilePath()
                                          : expected);
    }
    // What is confined but no folder.
    QCOMPARE(std::get<ServiceError>(files.listDirectory(path("work/a/file"), anySize)).code,
             QStringLiteral("not_a_directory"));
}

void AgentWorkspaceFilesTest::workspacesReportAvailability()
{
    const WorkspaceFileService files({path("work/"), path("gone")});
    const QJsonArray list = files.workspaces();
    QCOMPARE(list.size(), 2);
    QCOMPARE(list.at(0).toObject().value("path").toString(), path("work"));
    QCOMPARE(list.at(0).toObject().value("available").toBool(), true);
    QCOMPARE(list.at(1).toObject().value("name").toString(), QStringLiteral("gone"));
    QCOMPARE(list.at(1).toObject().value("available").toBool(), false);
    const auto missing = files.listDirectory(path("gone/x"), anySize);
    QCOMPARE(std::get<ServiceError>(missing).code, QStringLiteral("not_found"));
}

void AgentWorkspaceFilesTest::longListingsAreTruncated()
{
    const WorkspaceFileService files({path("work")}, 2);
    const auto listing = files.listDirectory(path("work/a"), anySize);
    QVERIFY(std::holds_alternative<QJsonObject>(listing));
    QCOMPARE(std::get<QJsonObject>(listing).value("truncated").toBool(), false);
    const auto root = std::get<QJsonObject>(files.listDirectory(path("work"), anySize));
    // "a" and "dangling" fit; nothing else is there, so the listing is complete with exactly two entries.
    QCOMPARE(root.value("entries").toArray().size(), 2);
    QCOMPARE(root.value("truncated").toBool(), false);
    const WorkspaceFileService one({path("work")}, 1);
    const auto cut = std::get<QJsonObject>(one.listDirectory(path("work"), anySize));
    QCOMPARE(cut.value("entries").toArray().size(), 1);
    QCOMPARE(cut.value("entries").toArray().at(0).toObject().value("name").toString(), QStringLiteral("a"));
    QCOMPARE(cut.value("truncated").toBool(), true);
    // Replies are bounded by size too: a budget one byte short of two entries gives one.
    const qsizetype twoEntries = QJsonDocument(root).toJson(QJsonDocument::Compact).size() + 1;
    const auto small = std::get<QJsonObject>(files.listDirectory(path("work"), twoEntries - 1));
    QCOMPARE(small.value("entries").toArray().size(), 1);
    QCOMPARE(small.value("truncated").toBool(), true);
    QCOMPARE(std::get<QJsonObject>(files.listDirectory(path("work"), twoEntries)).value("truncated").toBool(),
             false);
}

QTEST_GUILESS_MAIN(AgentWorkspaceFilesTest)
#include "tst_agent_workspace_files.moc"
