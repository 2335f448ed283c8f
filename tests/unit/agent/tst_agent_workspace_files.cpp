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
    void confinement_data();
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
    QVERIFY(QFile::link(path("real"), path("pinned-link")));
    QVERIFY(QFile::link(path("work-evil"), path("work/a/evil-link")));
    QVERIFY(QFile::link(path("nowhere"), path("work/dangling")));
}

void AgentWorkspaceFilesTest::confinement_data()
{
    QTest::addColumn<QString>("request");
    QTest::addColumn<QString>("resolvedOrError");
    QTest::newRow("root") << "work"
                          << "=work";
    QTest::newRow("root with slash") << "work/"
                                     << "=work";
    QTest::newRow("inside") << "work/a"
                            << "=work/a";
    QTest::newRow("dot segments inside") << "work/a/./../a"
                                         << "=work/a";
    QTest::newRow("sibling sharing the prefix") << "work-evil"
                                                << "path_outside_workspace";
    QTest::newRow("up and back into a sibling") << "work/../work-evil"
                                                << "path_outside_workspace";
    QTest::newRow("link to a sibling") << "work/a/evil-link"
                                       << "path_outside_workspace";
    QTest::newRow("dangling link") << "work/dangling"
                                   << "not_found";
    QTest::newRow("pinned through a link") << "pinned-link/inner"
                                           << "=real/inner";
    QTest::newRow("pinned link's target") << "real/inner"
                                          << "=real/inner";
    QTest::newRow("parent of all") << ""
                                   << "path_outside_workspace";
    QTest::newRow("root of the disk") << "/"
                                      << "path_outside_workspace";
    QTest::newRow("relative") << "work"
                              << "invalid_params";
}

void AgentWorkspaceFilesTest::confinement()
{
    QFETCH(QString, request);
    QFETCH(QString, resolvedOrError);
    const WorkspaceFileService files({path("work"), path("pinned-link")});
    QString requested = request.startsWith(QLatin1Char('/')) ? request : path(request);
    if (QString::fromLatin1(QTest::currentDataTag()) == QLatin1String("relative"))
        requested = request;
    const auto result = files.confinedPath(requested);
    if (resolvedOrError.startsWith(QLatin1Char('='))) {
        if (const auto *error = std::get_if<ServiceError>(&result))
            QFAIL(qPrintable(error->code));
        QCOMPARE(std::get<QString>(result), QFileInfo(path(resolvedOrError.mid(1))).canonicalFilePath());
    } else {
        QVERIFY(std::holds_alternative<ServiceError>(result));
        QCOMPARE(std::get<ServiceError>(result).code, resolvedOrError);
    }
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
