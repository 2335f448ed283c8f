#include "AgentControllerHarness.h"
#include "App/HostApplication.h"
#include "RecordingLoginItem.h"
#include "Shared/BuildConfig.h"

#include <QSignalSpy>
#include <QTest>

// The application's rules: the launch start-up, what a settings change does, and the stop at the end.
class HostApplicationTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void launchWithoutStartingChecksTheFoldersOnly();
    void launchStartsHostingOnceWhenAsked();
    void settingsChangesRestartOnlyAnActiveAgent_data();
    void settingsChangesRestartOnlyAnActiveAgent();
    void otherRelayVersionReplacesTheURL();
    void loginToggleShowsItsOutcome();
    void terminateLeavesNoAgentRunning();

private:
    qint64 agentPid() const { return m_harness->controller->agentProcessId(); }
    void startRunning();

    std::unique_ptr<AgentControllerHarness> m_harness;
    RecordingLoginItem m_loginItem;
    std::unique_ptr<HostApplication> m_application;
};

void HostApplicationTest::init()
{
    m_harness = std::make_unique<AgentControllerHarness>();
    FakeAgent::setScript(QStringLiteral("out=ready\\n;hang"));
    m_loginItem = RecordingLoginItem();
    m_application =
        std::make_unique<HostApplication>(m_harness->preferences, *m_harness->controller, m_loginItem);
}

void HostApplicationTest::cleanup()
{
    m_application.reset();
    m_harness.reset();
}

void HostApplicationTest::startRunning()
{
    m_harness->controller->start(&m_harness->preferences);
    QTRY_COMPARE(m_harness->controller->state(), AgentRunState::running());
}

void HostApplicationTest::launchWithoutStartingChecksTheFoldersOnly()
{
    m_harness->preferences.setWorkspaces({m_harness->scratch.path()});
    m_application->windowShown();
    QCOMPARE(m_harness->controller->permissionPreflightItems().size(), 1);
    QCOMPARE(m_harness->controller->state(), AgentRunState::stopped());
    QCOMPARE(agentPid(), 0);
}

void HostApplicationTest::launchStartsHostingOnceWhenAsked()
{
    m_harness->preferences.setStartHostingOnLaunch(true);
    m_harness->preferences.setWorkspaces({m_harness->scratch.path()});
    QSignalSpy preflights(m_harness->controller.get(), &HostAgentController::permissionPreflightItemsChanged);
    QSignalSpy states(m_harness->controller.get(), &HostAgentController::stateChanged);
    m_application->windowShown();
    QCOMPARE(preflights.count(), 1);
    QCOMPARE(m_harness->controller->state(), AgentRunState::starting());
    const qint64 first = agentPid();

    // Closing and showing the window again neither checks again nor starts a second agent.
    m_application->windowShown();
    QCOMPARE(preflights.count(), 1);
    QCOMPARE(agentPid(), first);
    QVERIFY(m_application->didRunLaunchStartup());
}

void HostApplicationTest::settingsChangesRestartOnlyAnActiveAgent_data()
{
    QTest::addColumn<QString>("setting");
    QTest::newRow("mode") << "mode";
    QTest::newRow("port") << "lanPort";
    QTest::newRow("bind all") << "lanBindAll";
    QTest::newRow("ngrok") << "ngrokTunnelEnabled";
}

void HostApplicationTest::settingsChangesRestartOnlyAnActiveAgent()
{
    QFETCH(QString, setting);
    HostPreferences &preferences = m_harness->preferences;
    const auto change = [&] {
        if (setting == QLatin1String("mode"))
            preferences.setMode(preferences.mode() == HostingMode::lan ? HostingMode::relay
                                                                       : HostingMode::lan);
        else if (setting == QLatin1String("lanPort"))
            preferences.setLanPort(preferences.lanPort() + 1);
        else if (setting == QLatin1String("lanBindAll"))
            preferences.setLanBindAll(!preferences.lanBindAll());
        else
            preferences.setNgrokTunnelEnabled(!preferences.ngrokTunnelEnabled());
    };

    change(); // stopped: the change waits for the next start
    QCOMPARE(agentPid(), 0);

    startRunning();
    const qint64 before = agentPid();
    change();
    QTRY_VERIFY(agentPid() != 0);
    QVERIFY(agentPid() != before);
    QVERIFY(!FakeAgent::isAlive(before)); // the old agent was gone before the new one started
    QCOMPARE(m_harness->controller->state(), AgentRunState::starting());

    // Typing in the relay URL and the token only stores them.
    const qint64 restarted = agentPid();
    preferences.setRelayURL(QStringLiteral("wss://relay.example.org/relay"));
    preferences.setNgrokAuthtoken(QStringLiteral("typed"));
    preferences.setStartHostingOnLaunch(true);
    preferences.setKeepRelayOnline(true);
    QCOMPARE(agentPid(), restarted);
}

void HostApplicationTest::otherRelayVersionReplacesTheURL()
{
    HostPreferences &preferences = m_harness->preferences;
    preferences.setRelayURL(QStringLiteral("wss://my.relay.example/relay"));
    preferences.setRelayVersion(HostRelayVersion::goV1);
    QCOMPARE(preferences.relayURL(), managedDefaultURL(HostRelayVersion::goV1));
    QCOMPARE(agentPid(), 0); // not hosting: nothing starts

    startRunning();
    const qint64 before = agentPid();
    preferences.setRelayVersion(HostRelayVersion::elixirV2);
    QCOMPARE(preferences.relayURL(), managedDefaultURL(HostRelayVersion::elixirV2));
    QVERIFY(agentPid() != before);
}

void HostApplicationTest::loginToggleShowsItsOutcome()
{
    m_loginItem.answer = QStringLiteral("Permission denied");
    m_harness->preferences.setOpenAtLogin(true);
    QCOMPARE(m_harness->controller->readinessWarning(),
             QStringLiteral("Login item update failed: Permission denied"));
    QCOMPARE(m_harness->preferences.openAtLogin(), true); // the user's choice stands

    m_loginItem.answer.reset();
    m_harness->preferences.setOpenAtLogin(false);
    QCOMPARE(m_harness->controller->readinessWarning(), QString());
    QCOMPARE(m_loginItem.calls, QStringList({"register", "unregister"}));
}

void HostApplicationTest::terminateLeavesNoAgentRunning()
{
    startRunning();
    const qint64 pid = agentPid();
    m_application->terminate();
    QCOMPARE(agentPid(), 0);
    QVERIFY(!FakeAgent::isAlive(pid));
}

QTEST_GUILESS_MAIN(HostApplicationTest)
#include "tst_host_application.moc"
