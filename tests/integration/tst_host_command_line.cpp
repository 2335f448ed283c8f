#include "AgentControllerHarness.h"
#include "HeadlessHostRunner.h"
#include "TestFiles.h"

#include "App/CommandLine/HostCommandLine.h"
#include "App/CommandLine/HostControlRequests.h"
#include "App/CommandLine/WindowDisplay.h"
#include "App/HostApplication.h"
#include "App/HostPresenter.h"
#include "RecordingLoginItem.h"
#include "Shared/AgentStaticKey.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QTest>

// What the command line takes, what it does without a display, and what the running host answers it.
class HostCommandLineTest : public QObject, public HeadlessHostRunner {
    Q_OBJECT

private slots:
    void commandLineMistakes();
    void noDisplayForTheWindow();
    void requestsTheRunningHostAnswers();
};

void HostCommandLineTest::commandLineMistakes()
{
    // A port out of range or not a number, no such folder, an unknown mode, a contradiction, a run option or
    // the shell without --headless, a program without a name, two requests, an unknown option, the browser
    // form of another request or of none.
    // (Words apart by blanks; the program's name is a tab, blank all the same.)
    for (const char *mistake :
         {"--headless --port=70000", "--headless --port=80x", "--headless --workspace=/nonexistent/folder",
          "--headless --mode=ngrok", "--headless --bind-all --loopback", "--port=8080", "--allow-shell",
          "--headless --program=\t", "--start --stop", "--frobnicate", "--status --browser", "--browser"}) {
        const HostCommandLine parsed =
            HostCommandLine::parse(("ferrowyn-host " + QString(mistake)).split(' '));
        QVERIFY2(parsed.action == HostCommandLine::Action::Print &&
                     parsed.exitCode == HostCommandLine::badArguments && parsed.outputIsError &&
                     !parsed.output.contains(QLatin1Char('\n')),
                 mistake);
    }
}

// Over SSH the window has no display: one line says so and how to host without it, and the status is 2.
void HostCommandLineTest::noDisplayForTheWindow()
{
    // The arguments, QT_QPA_PLATFORM, DISPLAY and WAYLAND_DISPLAY, and whether the window has nowhere to
    // open.
    const QList<std::tuple<QStringList, QStringList, bool>> table{
        {{}, {"", "", ""}, true},
        {{"--autostart"}, {"xcb", "", ""}, true},
        {{"--secrets-file"}, {"wayland;xcb", "", ""}, true},
        {{}, {"", ":0", ""}, false},
        {{}, {"xcb", "", "wayland-0"}, false},
        {{}, {"offscreen", "", ""}, false},
        {{}, {"xcb;offscreen", "", ""}, false},
        {{"-platform", "offscreen"}, {"xcb", "", ""}, false}};
    for (auto [arguments, variables, missing] : table) {
        const QString row = (arguments + variables).join('|');
        QProcessEnvironment environment = this->environment();
        for (const char *name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
            environment.insert(name, variables.takeFirst());
        const std::optional<QString> why =
            WindowDisplay::missing(QStringList{"ferrowyn-host"} + arguments, environment);
        QVERIFY2(why.has_value() == missing, qPrintable(row));
        if (!missing)
            continue;
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
    RecordingLoginItem loginItem;
    const HostApplication application(h.preferences, *h.controller, loginItem);
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
    // The key the tablet pins, by its fingerprint, beside the link and in the status.
    const std::optional<QString> key = h.controller->credentialStore().cached()->agentPublicKey();
    const QString fingerprint =
        "Key fingerprint: " + AgentStaticKey::fingerprint(*AgentStaticKey::decode(*key));
    QCOMPARE(ask("link")["keyFingerprint"], fingerprint);
    QCOMPARE(ask("status")["keyFingerprint"], fingerprint);
    // Letting unencrypted tablets in warns for as long as it is on, and reaches the agent at once.
    const auto warned = [&] {
        return ask("status")["warnings"].toArray().contains(HostWarnings::unencryptedClientsAllowed);
    };
    QVERIFY(!warned());
    h.preferences.setAllowUnencryptedClients(true);
    QVERIFY(warned());
    QTRY_VERIFY(FakeAgent::procList(h.controller->agentProcessId(), "cmdline")
                    .contains("--allow-unencrypted-clients"));
    h.preferences.setAllowUnencryptedClients(false);
    QVERIFY(!warned());
    QTRY_VERIFY(presenter.running());
    QCOMPARE(ask("stop"), QJsonObject({{"done", "stop"}}));
    QTRY_COMPARE(h.controller->state(), AgentRunState::stopped());
    QCOMPARE(ask("stop"), notRunning);
    QCOMPARE(ask("frobnicate"), QJsonObject({{"error", "unknown request \"frobnicate\""}}));
    QVERIFY(!quitAsked);
}

QTEST_GUILESS_MAIN(HostCommandLineTest)
#include "tst_host_command_line.moc"
