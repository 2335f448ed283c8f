#include "AgentControllerHarness.h"
#include "App/CommandLine/HostCommandLine.h"
#include "App/CommandLine/HostControlRequests.h"
#include "App/Headless/HeadlessConsole.h"
#include "App/HostPresenter.h"

#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QUrlQuery>

#include <csignal>

// The real host without a display: what it prints, what the command line asks of it, and where it keeps
// the pairing when told to use a file.

namespace {

// The printed half-block QR code back as modules: what a phone camera would see.
QImage terminalModules(const QStringList &lines)
{
    static const QRegularExpression escapes(QStringLiteral("\x1b\\[[0-9;]*m"));
    QImage image(static_cast<int>(QString(lines.value(0)).remove(escapes).size()),
                 static_cast<int>(2 * lines.size()), QImage::Format_RGB32);
    image.fill(Qt::white);
    for (int row = 0; row < lines.size(); ++row) {
        const QString line = QString(lines.at(row)).remove(escapes);
        for (int x = 0; x < line.size() && x < image.width(); ++x) {
            if (line.at(x) == QChar(0x2580) || line.at(x) == QChar(0x2588))
                image.setPixel(x, 2 * row, qRgb(0, 0, 0));
            if (line.at(x) == QChar(0x2584) || line.at(x) == QChar(0x2588))
                image.setPixel(x, 2 * row + 1, qRgb(0, 0, 0));
        }
    }
    return image.scaled(image.size() * 8);
}

} // namespace

class HeadlessHostTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void commandLineMistakes_data();
    void commandLineMistakes();
    void hostsPairsRotatesAndQuits();
    void requestsTheRunningHostAnswers();
    void outsideTextCannotDriveTheTerminal();

private:
    QProcessEnvironment environment() const;
    // Runs the host with the arguments to its end; its standard output, or its exit status when not 0.
    std::pair<int, QString> ask(const QStringList &arguments, const QByteArray &input = {}) const;
    void startHost(QProcess &host, const QStringList &arguments) const;
    // The links of every QR code the host printed so far, read with zbarimg.
    QStringList printedLinks(const QString &output) const;
    bool tabletPairs(const QString &link) const;
    // Everything the host printed so far.
    QString printed(QProcess &host);

    QTemporaryDir home;
    QTemporaryDir workspace;
    QString port;
    QHash<const QProcess *, QString> outputs;
};

QString HeadlessHostTest::printed(QProcess &host)
{
    return outputs[&host] += QString::fromUtf8(host.readAllStandardOutput());
}

void HeadlessHostTest::initTestCase()
{
    QTcpServer free;
    QVERIFY(free.listen(QHostAddress::LocalHost));
    port = QString::number(free.serverPort());
    QVERIFY(home.isValid() && workspace.isValid());
    QVERIFY(QDir(home.path()).mkpath(QStringLiteral("run")));
    QFile::setPermissions(home.path() + QStringLiteral("/run"),
                          QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser);
}

QProcessEnvironment HeadlessHostTest::environment() const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "XDG_CONFIG_HOME", "XDG_STATE_HOME"})
        environment.remove(QString::fromLatin1(name));
    environment.insert(QStringLiteral("HOME"), home.path());
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), home.path() + QStringLiteral("/run"));
    // A window would need this platform and find no display to open it on.
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    return environment;
}

std::pair<int, QString> HeadlessHostTest::ask(const QStringList &arguments, const QByteArray &input) const
{
    QProcess process;
    process.setProcessEnvironment(environment());
    process.start(QStringLiteral(FERROWYN_HOST_PATH), arguments);
    process.write(input);
    process.closeWriteChannel();
    process.waitForFinished(10000);
    return {process.exitCode(), QString::fromUtf8(process.readAllStandardOutput())};
}

void HeadlessHostTest::startHost(QProcess &host, const QStringList &arguments) const
{
    host.setProcessEnvironment(environment());
    host.start(QStringLiteral(FERROWYN_HOST_PATH),
               QStringList{QStringLiteral("--headless"), QStringLiteral("--loopback"),
                           QStringLiteral("--port"), port, QStringLiteral("--workspace"), workspace.path()} +
                   arguments);
}

QStringList HeadlessHostTest::printedLinks(const QString &output) const
{
    QStringList links;
    QStringList code;
    for (const QString &line : output.split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1Char('\x1b'))) {
            code.append(line);
            continue;
        }
        if (code.isEmpty())
            continue;
        const QString png = home.filePath(QStringLiteral("code.png"));
        terminalModules(code).save(png);
        QProcess zbar;
        zbar.start(QStringLiteral("zbarimg"), {QStringLiteral("--raw"), QStringLiteral("-q"), png});
        zbar.waitForFinished(10000);
        links.append(QString::fromUtf8(zbar.readAllStandardOutput()).trimmed());
        code.clear();
    }
    return links;
}

bool HeadlessHostTest::tabletPairs(const QString &link) const
{
    return QProcess::execute(
               QStringLiteral("/usr/bin/python3"),
               {QStringLiteral(FERROWYN_AGENT_TEST_DIR "/tablet_client.py"), link, workspace.path()}) == 0;
}

void HeadlessHostTest::commandLineMistakes_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("port out of range")
        << QStringList{QStringLiteral("--headless"), QStringLiteral("--port=70000")};
    QTest::newRow("port not a number")
        << QStringList{QStringLiteral("--headless"), QStringLiteral("--port=80x")};
    QTest::newRow("no such folder") << QStringList{QStringLiteral("--headless"),
                                                   QStringLiteral("--workspace=/nonexistent/folder")};
    QTest::newRow("unknown mode") << QStringList{QStringLiteral("--headless"),
                                                 QStringLiteral("--mode=ngrok")};
    QTest::newRow("contradiction") << QStringList{QStringLiteral("--headless"), QStringLiteral("--bind-all"),
                                                  QStringLiteral("--loopback")};
    QTest::newRow("run option without headless") << QStringList{QStringLiteral("--port=8080")};
    QTest::newRow("two requests") << QStringList{QStringLiteral("--start"), QStringLiteral("--stop")};
    QTest::newRow("unknown option") << QStringList{QStringLiteral("--frobnicate")};
}

void HeadlessHostTest::commandLineMistakes()
{
    QFETCH(QStringList, arguments);
    const HostCommandLine parsed =
        HostCommandLine::parse(QStringList{QStringLiteral("ferrowyn-host")} + arguments);
    QCOMPARE(parsed.action, HostCommandLine::Action::Print);
    QCOMPARE(parsed.exitCode, HostCommandLine::badArguments);
    QVERIFY(parsed.outputIsError && !parsed.output.contains(QLatin1Char('\n')));
}

void HeadlessHostTest::hostsPairsRotatesAndQuits()
{
    QCOMPARE(ask({QStringLiteral("--status")}).first, HostCommandLine::notRunning);

    QProcess host;
    startHost(host, {QStringLiteral("--secrets-file")});
    QTRY_COMPARE_WITH_TIMEOUT(printedLinks(printed(host)).size(), 1, 20000);
    const QString link = printedLinks(printed(host)).constFirst();
    QVERIFY2(link.startsWith(QStringLiteral("ferrowyn://connect?")), qPrintable(link));
    QCOMPARE(ask({QStringLiteral("--link")}).second.trimmed(), link);
    QVERIFY(tabletPairs(link));
    const auto [statusExit, status] = ask({QStringLiteral("--status"), QStringLiteral("--json")});
    QCOMPARE(statusExit, 0);
    const QJsonObject statusObject = QJsonDocument::fromJson(status.toUtf8()).object();
    QCOMPARE(statusObject.value(QStringLiteral("state")).toString(), QStringLiteral("running"));
    QCOMPARE(statusObject.value(QStringLiteral("endpoint")).toString(),
             QStringLiteral("ws://127.0.0.1:") + port);
    const QString token = QUrlQuery(QUrl(link)).queryItemValue(QStringLiteral("token"));
    QVERIFY(!token.isEmpty() && !status.contains(token));

    const QFileInfo secrets(home.filePath(QStringLiteral(".local/state/ferrowyn-host/credentials.json")));
    QCOMPARE(secrets.permissions() & 0x0777, QFileDevice::ReadUser | QFileDevice::WriteUser);
    QCOMPARE(QFileInfo(secrets.absolutePath()).permissions() & 0x0777,
             QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser);

    // The paired tablet is listed, with its last connection, and can be revoked from the command line.
    const QJsonArray devices =
        QJsonDocument::fromJson(ask({"--devices", "--json"}).second.toUtf8())["devices"].toArray();
    QCOMPARE(devices.size(), 1);
    QCOMPARE(devices[0]["deviceId"].toString(), "py-tablet");
    QVERIFY(!devices[0]["lastSeenAt"].toString().isEmpty());
    QCOMPARE(ask({"--revoke", "nobody", "--yes"}).first, 1);
    QCOMPARE(ask({"--revoke", "py-tablet", "--yes"}).first, 0);
    QTRY_VERIFY(ask({"--devices"}).second.contains("No tablet has paired yet."));
    QCOMPARE(ask({QStringLiteral("--rotate")}, "n\n").first, 1);
    QCOMPARE(ask({QStringLiteral("--rotate"), QStringLiteral("--yes")}).first, 0);
    // The revocation printed a link with a new nonce, the rotation one more.
    QTRY_COMPARE_WITH_TIMEOUT(printedLinks(printed(host)).size(), 3, 20000);
    const QString rotated = printedLinks(printed(host)).constLast();
    QVERIFY(rotated != link);
    QVERIFY(!tabletPairs(link));

    ::kill(static_cast<pid_t>(host.processId()), SIGTERM);
    QVERIFY(host.waitForFinished(10000));
    QCOMPARE(host.exitStatus(), QProcess::NormalExit);
    QCOMPARE(host.exitCode(), 0);
    // The agent's command line names the workspace; pgrep finds nothing (1) once it is gone.
    QCOMPARE(QProcess::execute(QStringLiteral("pgrep"), {QStringLiteral("-f"), workspace.path()}), 1);

    // The run's options were for that run only.
    QFile saved(home.filePath(QStringLiteral(".config/ferrowyn-host/defaults.json")));
    QVERIFY(saved.open(QIODevice::ReadOnly));
    const QByteArray settings = saved.readAll();
    QVERIFY(!settings.contains(port.toUtf8()) && !settings.contains(workspace.path().toUtf8()));

    // The pairing survives a restart, and a run without the option never touches the file.
    const QDateTime written = QFileInfo(secrets.filePath()).lastModified();
    QProcess again;
    startHost(again, {});
    QTRY_COMPARE_WITH_TIMEOUT(printedLinks(printed(again)).size(), 1, 20000);
    const QString unsaved = printedLinks(printed(again)).constFirst();
    QVERIFY(QUrlQuery(QUrl(unsaved)).queryItemValue(QStringLiteral("token")) !=
            QUrlQuery(QUrl(rotated)).queryItemValue(QStringLiteral("token")));
    QCOMPARE(QFileInfo(secrets.filePath()).lastModified(), written);
    QCOMPARE(ask({QStringLiteral("--quit")}).first, 0);
    QVERIFY(again.waitForFinished(10000));

    QProcess third;
    startHost(third, {QStringLiteral("--secrets-file"), QStringLiteral("--qr=none")});
    QTRY_VERIFY_WITH_TIMEOUT(!ask({QStringLiteral("--link")}).second.isEmpty(), 20000);
    const QString restored = ask({QStringLiteral("--link")}).second.trimmed();
    QCOMPARE(QUrlQuery(QUrl(restored)).queryItemValue(QStringLiteral("token")),
             QUrlQuery(QUrl(rotated)).queryItemValue(QStringLiteral("token")));
    QVERIFY(printedLinks(printed(third)).isEmpty());
    QCOMPARE(ask({QStringLiteral("--quit")}).first, 0);
    QVERIFY(third.waitForFinished(10000));
}

// The running host's side of the command line, on the stand-in agent.
void HeadlessHostTest::requestsTheRunningHostAnswers()
{
    AgentControllerHarness h;
    qputenv("HOME", h.scratch.path().toUtf8());
    // A settings file that could not be read, kept aside: the status says so, as the window does.
    const QString settings = h.scratch.filePath("defaults.json");
    QFile damaged(settings);
    QVERIFY(damaged.open(QIODevice::WriteOnly) && damaged.write("{\"FerrowynHost.mode\": ") > 0);
    damaged.close();
    const JsonFileUserDefaults unreadable(settings);
    HostPresenter presenter(h.preferences, *h.controller);
    presenter.reportSettingsFile(unreadable);
    bool quitAsked = false;
    HostControlRequests requests(h.preferences, *h.controller, presenter, "the keyring",
                                 [&] { quitAsked = true; });
    const auto ask = [&](const QString &request) {
        return requests.answer({{"request", request}});
    };
    QVERIFY(ask("status")["warnings"].toArray().contains(
        "Your settings file could not be read, so defaults are in use. The damaged file was kept as " +
        unreadable.backupPath() + "."));
    QCOMPARE(ask("link"), QJsonObject({{"error", "There is no setup link yet: Not hosting"}}));
    FakeAgent::setScript("hang");
    QCOMPARE(ask("start"), QJsonObject({{"done", "start"}}));
    QTRY_COMPARE(h.controller->state(), AgentRunState::running());
    QCOMPARE(ask("stop"), QJsonObject({{"done", "stop"}}));
    QTRY_COMPARE(h.controller->state(), AgentRunState::stopped());
    QCOMPARE(ask("frobnicate"), QJsonObject({{"error", "unknown request \"frobnicate\""}}));
    QVERIFY(!quitAsked);
}

void HeadlessHostTest::outsideTextCannotDriveTheTerminal()
{
    QCOMPARE(HeadlessConsole::printable("a\x1b]0;title\x07"
                                        "b\tc\u009bd\re"),
             "a\ufffd]0;title\ufffdb\tc\ufffdd\ufffde");
}

QTEST_GUILESS_MAIN(HeadlessHostTest)
#include "tst_headless_host.moc"
