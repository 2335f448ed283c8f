#include "AgentControllerHarness.h"
#include "SmallFullDisk.h"

#include "App/CommandLine/HostCommandLine.h"
#include "App/CommandLine/HostControlRequests.h"
#include "App/CommandLine/WindowDisplay.h"
#include "App/Headless/ConsoleOutput.h"
#include "App/Headless/HeadlessConsole.h"
#include "App/HostPresenter.h"
#include "Platform/TerminalColours.h"
#include "Services/Pairing/PairingSecretsPlace.h"
#include "Shared/TrustedDevicesFile.h"

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
#include <fcntl.h>
#include <sys/ioctl.h>
#include <thread>

// The real host without a display: what it prints, what the command line asks of it, and where it keeps
// the pairing when told to use a file.

namespace {

// A line of a printed QR code: half blocks and blanks only.
bool isCodeLine(const QString &line)
{
    static const QRegularExpression code(QStringLiteral("^[ \u2580\u2584\u2588]*[\u2580\u2584\u2588][ "
                                                        "\u2580\u2584\u2588]*$"));
    return code.match(line).hasMatch();
}

// The printed half-block QR code back as modules: what a phone camera would see.
QImage terminalModules(const QStringList &lines)
{
    QImage image(static_cast<int>(lines.value(0).size()), static_cast<int>(2 * lines.size()),
                 QImage::Format_RGB32);
    image.fill(Qt::white);
    for (int row = 0; row < lines.size(); ++row) {
        const QString &line = lines.at(row);
        for (int x = 0; x < line.size() && x < image.width(); ++x) {
            if (line.at(x) == QChar(0x2580) || line.at(x) == QChar(0x2588))
                image.setPixel(x, 2 * row, qRgb(0, 0, 0));
            if (line.at(x) == QChar(0x2584) || line.at(x) == QChar(0x2588))
                image.setPixel(x, 2 * row + 1, qRgb(0, 0, 0));
        }
    }
    return image.scaled(image.size() * 8);
}

// Reads the pipe to its end.
QByteArray readToEnd(int fd)
{
    QByteArray all;
    char buffer[65536];
    ssize_t n = 0;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR))
        all.append(buffer, std::max<ssize_t>(n, 0));
    ::close(fd);
    return all;
}

} // namespace

class HeadlessHostTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void commandLineMistakes_data();
    void commandLineMistakes();
    void noDisplayForTheWindow_data();
    void noDisplayForTheWindow();
    void hostsPairsRotatesAndQuits();
    void secretsFileOthersCanReadIsRefused();
    void aPortInUseIsSaidOnce();
    void aFullDiskLosesNothing();
    void requestsTheRunningHostAnswers();
    void outsideTextCannotDriveTheTerminal();
    void coloursOnlyOnATerminal_data();
    void coloursOnlyOnATerminal();
    void outputDropsWhatDoesNotFitAndSaysSo();
    void aReaderThatStopsNeverFreezesTheHost();

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
    // The --status warnings, one per line.
    QString warnings() const;

    QTemporaryDir home;
    QTemporaryDir workspace;
    QString port;
    QHash<const QProcess *, QString> outputs;
};

QString HeadlessHostTest::printed(QProcess &host)
{
    return outputs[&host] += QString::fromUtf8(host.readAllStandardOutput());
}

QString HeadlessHostTest::warnings() const
{
    const QJsonObject status = QJsonDocument::fromJson(ask({"--status", "--json"}).second.toUtf8()).object();
    QStringList lines;
    for (const QJsonValue warning : status.value("warnings").toArray())
        lines.append(warning.toString());
    return lines.join('\n');
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
        if (isCodeLine(line)) {
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
    QTest::newRow("browser form of another request")
        << QStringList{QStringLiteral("--status"), QStringLiteral("--browser")};
    QTest::newRow("browser form without a request") << QStringList{QStringLiteral("--browser")};
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

void HeadlessHostTest::noDisplayForTheWindow_data()
{
    // The options, QT_QPA_PLATFORM, DISPLAY and WAYLAND_DISPLAY, and whether the window has nowhere to open.
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("platform");
    QTest::addColumn<QString>("x11");
    QTest::addColumn<QString>("wayland");
    QTest::addColumn<bool>("missing");
    QTest::newRow("no options") << QStringList() << ""
                                << ""
                                << "" << true;
    QTest::newRow("started at login") << QStringList{"--autostart"} << "xcb"
                                      << ""
                                      << "" << true;
    QTest::newRow("secrets file") << QStringList{"--secrets-file"} << "wayland;xcb"
                                  << ""
                                  << "" << true;
    QTest::newRow("X display") << QStringList() << ""
                               << ":0"
                               << "" << false;
    QTest::newRow("Wayland display") << QStringList() << "xcb"
                                     << ""
                                     << "wayland-0" << false;
    QTest::newRow("offscreen") << QStringList() << "offscreen"
                               << ""
                               << "" << false;
    QTest::newRow("offscreen after X") << QStringList() << "xcb;offscreen"
                                       << ""
                                       << "" << false;
    QTest::newRow("platform option") << QStringList{"-platform", "offscreen"} << "xcb"
                                     << ""
                                     << "" << false;
}

// Over SSH the window has no display: one line says so and how to host without it, and the status is 2.
void HeadlessHostTest::noDisplayForTheWindow()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, platform);
    QFETCH(QString, x11);
    QFETCH(QString, wayland);
    QFETCH(bool, missing);
    QProcessEnvironment environment = this->environment();
    environment.insert("QT_QPA_PLATFORM", platform);
    environment.insert("DISPLAY", x11);
    environment.insert("WAYLAND_DISPLAY", wayland);
    const std::optional<QString> why =
        WindowDisplay::missing(QStringList{"ferrowyn-host"} + arguments, environment);
    QCOMPARE(why.has_value(), missing);
    if (!missing)
        return;
    QProcess host;
    host.setProcessEnvironment(environment);
    host.start(FERROWYN_HOST_PATH, arguments);
    QVERIFY(host.waitForFinished(10000));
    QCOMPARE(host.exitStatus(), QProcess::NormalExit);
    QCOMPARE(host.exitCode(), HostCommandLine::badArguments);
    QCOMPARE(host.readAllStandardOutput(), QByteArray());
    QCOMPARE(QString::fromUtf8(host.readAllStandardError()), *why + '\n');
    QVERIFY(why->contains("ferrowyn-host --headless"));
}

void HeadlessHostTest::hostsPairsRotatesAndQuits()
{
    // With no host, the command line says so before it asks anything, and a script that wants JSON gets it.
    QCOMPARE(ask({"--status", "--json"}),
             std::pair(HostCommandLine::notRunning, QString("{\"running\":false}\n")));
    QCOMPARE(ask({"--revoke", "py-tablet"}, "y\n"), std::pair(HostCommandLine::notRunning, QString()));

    QProcess host;
    startHost(host, {QStringLiteral("--secrets-file")});
    QTRY_COMPARE_WITH_TIMEOUT(printedLinks(printed(host)).size(), 1, 20000);
    const QString link = printedLinks(printed(host)).constFirst();
    QVERIFY2(link.startsWith(QStringLiteral("ferrowyn://connect?")), qPrintable(link));
    QCOMPARE(ask({QStringLiteral("--link")}).second.trimmed(), link);
    // Into a pipe, the code and every line are plain text: no colour escapes.
    QVERIFY(!printed(host).contains(u'\x1b'));
    const QString linkCode = ask({"--link", "--qr"}).second;
    QVERIFY(!linkCode.contains(u'\x1b'));
    QCOMPARE(printedLinks(linkCode + "end\n"), QStringList{link});
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
    QVERIFY(printed(host).contains("Pairing secrets: " + secrets.filePath() + '\n'));
    QCOMPARE(secrets.permissions() & 0x0777, QFileDevice::ReadUser | QFileDevice::WriteUser);
    QCOMPARE(QFileInfo(secrets.absolutePath()).permissions() & 0x0777,
             QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser);

    // The paired tablet is listed, with its last connection, and can be revoked from the command line. The
    // hash of its secret shows nowhere.
    const QString json = ask({"--devices", "--json"}).second;
    const QString listed = json + ask({"--devices"}).second;
    const QJsonArray devices = QJsonDocument::fromJson(json.toUtf8())["devices"].toArray();
    const QString hash = TrustedDevicesFile(home.filePath(".ferrowyn/trusted-devices.json"))
                             .read(TrustedDevicesFile::SecretHashes::Included)
                             .devices.value(0)
                             .secretHash;
    QVERIFY(hash.startsWith("sha256:"));
    QVERIFY(!listed.contains(hash.mid(7)) && !printed(host).contains(hash.mid(7)) &&
            !listed.contains("sha256"));
    QCOMPARE(devices.size(), 1);
    QCOMPARE(devices[0]["deviceId"].toString(), "py-tablet");
    QVERIFY(!devices[0]["lastSeenAt"].toString().isEmpty());
    QCOMPARE(ask({"--revoke", "nobody"}, "y\n"), std::pair(1, QString())); // unknown: not even asked
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
    // No keyring here: the host says where the secrets are, what that means and how to keep them, in words
    // that agree.
    QVERIFY(printed(again).contains("Pairing secrets: " + PairingSecretsPlace::memoryOnly + '\n'));
    QVERIFY(printed(again).contains("Warning: " + PairingSecretsPlace::keyringUnavailableWarning + '\n'));
    QVERIFY(!printed(again).contains(PairingSecretsPlace::systemKeyring));
    QCOMPARE(QJsonDocument::fromJson(ask({"--status", "--json"}).second.toUtf8())["secrets"].toString(),
             PairingSecretsPlace::memoryOnly);
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

void HeadlessHostTest::secretsFileOthersCanReadIsRefused()
{
    // The pairing kept by the run before, now readable by everyone.
    const QString path = home.filePath(".local/state/ferrowyn-host/credentials.json");
    QFile secrets(path);
    QVERIFY(secrets.open(QIODevice::ReadOnly));
    const QByteArray stored = secrets.readAll();
    secrets.close();
    const QFile::Permissions loose =
        QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther;
    QVERIFY(secrets.setPermissions(loose));
    QProcess host;
    startHost(host, {"--secrets-file", "--qr=none"});
    const QString refusal = "The secrets file " + path +
                            " is not used: its permissions (0644) let other users "
                            "read or change it. Run: chmod 600 " +
                            path;
    QTRY_VERIFY_WITH_TIMEOUT(printed(host).contains("Warning: " + refusal + '\n'), 20000);
    QVERIFY(warnings().contains(refusal));
    QCOMPARE(ask({"--quit"}).first, 0);
    QVERIFY(host.waitForFinished(10000));
    // Left exactly as it was: the user decides.
    QVERIFY(secrets.open(QIODevice::ReadOnly));
    QCOMPARE(secrets.readAll(), stored);
    QCOMPARE(secrets.permissions(), loose | QFile::ReadUser | QFile::WriteUser);
}

// Another program holds the port: the host says so once, naming the port and what to do. Kept online, it
// tries again now and then; otherwise hosting could not start, and the run ends with status 1.
void HeadlessHostTest::aPortInUseIsSaidOnce()
{
    QTcpServer taken;
    QVERIFY(taken.listen(QHostAddress::LocalHost));
    const QString port = QString::number(taken.serverPort());
    const QString told = "The agent cannot listen on port " + port +
                         ": another program is probably using it. "
                         "Choose another port (Port under Connection, or --port with --headless).";
    for (const bool keepOnline : {true, false}) {
        QTemporaryDir otherHome;
        QVERIFY(QDir(otherHome.path()).mkpath(".config/ferrowyn-host"));
        QFile settings(otherHome.filePath(".config/ferrowyn-host/defaults.json"));
        QVERIFY(settings.open(QIODevice::WriteOnly) &&
                settings.write(keepOnline ? "{}" : R"({"FerrowynHost.keepRelayOnline": false})") > 0);
        settings.close();
        QProcess host;
        outputs.remove(&host); // the last round's, at the same address
        QProcessEnvironment environment = this->environment();
        environment.insert("HOME", otherHome.path());
        host.setProcessEnvironment(environment);
        host.start(FERROWYN_HOST_PATH, {"--headless", "--loopback", "--port", port, "--qr=none"});
        if (keepOnline) {
            // The agent's own line each time it was tried, the host's words once.
            QTRY_VERIFY_WITH_TIMEOUT(printed(host).count("cannot listen on 127.0.0.1:" + port) >= 2, 20000);
            QCOMPARE(printed(host).count(told), 1);
            QCOMPARE(host.state(), QProcess::Running);
            QCOMPARE(ask({"--quit"}).first, 0);
            QVERIFY(host.waitForFinished(10000));
            QCOMPARE(host.exitCode(), 0);
        } else {
            QVERIFY(host.waitForFinished(20000));
            QCOMPARE(host.exitStatus(), QProcess::NormalExit);
            QCOMPARE(host.exitCode(), 1);
            QCOMPARE(printed(host).count(told), 1);
        }
    }
}

void HeadlessHostTest::aFullDiskLosesNothing()
{
    SmallFullDisk disk;
    qInfo("full disk: %s", qPrintable(disk.kind()));
    const auto start = [&](QProcess &host) {
        QProcessEnvironment environment = this->environment();
        environment.insert("HOME", disk.path());
        host.setProcessEnvironment(environment);
        host.start(FERROWYN_HOST_PATH, {"--headless", "--loopback", "--port", port, "--workspace",
                                        workspace.path(), "--secrets-file", "--qr=none"});
    };
    QProcess first;
    start(first);
    QTRY_VERIFY_WITH_TIMEOUT(!ask({"--link"}).second.isEmpty(), 20000);
    QVERIFY(tabletPairs(ask({"--link"}).second.trimmed()));
    QCOMPARE(ask({"--quit"}).first, 0);
    QVERIFY(first.waitForFinished(10000));
    const QStringList files{".config/ferrowyn-host/defaults.json",
                            ".local/state/ferrowyn-host/credentials.json", ".ferrowyn/trusted-devices.json"};
    QList<QByteArray> saved;
    for (const QString &file : files) {
        QFile stored(disk.filePath(file));
        QVERIFY(stored.open(QIODevice::ReadOnly));
        saved.append(stored.readAll());
    }
    const auto unchanged = [&](qsizetype count) {
        for (qsizetype i = 0; i < count; ++i) {
            QFile stored(disk.filePath(files.at(i)));
            if (!stored.open(QIODevice::ReadOnly) || stored.readAll() != saved.at(i) ||
                QDir(QFileInfo(stored).absolutePath()).entryList(QDir::Files | QDir::Hidden).size() !=
                    1 + (i == 2))
                return false;
        }
        return true;
    };

    const auto full = disk.full();
    QProcess second;
    if (!disk.mounted())
        second.setChildProcessModifier(&SmallFullDisk::limitFileSizeInChild);
    start(second);
    QTRY_VERIFY_WITH_TIMEOUT(!ask({"--link"}).second.isEmpty(), 20000);
    // A revoke the agent cannot write, nor the host after it, says so; so do the secrets it could not save.
    QCOMPARE(ask({"--revoke", "py-tablet", "--yes"}).first, 0);
    QTRY_VERIFY_WITH_TIMEOUT(
        warnings().contains("The device could not be revoked: cannot write " + disk.filePath(files.at(2))),
        10000);
    QVERIFY(
        warnings().contains("Pairing secrets were not saved (cannot write " + disk.filePath(files.at(1))));
    QVERIFY(unchanged(3));
    // A rotation revokes every tablet (it deletes their file); the settings it could not save are told.
    QCOMPARE(ask({"--rotate", "--yes"}).first, 0);
    QTRY_VERIFY_WITH_TIMEOUT(
        warnings().contains("Settings were not saved (cannot write " + disk.filePath(files.at(0))), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(printed(second).contains("Warning: Settings were not saved"), 10000);
    QVERIFY(!warnings().contains("could not be revoked"));
    // A tablet whose trust cannot be saved is turned away, and the log says why. (The rotation's deleted file
    // gave the disk some room back.)
    const auto fullAgain = disk.full();
    QTRY_COMPARE_WITH_TIMEOUT(
        QJsonDocument::fromJson(ask({"--status", "--json"}).second.toUtf8())["state"].toString(), "running",
        20000);
    QVERIFY(!tabletPairs(ask({"--link"}).second.trimmed()));
    QTRY_VERIFY_WITH_TIMEOUT(printed(second).contains("cannot save a newly paired device: cannot write " +
                                                      disk.filePath(files.at(2))),
                             10000);
    QCOMPARE(ask({"--quit"}).first, 0);
    QVERIFY(second.waitForFinished(10000));
    QVERIFY(unchanged(2));
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
    HostControlRequests requests(h.preferences, *h.controller, presenter, [&] { quitAsked = true; });
    const auto ask = [&](const QString &request) {
        return requests.answer({{"request", request}});
    };
    QVERIFY(ask("status")["warnings"].toArray().contains(
        "Your settings file could not be read, so defaults are in use. The damaged file was kept as " +
        unreadable.backupPath() + "."));
    QCOMPARE(ask("link"), QJsonObject({{"error", "There is no setup link yet: Not hosting"}}));
    // Start and stop change nothing when there is nothing to change, and say so; a restart is asked for.
    const QJsonObject notRunning{{"done", "stop"}, {"note", "Hosting is not running; nothing was changed."}};
    QCOMPARE(ask("stop"), notRunning);
    FakeAgent::setScript("hang");
    QCOMPARE(ask("start"), QJsonObject({{"done", "start"}}));
    QCOMPARE(ask("start"),
             QJsonObject({{"done", "start"}, {"note", "Hosting is already running; nothing was changed."}}));
    QTRY_COMPARE(h.controller->state(), AgentRunState::running());
    const qint64 agent = h.controller->agentProcessId();
    QCOMPARE(ask("start")["note"], "Hosting is already running; nothing was changed.");
    QCOMPARE(h.controller->agentProcessId(), agent);
    QCOMPARE(ask("restart"), QJsonObject({{"done", "restart"}}));
    QTRY_VERIFY(presenter.running() && h.controller->agentProcessId() != agent);
    QCOMPARE(ask("stop"), QJsonObject({{"done", "stop"}}));
    QTRY_COMPARE(h.controller->state(), AgentRunState::stopped());
    QCOMPARE(ask("stop"), notRunning);
    QCOMPARE(ask("frobnicate"), QJsonObject({{"error", "unknown request \"frobnicate\""}}));
    QVERIFY(!quitAsked);
}

void HeadlessHostTest::outsideTextCannotDriveTheTerminal()
{
    QCOMPARE(HeadlessConsole::printable("a\x1b]0;title\x07"
                                        "b\tc\u009bd\re"),
             "a\ufffd]0;title\ufffdb\tc\ufffdd\ufffde");
}

void HeadlessHostTest::coloursOnlyOnATerminal_data()
{
    QTest::addColumn<QString>("output");
    QTest::addColumn<std::optional<QString>>("noColor");
    QTest::addColumn<bool>("colours");
    QTest::newRow("terminal") << "terminal" << std::optional<QString>() << true;
    QTest::newRow("terminal, NO_COLOR empty") << "terminal" << std::optional<QString>("") << true;
    QTest::newRow("terminal, NO_COLOR") << "terminal" << std::optional<QString>("1") << false;
    QTest::newRow("pipe") << "pipe" << std::optional<QString>() << false;
    QTest::newRow("file") << "file" << std::optional<QString>() << false;
}

void HeadlessHostTest::coloursOnlyOnATerminal()
{
    QFETCH(QString, output);
    QFETCH(std::optional<QString>, noColor);
    QFETCH(bool, colours);
    int fds[2] = {-1, -1};
    if (output == "terminal") {
        fds[0] = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        QVERIFY(fds[0] >= 0 && ::grantpt(fds[0]) == 0 && ::unlockpt(fds[0]) == 0);
        fds[1] = ::open(::ptsname(fds[0]), O_RDWR | O_NOCTTY | O_CLOEXEC);
    } else if (output == "pipe") {
        QVERIFY(::pipe2(fds, O_CLOEXEC) == 0);
    } else {
        fds[1] = ::open(QFile::encodeName(home.filePath("output")).constData(),
                        O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    }
    QVERIFY(fds[1] >= 0);
    QProcessEnvironment environment;
    if (noColor)
        environment.insert("NO_COLOR", *noColor);
    QCOMPARE(TerminalColours::wanted(fds[1], environment), colours);
    for (const int fd : fds)
        if (fd >= 0)
            ::close(fd);
}

void HeadlessHostTest::outputDropsWhatDoesNotFitAndSaysSo()
{
    int pipe[2];
    QVERIFY(::pipe2(pipe, O_CLOEXEC) == 0);
    constexpr int lines = 20000;
    auto output =
        std::make_unique<ConsoleOutput>(pipe[1], ConsoleOutputLimits{16 * 1024, std::chrono::seconds(10)});
    // Nobody reads yet: a write that waited for the reader would never come back.
    for (int i = 0; i < lines; ++i)
        output->write("line " + QByteArray::number(i) + '\n');
    QByteArray printed;
    std::thread reader([&printed, fd = pipe[0]] { printed = readToEnd(fd); });
    output.reset(); // what waits is written now that someone reads
    ::close(pipe[1]);
    reader.join();
    // Every line is there or counted where it was left out, in order.
    int next = 0;
    int gaps = 0;
    static const QRegularExpression dropped(QStringLiteral("^\u2026 (\\d+) lines not shown$"));
    for (const QByteArray &line : printed.split('\n')) {
        if (line.startsWith("line ")) {
            QCOMPARE(line.mid(5).toInt(), next++);
        } else if (const QRegularExpressionMatch match = dropped.match(QString::fromUtf8(line));
                   match.hasMatch()) {
            next += match.captured(1).toInt();
            ++gaps;
        } else {
            QCOMPARE(line, QByteArray());
        }
    }
    QCOMPARE(next, lines);
    QVERIFY(gaps > 0);
}

void HeadlessHostTest::aReaderThatStopsNeverFreezesTheHost()
{
    // The real host, with a stand-in agent beside it that writes far more than a pipe holds.
    QTemporaryDir bin;
    const QString hostPath = bin.filePath(QStringLiteral("ferrowyn-host"));
    QVERIFY(::link(FERROWYN_HOST_PATH, QFile::encodeName(hostPath).constData()) == 0 ||
            QFile::copy(QStringLiteral(FERROWYN_HOST_PATH), hostPath));
    QVERIFY(QFile::copy(QStringLiteral(FERROWYN_FAKE_AGENT_PATH),
                        bin.filePath(QStringLiteral("ferrowyn-agent"))));
    QFile::setPermissions(bin.filePath(QStringLiteral("ferrowyn-agent")), QFile::ReadOwner | QFile::ExeOwner);
    int pipe[2];
    QVERIFY(::pipe2(pipe, O_CLOEXEC) == 0);
    QProcess host;
    QProcessEnvironment environment = this->environment();
    environment.insert(QStringLiteral("FAKE_AGENT_SCRIPT"), QStringLiteral("burst=20000:HOME;hang"));
    host.setProcessEnvironment(environment);
    host.setChildProcessModifier([fd = pipe[1]] { ::dup2(fd, STDOUT_FILENO); });
    host.start(hostPath, {QStringLiteral("--headless"), QStringLiteral("--qr=none"),
                          QStringLiteral("--workspace"), workspace.path()});
    ::close(pipe[1]);
    // Nobody reads the pipe, and it fills up.
    const auto waiting = [fd = pipe[0]] {
        int bytes = 0;
        return ::ioctl(fd, FIONREAD, &bytes) == 0 ? bytes : 0;
    };
    QTRY_VERIFY_WITH_TIMEOUT(waiting() >= 60000, 20000);
    // The host still answers and still ends.
    QCOMPARE(ask({QStringLiteral("--status")}).first, 0);
    ::kill(static_cast<pid_t>(host.processId()), SIGTERM);
    QVERIFY(host.waitForFinished(10000));
    QCOMPARE(host.exitCode(), 0);
    // What the pipe took is the agent's output as it came; the rest was given up at the end (the count of
    // what is dropped is the console's own test, above).
    QVERIFY(readToEnd(pipe[0]).contains("HOME=" + home.path().toUtf8() + '\n'));
}

QTEST_GUILESS_MAIN(HeadlessHostTest)
#include "tst_headless_host.moc"
