#include "Services/HostAgentController.h"

#include "Services/AgentLaunchPlan.h"
#include "Services/HostPreferences.h"
#include "Services/HostSecretRedactor.h"

#include <QCoreApplication>
#include <QDir>
#include <QTimer>

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

const QString tunnelDisabled = QStringLiteral("disabled");
const QString tunnelStarting = QStringLiteral("starting");

// Signals the agent's process group; falls back to the agent alone should it have no group of its own.
void signalAgent(qint64 pid, int signal)
{
    if (pid <= 1)
        return;
    if (::kill(static_cast<pid_t>(-pid), signal) != 0)
        ::kill(static_cast<pid_t>(pid), signal);
}

// Ends whatever the agent started and left in its group. Only after the agent is gone: never falls back to
// the bare pid, which may belong to someone else by then.
void killLeftovers(qint64 pid)
{
    if (pid > 1)
        ::kill(static_cast<pid_t>(-pid), SIGKILL);
}

} // namespace

HostAgentController::HostAgentController(UserDefaults &defaults, Keyring &keyring, AgentLocator locator,
                                         FolderChooser &chooser, HostAgentTimings timings, QObject *parent)
    : QObject(parent), m_timings(timings), m_locator(std::move(locator)),
      m_credentialStore(defaults, keyring), m_permissionGrantStore(defaults, chooser),
      m_tunnelPoller(new TunnelStatusPoller(timings.tunnelPoll, this)), m_setupLinkRefresh(new QTimer(this))
{
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
    m_setupLinkRefresh->setInterval(m_timings.setupLinkRefreshInterval);
    connect(m_setupLinkRefresh, &QTimer::timeout, this, [this] {
        // The refresh ends by itself once its agent or its preferences are gone.
        if (!agentIsRunning() || !m_refreshPreferences) {
            m_setupLinkRefresh->stop();
            return;
        }
        recomputeSetupLink(m_refreshPreferences);
    });
}

HostAgentController::~HostAgentController()
{
    // The processes are children and end with this object; none of their last signals may reach it.
    for (QProcess *process : findChildren<QProcess *>())
        process->disconnect(this);
}

AgentLocator HostAgentController::standardLocator()
{
    return [] {
        return AgentLaunchPlan::locateAgent(QCoreApplication::applicationDirPath(), FileProbe::system());
    };
}

qint64 HostAgentController::agentProcessId() const
{
    return m_process ? m_process->processId() : 0;
}

void HostAgentController::start(HostPreferences *preferences)
{
    if (!preferences)
        return;
    stop(true);
    setReadinessWarning(m_credentialStore.waitingForUnlock() ? waitingForKeyringWarning : QString());

    const std::optional<QString> agent = m_locator ? m_locator() : std::nullopt;
    if (!agent) {
        setState(AgentRunState::failed(missingAgentMessage));
        return;
    }

    // The keyring may answer only after its unlock prompt; the launch goes on when it does, unless a stop or
    // another start came first.
    const quint64 launch = ++m_launchNumber;
    m_launchAwaitsCredentials = true;
    setState(AgentRunState::starting());
    m_credentialStore.request(preferences->relayVersion(), this,
                              [this, launch, preferences = QPointer(preferences),
                               agent = *agent](const HostCredentials &credentials) {
                                  if (launch != m_launchNumber || !m_launchAwaitsCredentials || !preferences)
                                      return;
                                  m_launchAwaitsCredentials = false;
                                  launchWithCredentials(preferences, agent, credentials);
                              });
}

void HostAgentController::launchWithCredentials(HostPreferences *preferences, const QString &agent,
                                                const HostCredentials &credentials)
{
    // Read now, not at the start: the ngrok token, too, arrives from the keyring after a while.
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
        QDir().mkpath(AgentLaunchPlan::relayCodecStateFolder(home));
    }

    auto *process = new QProcess(this);
    process->setProgram(agent);
    process->setArguments(AgentLaunchPlan::arguments(settings, credentials, codecStatePath));
    process->setProcessEnvironment(AgentLaunchPlan::environment(
        settings, credentials, QProcessEnvironment::systemEnvironment(), home, m_fileProbe));
    process->setInputChannelMode(QProcess::ForwardedInputChannel);
    const pid_t host = ::getpid();
    process->setChildProcessModifier([host] {
        // Runs in the child between fork and exec: async-signal-safe calls only. Its own group lets a stop
        // reach everything the agent starts; the death signal ends it should the host crash.
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != host)
            ::_exit(127);
    });

    m_permissionGrantStore.startAccess(settings.workspaces);
    process->start();
    if (!process->waitForStarted(-1)) {
        m_permissionGrantStore.stopAccess();
        setState(AgentRunState::failed(launchFailurePrefix + process->errorString()));
        delete process;
        return;
    }
    const qint64 pid = process->processId();
    connect(process, &QProcess::finished, this, [this, process, pid](int exitCode, QProcess::ExitStatus) {
        handleTermination(process, pid, exitCode);
    });

    m_process = process;
    setHostToken(credentials.hostToken);
    setRelaySession(credentials.relaySessionId);
    setHostId(credentials.hostId);
    setCredentialRotatedAt(credentials.rotatedAt);
    m_lastPreferences = preferences;
    setRunningAgentBuild(expectedAgentBuild());
    setTunnelState(settings.wantsTunnel() ? tunnelStarting : tunnelDisabled);
    setTunnelPublicURL({});
    setTunnelLastError({});
    if (!m_lastLogLines.isEmpty()) {
        m_lastLogLines.clear();
        emit lastLogLinesChanged();
    }
    setState(AgentRunState::starting());
    attachLogStreams();

    QTimer::singleShot(m_timings.confirmationDelay, this,
                       [this, confirmed = QPointer(preferences)] { confirmRunning(confirmed); });
}

void HostAgentController::confirmRunning(const QPointer<HostPreferences> &preferences)
{
    // A stale confirmation (stopped, failed or replaced meanwhile) finds no starting agent and does nothing.
    if (m_state != AgentRunState::starting() || !m_process || m_process->state() != QProcess::Running)
        return;
    setState(AgentRunState::running());
    if (!preferences)
        return;
    recomputeSetupLink(preferences);
    startSetupLinkRefresh(*preferences);
    startTunnelPollingIfNeeded(*preferences);
}

void HostAgentController::stop(bool waitForExit)
{
    m_launchAwaitsCredentials = false;
    cancelTunnelPolling();
    cancelSetupLinkRefresh();
    clearLogStreams(m_process);
    m_permissionGrantStore.stopAccess();
    // An exit still waiting for its output to be taken in is superseded by the stop.
    m_pendingExit.reset();
    if (QProcess *process = std::exchange(m_process, nullptr))
        retire(process, waitForExit);
    if (!m_state.isFailed())
        setState(AgentRunState::stopped());
    setSetupLink({});
    setResolvedLANAddress({});
    setRunningAgentBuild({});
    setTunnelState(tunnelDisabled);
    setTunnelPublicURL({});
    setTunnelLastError({});
}

void HostAgentController::retire(QProcess *process, bool waitForExit)
{
    // Detached first, so this exit is never reported and never restarts anything.
    process->disconnect(this);
    if (process->state() == QProcess::NotRunning) {
        process->deleteLater();
        return;
    }
    const qint64 pid = process->processId();
    signalAgent(pid, SIGTERM);
    if (waitForExit) {
        const auto timeout = static_cast<int>(m_timings.killTimeout.count());
        if (!process->waitForFinished(timeout)) {
            signalAgent(pid, SIGKILL);
            process->waitForFinished(-1);
        }
        killLeftovers(pid);
        process->deleteLater();
        return;
    }
    // Not waited for, but not forgotten: the same deadline applies, and the object goes with the process.
    connect(process, &QProcess::finished, process, [process, pid] {
        killLeftovers(pid);
        process->deleteLater();
    });
    QTimer::singleShot(m_timings.killTimeout, process, [pid] { signalAgent(pid, SIGKILL); });
}

void HostAgentController::handleTermination(QProcess *process, qint64 pid, int exitCode)
{
    // Late reports of an agent that was stopped or replaced are not this agent's business.
    if (!m_process || process != m_process)
        return;
    // Everything the agent wrote goes in before the message quotes its last lines. Output still buffered is
    // taken in slices like any other, and the report completes once it is all in.
    m_pendingExit = PendingExit{pid, exitCode};
    drainLog();
}

void HostAgentController::completeExitReport()
{
    const PendingExit exit = *std::exchange(m_pendingExit, std::nullopt);
    QProcess *process = std::exchange(m_process, nullptr);
    clearLogStreams(process);

    // For an exit by a signal, the exit code is the signal number.
    if (exit.status == 0 || exit.status == SIGTERM) {
        setState(AgentRunState::stopped());
    } else {
        const QStringList tail = m_lastLogLines.mid(std::max<qsizetype>(0, m_lastLogLines.size() - 3));
        setState(AgentRunState::failed(QStringLiteral("Agent exited (status %1). ").arg(exit.status) +
                                       tail.join(QStringLiteral(" | "))));
    }
    setSetupLink({});
    cancelSetupLinkRefresh();
    killLeftovers(exit.pid);
    process->disconnect(this);
    process->deleteLater();

    if (m_lastPreferences && m_lastPreferences->keepRelayOnline())
        scheduleRestart(m_lastPreferences);
}

void HostAgentController::scheduleRestart(const QPointer<HostPreferences> &preferences)
{
    QTimer::singleShot(m_timings.restartDelay, this, [this, preferences] {
        // Someone started hosting meanwhile: that agent stands.
        if (!m_process && preferences)
            start(preferences);
    });
}

void HostAgentController::attachLogStreams()
{
    m_logAttached = true;
    connect(m_process, &QProcess::readyReadStandardOutput, this, [this] { drainLog(); });
    connect(m_process, &QProcess::readyReadStandardError, this, [this] { drainLog(); });
}

void HostAgentController::clearLogStreams(QProcess *process)
{
    if (process) {
        disconnect(process, &QProcess::readyReadStandardOutput, this, nullptr);
        disconnect(process, &QProcess::readyReadStandardError, this, nullptr);
    }
    // What was read already is kept; output still waiting in the pipes is discarded with them.
    QStringList lines;
    m_stdout.splitter.finish(lines);
    m_stderr.splitter.finish(lines);
    appendLog(lines);
    m_logAttached = false;
}

void HostAgentController::scheduleLogDrain()
{
    if (m_drainScheduled)
        return;
    m_drainScheduled = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_drainScheduled = false;
            drainLog();
        },
        Qt::QueuedConnection);
}

void HostAgentController::drainLog()
{
    if (!m_process || !m_logAttached)
        return;
    QStringList lines;
    bool moreWaiting = false;
    for (OutputStream *stream : {&m_stdout, &m_stderr}) {
        m_process->setReadChannel(stream->channel);
        const qint64 excess = m_process->bytesAvailable() - m_timings.maxWaitingBytes;
        if (excess > 0) {
            m_skippedOutputBytes += m_process->skip(excess);
            stream->splitter.resynchronize();
        }
        if (m_readBuffer.size() < m_timings.readSliceBytes)
            m_readBuffer.resize(m_timings.readSliceBytes);
        const qint64 read = m_process->read(m_readBuffer.data(), m_timings.readSliceBytes);
        if (read > 0)
            stream->splitter.feed(QByteArrayView(m_readBuffer.constData(), read), lines);
        moreWaiting = moreWaiting || m_process->bytesAvailable() > 0;
    }
    appendLog(lines);
    // The rest waits for the next turn of the event loop, so the window stays responsive under a flood.
    if (moreWaiting)
        scheduleLogDrain();
    else if (m_pendingExit)
        completeExitReport();
}

void HostAgentController::appendLog(const QStringList &lines)
{
    if (lines.isEmpty())
        return;
    // Lines that this very batch pushes out of the buffer are never shown to anyone, so they are not masked.
    const qsizetype kept = std::min<qsizetype>(lines.size(), logBufferLimit);
    // Gathered once per batch: a batch is appended in one go on the main thread, so no rotation can happen
    // between two of its lines, and a new secret is still masked from the next line on.
    const QStringList secrets = redactionSecrets();
    for (qsizetype i = lines.size() - kept; i < lines.size(); ++i)
        m_lastLogLines.append(HostSecretRedactor::redact(lines.at(i), secrets));
    if (m_lastLogLines.size() > logBufferLimit)
        m_lastLogLines.remove(0, m_lastLogLines.size() - logBufferLimit);
    emit lastLogLinesChanged();
}

QStringList HostAgentController::redactionSecrets()
{
    QStringList secrets{m_hostToken, m_relaySession, m_hostId};
    if (m_lastPreferences) {
        // The store's copy in memory: this never reaches the keyring.
        const HostCredentials credentials = m_credentialStore.cached().value_or(HostCredentials());
        const QString ngrokAuthtoken = m_lastPreferences->ngrokAuthtoken();
        secrets << credentials.relayToken << credentials.pairingNonce << ngrokAuthtoken;
        // The agent and ngrok get the token trimmed, and that form is the one their output can show.
        if (ngrokAuthtoken.trimmed() != ngrokAuthtoken)
            secrets << ngrokAuthtoken.trimmed();
    }
    return secrets;
}

// Filled in by the tunnel poll and the setup link: until then a running agent has no link and no tunnel
// status, which is what a LAN start without either looks like.

void HostAgentController::setState(const AgentRunState &value)
{
    if (m_state == value)
        return;
    m_state = value;
    emit stateChanged();
}

void HostAgentController::setSetupLink(const QUrl &value)
{
    if (m_setupLink == value)
        return;
    m_setupLink = value;
    emit setupLinkChanged();
}

void HostAgentController::setResolvedLANAddress(const QString &value)
{
    if (m_resolvedLANAddress == value)
        return;
    m_resolvedLANAddress = value;
    emit resolvedLANAddressChanged();
}

void HostAgentController::setHostToken(const QString &value)
{
    if (m_hostToken == value)
        return;
    m_hostToken = value;
    emit hostTokenChanged();
}

void HostAgentController::setRelaySession(const QString &value)
{
    if (m_relaySession == value)
        return;
    m_relaySession = value;
    emit relaySessionChanged();
}

void HostAgentController::setHostId(const QString &value)
{
    if (m_hostId == value)
        return;
    m_hostId = value;
    emit hostIdChanged();
}

void HostAgentController::setCredentialRotatedAt(const QDateTime &value)
{
    if (m_credentialRotatedAt == value)
        return;
    m_credentialRotatedAt = value;
    emit credentialRotatedAtChanged();
}

void HostAgentController::setRunningAgentBuild(const QString &value)
{
    if (m_runningAgentBuild == value)
        return;
    m_runningAgentBuild = value;
    emit runningAgentBuildChanged();
}

void HostAgentController::setReadinessWarning(const QString &value)
{
    if (m_readinessWarning == value)
        return;
    m_readinessWarning = value;
    emit readinessWarningChanged();
}

void HostAgentController::setTunnelState(const QString &value)
{
    if (m_tunnelState == value)
        return;
    m_tunnelState = value;
    emit tunnelStateChanged();
}

void HostAgentController::setTunnelPublicURL(const QString &value)
{
    if (m_tunnelPublicURL == value)
        return;
    m_tunnelPublicURL = value;
    emit tunnelPublicURLChanged();
}

void HostAgentController::setTunnelLastError(const QString &value)
{
    if (m_tunnelLastError == value)
        return;
    m_tunnelLastError = value;
    emit tunnelLastErrorChanged();
}
