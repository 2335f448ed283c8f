#include "AgentControllerHarness.h"
#include "HeadlessHostRunner.h"
#include "TestFiles.h"

#include "App/CommandLine/HostCommandLine.h"
#include "App/CommandLine/HostControlRequests.h"
#include "App/CommandLine/WindowDisplay.h"
#include "App/HostPresenter.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QTest>

// What the command line takes, what it does without a display, and what the running host answers it.
class HostCommandLineTest : public QObject, public HeadlessHostRunner {
    Q_OBJECT

private slots:
    void commandLineMistakes_data();
    void commandLineMistakes();
    void noDisplayForTheWindow_data();
    void noDisplayForTheWindow();
    void requestsTheRunningHostAnswers();
};

void HostCommandLineTest::commandLineMistakes_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("port out of range") << QStringList{"--headless", "--port=70000"};
    QTest::newRow("port not a number") << QStringList{"--headless", "--port=80x"};
    QTest::newRow("no such folder") << QStringList{"--headless", "--workspace=/nonexistent/folder"};
    QTest::newRow("unknown mode") << QStringList{"--headless", "--mode=ngrok"};
    QTest::newRow("contradiction") << QStringList{"--headless", "--bind-all", "--loopback"};
    QTest::newRow("run option without headless") << QStringList{"--port=8080"};
    QTest::newRow("shell without headless") << QStringList{"--allow-shell"};
    QTest::newRow("program without a name") << QStringList{"--headless", "--program= "};
    QTest::newRow("two requests") << QStringList{"--start", "--stop"};
    QTest::newRow("unknown option") << QStringList{"--frobnicate"};
    QTest::newRow("browser form of another request") << QStringList{"--status", "--browser"};
    QTest::newRow("browser form without a request") << QStringList{"--browser"};
}

void HostCommandLineTest::commandLineMistakes()
{
    QFETCH(QStringList, arguments);
    const HostCommandLine parsed = HostCommandLine::parse(QStringList{"ferrowyn-host"} + arguments);
    QCOMPARE(parsed.action, HostCommandLine::Action::Print);
    QCOMPARE(parsed.exitCode, HostCommandLine::badArguments);
    QVERIFY(parsed.outputIsError && !parsed.output.contains(QLatin1Char('\n')));
}

void HostCommandLineTest::noDisplayForTheWindow_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("variables"); // QT_QPA_PLATFORM, DISPLAY and WAYLAND_DISPLAY
    QTest::addColumn<bool>("missing");          // the window has nowhere to open
    QTest::newRow("no options") << QStringList() << QStringList{"", "", ""} << true;
    QTest::newRow("started at login") << QStringList{"--autostart"} << QStringList{"xcb", "", ""} << true;
    QTest::newRow("secrets file") << QStringList{"--secrets-file"} << QStringList{"wayland;xcb", "", ""}
                                  << true;
    QTest::newRow("X display") << QStringList() << QStringList{"", ":0", ""} << false;
    QTest::newRow("Wayland display") << QStringList() << QStringList{"xcb", "", "wayland-0"} << false;
    QTest::newRow("offscreen") << QStringList() << QStringList{"offscreen", "", ""} << false;
    QTest::newRow("offscreen after X") << QStringList() << QStringList{"xcb;offscreen", "", ""} << false;
    QTest::newRow("platform option") << QStringList{"-platform", "offscreen"} << QStringList{"xcb", "", ""}
                                     << false;
}

// Over SSH the window has no display: one line says so and how to host without it, and the status is 2.
void HostCommandLineTest::noDisplayForTheWindow()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, variables);
    QFETCH(bool, missing);
    QProcessEnvironment environment = this->environment();
    for (const char *name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
        environment.insert(name, variables.takeFirst());
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

// The running host's side of the command line, on the stand-in agent.
void HostCommandLineTest::requestsTheRunningHostAnswers()
{
    AgentControllerHarness h;
    qputenv("HOME", h.scratch.path().toUtf8());
    // A settings file that could not be read, kept aside: the status says so, as the window does.
    const QString settings = h.scratch.filePath("defaults.json");
    QVERIFY(writeFile(settings, "{\"FerrowynHost.mode\": "));
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

QTEST_GUILESS_MAIN(HostCommandLineTest)
#include "tst_host_command_line.moc"
