#include "Services/HostAgentController.h"

#include "Shared/AgentEnvironment.h"

#include "Services/Settings/HostPreferences.h"
#include "Services/Supervision/AgentLaunchPlan.h"
#include "Services/Supervision/AgentOutputLog.h"
#include "Shared/NotifyingSetter.h"
#include "Shared/PrivateFolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QTimer>

#include <signal.h>

namespace {

// How many of the agent's last lines an exit report quotes.
constexpr qsizetype exitReportLines = 3;

} // namespace

HostAgentController::HostAgentController(UserDefaults &defaults, Keyring &keyring, AgentLocator locator,
                                         FolderChooser &chooser, HostAgentTimings timings, QObject *parent)
    : QObject(parent), m_timings(timings), m_locator(std::move(locator)),
      m_credentialStore(defaults, keyring), m_permissionGrantStore(defaults, chooser),
      m_log(new AgentOutputLog([this] { return redactionSecrets(); }, AgentOutputLog::defaultCapacity,
                               AgentOutputLineSplitter::defaultMaxLineLength, this)),
      m_restartBackoff(timings.restart), m_restartTimer(new QTimer(this)),
      m_link(new SetupLinkPublisher({[this] { return linkCredentials(); },
                                     [this] {
                                         return agentIsRunning();
                                     }},
                                    timings.setupLinkRefreshInterval, timings.tunnelPoll, this))
{
    connect(m_link, &SetupLinkPublisher::setupLinkChanged, this, &HostAgentController::setupLinkChanged);
    connect(m_link, &SetupLinkPublisher::resolvedLANAddressChanged, this,
            &HostAgentController::resolvedLANAddressChanged);
    connect(m_link, &SetupLinkPublisher::tunnelStateChanged, this, &HostAgentController::tunnelStateChanged);
    connect(m_link, &SetupLinkPublisher::tunnelPublicURLChanged, this,
            &HostAgentController::tunnelPublicURLChanged);
    connect(m_link, &SetupLinkPublisher::tunnelLastErrorChanged, this,
            &HostAgentController::tunnelLastErrorChanged);
    connect(&m_credentialStore, &HostCredentialStore::waitingForUnlockChanged, this, [this] {
        if (m_credentialStore.waitingForUnlock())
            setReadinessWarning(waitingForKeyringWarning);
        else if (m_readinessWarning == waitingForKeyringWarning)
            setReadinessWarning({});
    });
    connect(&m_credentialStore, &HostCredentialStore::keyringErrorChanged, this, [this] {
        if (!m_credentialStore.lastKeyringError().isEmpty())
            setReadinessWarning(keyringUnavailableWarning);
    });
    connect(m_log, &AgentOutputLog::linesChanged, this, &HostAgentController::lastLogLinesChanged);
    m_restartTimer->setSingleShot(true);
    connect(m_restartTimer, &QTimer::timeout, this, [this] {
        // Someone started hosting meanwhile, or the preferences are gone: nothing to restart.
        if (m_agent || m_pendingLaunch || !m_lastPreferences) {
            setRestartPending(false);
            return;
        }
        beginStart(m_lastPreferences, true);
    });
}

HostAgentController::~HostAgentController()
{
    // The agents are children and end with this object; none of their last signals may reach it.
    for (AgentProcess *agent : findChildren<AgentProcess *>())
        agent->disconnect(this);
}

AgentLocator HostAgentController::standardLocator()
{
    return [] {
        return AgentLaunchPlan::locateAgent(QCoreApplication::applicationDirPath(), FileProbe::system());
    };
}

qint64 HostAgentController::agentProcessId() const
{
    return m_agent ? m_agent->processId() : 0;
}

QStringList HostAgentController::lastLogLines() const
{
    return m_log->lines();
}

QAbstractListModel *HostAgentController::log() const
{
    return m_log;
}

qint64 HostAgentController::skippedOutputBytes() const
{
    return m_skippedOutputBytes + (m_agent ? m_agent->skippedOutputBytes() : 0);
}

void HostAgentController::start(HostPreferences *preferences)
{
    if (!preferences)
        return;
    // A start by the user is no crash loop.
    m_restartBackoff.reset();
    beginStart(preferences, false);
}

void HostAgentController::beginStart(HostPreferences *preferences, bool isRestart)
{
    stop();
    if (!isRestart)
        setReadinessWarning(m_credentialStore.waitingForUnlock() ? waitingForKeyringWarning : QString());
    const std::optional<QString> agent = m_locator ? m_locator() : std::nullopt;
    if (!agent) {
        setState(AgentRunState::failed(missingAgentMessage));
        return;
    }
    m_lastPreferences = preferences;
    m_pendingLaunch = PendingLaunch{preferences, *agent, std::nullopt, isRestart};
    if (isRestart)
        setRestartPending(true);
    else
        setState(AgentRunState::starting());
    requestCredentials(preferences->relayVersion(), [this](const HostCredentials &credentials) {
        if (!m_pendingLaunch)
            return;
        m_pendingLaunch->credentials = credentials;
        launchWhenReady();
    });
}

void HostAgentController::requestCredentials(HostRelayVersion relayVersion,
                                             std::function<void(const HostCredentials &)> ready)
{
    // The keyring may answer only after its unlock prompt; the launch goes on when it does, unless a stop or
    // another start came first (which drop or replace the pending launch).
    m_credentialStore.request(relayVersion, this, std::move(ready));
}

void HostAgentController::launchWhenReady()
{
    if (!m_pendingLaunch || !m_pendingLaunch->credentials || !m_retiring.isEmpty())
        return;
    PendingLaunch pending = *std::exchange(m_pendingLaunch, std::nullopt);
    if (!pending.preferences) {
        setRestartPending(false);
        if (!m_state.isFailed())
            setState(AgentRunState::stopped());
        return;
    }
    launch(std::move(pending));
}

void HostAgentController::launch(PendingLaunch pending)
{
    HostPreferences *preferences = pending.preferences;
    const HostCredentials &credentials = *pending.credentials;
    const AgentLaunchSettings settings = AgentLaunchSettings::from(*preferences);
    // Hosting goes on with credentials in memory, but the user must learn why the tablet has to pair again.
    if (!m_credentialStore.lastKeyringError().isEmpty())
        setReadinessWarning(keyringUnavailableWarning);

    const QString home = QDir::homePath();
    QString codecStatePath;
    if (settings.mode == HostingMode::relay) {
        codecStatePath = AgentLaunchPlan::relayCodecStatePath(
            home, credentials.hostId, credentials.relaySessionId, settings.relayVersion);
        // A folder that cannot be made is the agent's to report; it gets the path all the same.
        makePrivateFolder(AgentLaunchPlan::relayCodecStateFolder(home));
    }

    auto *agent = new AgentProcess(*m_log, m_timings.process, this);
    // The last run's lines stay in view until a new agent is there to write its own; a restart keeps them
    // as well, so the reason of a crash loop does not flicker away.
    if (!pending.isRestart)
        connect(agent, &AgentProcess::started, m_log, &AgentOutputLog::clear);
    m_log->beginRun();
    connect(agent, &AgentProcess::failedToStart, this, [this, agent](const QString &reason) {
        if (agent != m_agent)
            return;
        m_agent = nullptr;
        agent->deleteLater();
        m_permissionGrantStore.stopAccess();
        setRestartPending(false);
        setState(AgentRunState::failed(launchFailurePrefix + reason));
    });
    connect(agent, &AgentProcess::exited, this, [this, agent](int status) { handleExit(agent, status); });
    connect(agent, &AgentProcess::stopped, this, [this, agent] { handleRetired(agent); });

    m_permissionGrantStore.startAccess(settings.workspaces);
    m_agent = agent;
    m_agentUptime.start();
    QProcessEnvironment environment = AgentLaunchPlan::environment(
        settings, credentials, QProcessEnvironment::systemEnvironment(), home, m_fileProbe);
    m_controlSecret = HostCredentialStore::randomBase64URL(32);
    m_agentPort = settings.lanPort;
    environment.insert(AgentEnvironment::controlSecret, m_controlSecret);
    agent->start(pending.program, AgentLaunchPlan::arguments(settings, codecStatePath), environment);

    setHostToken(credentials.hostToken);
    setRelaySession(credentials.relaySessionId);
    setHostId(credentials.hostId);
    setCredentialRotatedAt(credentials.rotatedAt);
    setRunningAgentBuild(expectedAgentBuild());
    m_link->agentLaunched(settings.wantsTunnel());

    QTimer::singleShot(m_timings.confirmationDelay, agent, [this, agent, confirmed = QPointer(preferences)] {
        confirmRunning(agent, confirmed);
    });
}

void HostAgentController::confirmRunning(AgentProcess *agent, const QPointer<HostPreferences> &preferences)
{
    // A stale confirmation (stopped, exited or replaced meanwhile) does nothing.
    if (agent != m_agent || agent->phase() != AgentProcess::Phase::running)
        return;
    setRestartPending(false);
    setState(AgentRunState::running());
    if (!preferences)
        return;
    m_link->agentRunning(*preferences);
}

void HostAgentController::stop(bool waitForExit)
{
    cancelRestart();
    m_pendingLaunch.reset();
    m_permissionGrantStore.stopAccess();
    if (AgentProcess *agent = std::exchange(m_agent, nullptr))
        retire(agent);
    if (waitForExit) {
        // Quitting: bounded by the kill timeout, so no agent outlives the host.
        for (AgentProcess *agent : QList(m_retiring))
            agent->stopAndWait();
    }
    if (!m_state.isFailed())
        setState(m_retiring.isEmpty() ? AgentRunState::stopped() : AgentRunState::stopping());
    m_link->clear();
    setRunningAgentBuild({});
}

void HostAgentController::retire(AgentProcess *agent)
{
    // Its exit is never reported and never restarts anything; only its end matters, to whoever waits.
    disconnect(agent, &AgentProcess::exited, this, nullptr);
    disconnect(agent, &AgentProcess::failedToStart, this, nullptr);
    m_skippedOutputBytes += agent->skippedOutputBytes();
    m_retiring.append(agent);
    agent->stop();
}

void HostAgentController::handleRetired(AgentProcess *agent)
{
    m_retiring.removeOne(agent);
    agent->deleteLater();
    if (!m_retiring.isEmpty())
        return;
    if (m_state.kind() == AgentRunState::Kind::stopping)
        setState(AgentRunState::stopped());
    launchWhenReady();
}

void HostAgentController::handleExit(AgentProcess *agent, int status)
{
    // Late reports of an agent that was stopped or replaced are not this agent's business.
    if (agent != m_agent)
        return;
    m_agent = nullptr;
    m_skippedOutputBytes += agent->skippedOutputBytes();
    agent->deleteLater();
    m_permissionGrantStore.stopAccess();
    const auto uptime = std::chrono::milliseconds(m_agentUptime.elapsed());

    // For an exit by a signal, the exit code is the signal number.
    if (status == 0 || status == SIGTERM) {
        setState(AgentRunState::stopped());
    } else {
        setState(AgentRunState::failed(QStringLiteral("Agent exited (status %1). ").arg(status) +
                                       m_log->tail(exitReportLines, QStringLiteral(" | "))));
    }
    m_link->agentExited();

    if (m_lastPreferences && m_lastPreferences->keepRelayOnline())
        scheduleRestart(uptime);
    else
        setRestartPending(false);
}

void HostAgentController::scheduleRestart(std::chrono::milliseconds uptime)
{
    m_restartTimer->start(m_restartBackoff.delayAfterRun(uptime));
    setRestartPending(true);
}

void HostAgentController::cancelRestart()
{
    m_restartTimer->stop();
    setRestartPending(false);
}

QStringList HostAgentController::redactionSecrets()
{
    QStringList secrets{m_hostToken, m_relaySession, m_hostId, m_controlSecret};
    if (m_lastPreferences) {
        // The store keeps the record in memory once loaded, so this does not reach the keyring per call.
        const HostCredentials credentials = m_credentialStore.cached().value_or(HostCredentials());
        const QString ngrokAuthtoken = m_lastPreferences->ngrokAuthtoken();
        secrets << credentials.relayToken << credentials.pairingNonce << ngrokAuthtoken;
        // The agent and ngrok get the token trimmed, and that form is the one their output can show.
        if (ngrokAuthtoken.trimmed() != ngrokAuthtoken)
            secrets << ngrokAuthtoken.trimmed();
    }
    return secrets;
}

void HostAgentController::setState(const AgentRunState &value)
{
    setAndNotify(this, &HostAgentController::stateChanged, m_state, value);
}

void HostAgentController::setRestartPending(bool value)
{
    setAndNotify(this, &HostAgentController::restartPendingChanged, m_restartPending, value);
}

void HostAgentController::setHostToken(const QString &value)
{
    setAndNotify(this, &HostAgentController::hostTokenChanged, m_hostToken, value);
}

void HostAgentController::setRelaySession(const QString &value)
{
    setAndNotify(this, &HostAgentController::relaySessionChanged, m_relaySession, value);
}

void HostAgentController::setHostId(const QString &value)
{
    setAndNotify(this, &HostAgentController::hostIdChanged, m_hostId, value);
}

void HostAgentController::setCredentialRotatedAt(const QDateTime &value)
{
    setAndNotify(this, &HostAgentController::credentialRotatedAtChanged, m_credentialRotatedAt, value);
}

void HostAgentController::setRunningAgentBuild(const QString &value)
{
    setAndNotify(this, &HostAgentController::runningAgentBuildChanged, m_runningAgentBuild, value);
}

void HostAgentController::setReadinessWarning(const QString &value)
{
    setAndNotify(this, &HostAgentController::readinessWarningChanged, m_readinessWarning, value);
}
