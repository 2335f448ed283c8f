#include "WindowHarness.h"

#include <QDirIterator>
#include <QFontMetricsF>
#include <QHttpServer>
#include <QHttpServerResponse>
#include <QJsonObject>
#include <QQmlComponent>
#include <QTest>

namespace {

// Plays the agent's health endpoint with one tunnel answer, and records every other path asked for.
struct RecordingServer {
    RecordingServer()
    {
        server.route("/healthz", [this] {
            return QHttpServerResponse(QJsonObject{{"status", "ok"}, {"tunnel", tunnel}});
        });
        server.route("/<arg>", [this](const QString &path) {
            fetched << path;
            return QHttpServerResponse(QHttpServerResponse::StatusCode::NotFound);
        });
        port = server.listen(QHostAddress::LocalHost);
    }
    QString url(const QString &path) const
    {
        return QStringLiteral("http://127.0.0.1:%1/%2").arg(port).arg(path);
    }

    QHttpServer server;
    quint16 port = 0;
    QJsonObject tunnel;
    QStringList fetched;
};

} // namespace

// Names and messages from outside the host (ngrok, the agent, folder names) in the real window: shown as
// written, never read as markup.
class WindowOutsideTextTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { m_harness.load(); }
    void init() { m_harness.reset(); }

    void tunnelTextNeverFetchesWhatItNames_data();
    void tunnelTextNeverFetchesWhatItNames();
    void folderNameMarkupIsShownAsWritten();
    void noViewUsesTheRichTextGuessingToolTip();

private:
    WindowHarness m_harness;
    QTemporaryDir m_folders;
};

void WindowOutsideTextTest::tunnelTextNeverFetchesWhatItNames_data()
{
    QTest::addColumn<QString>("state");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QStringList>("withToolTips");
    QTest::newRow("ngrok error") << "failed"
                                 << "lastError" << QStringList{"tunnelRow", "statusHeadline"};
    QTest::newRow("public URL") << "online"
                                << "publicUrl" << QStringList{"tunnelRow"};
}

void WindowOutsideTextTest::tunnelTextNeverFetchesWhatItNames()
{
    QFETCH(QString, state);
    QFETCH(QString, field);
    QFETCH(QStringList, withToolTips);
    RecordingServer server;
    QVERIFY(server.port);
    // Long enough that the status line is cut and offers the whole text in its tool tip.
    const QString text = QStringLiteral("<img src=\"%1\"> ").arg(server.url("x")) + QString(200, u'-');
    server.tunnel = {{"state", state}, {field, text}};
    m_harness.preferences.setNgrokTunnelEnabled(true);
    m_harness.preferences.setLanPort(server.port);
    m_harness.useFakeAgent(QStringLiteral("hang"));
    m_harness.controller->start(&m_harness.preferences);
    QTRY_COMPARE(m_harness.find("tunnelRow")->property("value").toString(), text);

    const qsizetype onScreen = m_harness.showing(text).size();
    for (const QString &name : withToolTips) {
        const QList<QQuickItem *> shown = m_harness.showing(text, m_harness.find(name));
        QVERIFY2(!shown.isEmpty(), qPrintable(name));
        QTest::mouseMove(m_harness.window(),
                         shown[0]->mapToScene(shown[0]->boundingRect().center()).toPoint());
        QTRY_COMPARE(m_harness.showing(text).size(), onScreen + 1); // its tool tip
        QTest::mouseMove(m_harness.window(), QPoint(1, 1));
        QTRY_COMPARE(m_harness.showing(text).size(), onScreen);
    }
    m_harness.grab(); // drawn, as the user sees it

    // A rich text asks for its image now, after every text above: once its request is in, theirs would be
    // too.
    QQmlComponent probe(&m_harness.engine());
    probe.setData(
        QStringLiteral("import QtQuick\nText { text: '<img src=\"%1\">' }").arg(server.url("probe")).toUtf8(),
        QUrl());
    std::unique_ptr<QObject> rich(probe.create());
    QVERIFY2(rich, qPrintable(probe.errorString()));
    QTRY_VERIFY(server.fetched.contains("probe"));
    QCOMPARE(server.fetched, QStringList{"probe"});
}

void WindowOutsideTextTest::folderNameMarkupIsShownAsWritten()
{
    const QStringList names{QStringLiteral("plain"), QStringLiteral("<font size=\"6\">Big")};
    QStringList paths;
    for (const QString &name : names) {
        QVERIFY(QDir(m_folders.path()).mkpath(name));
        paths << m_folders.filePath(name);
    }
    m_harness.preferences.setWorkspaces(paths);
    QTRY_COMPARE(m_harness.all(QStringLiteral("workspaceRow")).size(), 2);
    const QList<QQuickItem *> rows = m_harness.all(QStringLiteral("workspaceRow"));
    QCOMPARE(rows.at(1)->height(), rows.at(0)->height());
    for (const QString &name : names) {
        const QList<QQuickItem *> shown = m_harness.showing(name);
        QVERIFY2(shown.size() == 1, qPrintable(name));
        // Every character takes its place, none is read as markup.
        const QFontMetricsF metrics(shown[0]->property("font").value<QFont>());
        QCOMPARE(qRound(shown[0]->implicitWidth()), qRound(metrics.horizontalAdvance(name)));
    }
}

void WindowOutsideTextTest::noViewUsesTheRichTextGuessingToolTip()
{
    // The attached tool tip reads markup in whatever it is given; PlainToolTip shows it as written.
    QStringList views;
    for (QDirIterator it(QStringLiteral(":/Ferrowyn"), {QStringLiteral("*.qml")}, QDir::Files,
                         QDirIterator::Subdirectories);
         it.hasNext();) {
        QFile view(it.next());
        QVERIFY(view.open(QIODevice::ReadOnly));
        if (view.readAll().contains("ToolTip.text"))
            views << view.fileName();
    }
    QCOMPARE(views, QStringList());
}

QTEST_MAIN(WindowOutsideTextTest)
#include "tst_window_outside_text.moc"
