#include "Services/Supervision/AgentSupervisor.h"

#include "Services/Supervision/AgentExitReport.h"
#include "Services/Wording/PlatformWording.h"
#include "Shared/NotifyingSetter.h"

#include <signal.h>

namespace {

// How many of the agent's last lines an exit report quotes.
constexpr qsizetype exitReportLines = 3;

} // namespace

AgentSupervisor::AgentSupervisor(AgentLocator locator, AgentOutputLog::SecretsSource secrets,
                                 AgentSupervisorTimings timings, QObject *parent)
    : QObject(parent), m_locator(std::move(locator)), m_timings(timings),
      m_log(new AgentOutputLog(std::move(secrets), AgentOutputLog::defaultCapacity,
                               AgentOutputLineSplitter::defaultMaxLineLength, this)),
      m_restartBackoff(timings.restart), m_restartTimer(new QTimer(this))
{
    m_restartTimer->setSingleShot(true);
    connect(m_restartTimer, &QTimer::timeout, this, [this] {
        // Someone started hosting meanwhile: nothing to restart.
        if (isActive()) {
            setRestartPending(false);
            return;
        }
        emit restartDue();
    });
}

AgentSupervisor::~AgentSupervisor()
{
    // The agents are children and end with this object; none of their last signals may reach it.
    for (AgentProcess *agent : findChildren<AgentProcess *>())
        agent->disconnect(this);
}

qint64 AgentSupervisor::skippedOutputBytes() const
{
    return m_skippedOutputBytes + (m_agent ? m_agent->skippedOutputBytes() : 0);
}

qint64 AgentSupervisor::agentProcessId() const
{
    return m_agent ? m_agent->processId() : 0;
}

bool AgentSupervisor::agentRunning() const
{
    return m_agent && m_agent->phase() == AgentProcess::Phase::running;
}

bool AgentSupervisor::agentIsUp() const
{
    const AgentRunState::Kind kind = m_state.kind();
    return m_agent && (kind == AgentRunState::Kind::starting || kind == AgentRunState::Kind::running);
}

bool AgentSupervisor::prepare(bool isRestart)
{
    stop();
    // A start by the user is no crash loop.
    if (!isRestart)
        m_restartBackoff.reset();
    const AgentLocation agent = m_locator ? m_locator() : AgentLocation();
    if (!agent.path) {
        m_restartCannotMend = true;
        setState(AgentRunState::failed(PlatformWording::missingAgent(agent.lookedIn)));
        return false;
    }
    m_pending = PendingLaunch{*agent.path, {}, isRestart};
    if (isRestart)
        setRestartPending(true);
    else
        setState(AgentRunState::starting());
    return true;
}

void AgentSupervisor::proceed(Composer compose)
{
    if (!m_pending)
        return;
    m_pending->compose = std::move(compose);
    launchWhenReady();
}

void AgentSupervisor::launchWhenReady()
{
    if (!m_pending || !m_pending->compose || !m_retiring.isEmpty())
        return;
    const PendingLaunch pending = *std::exchange(m_pending, std::nullopt);
    const std::optional<Launch> launch = pending.compose();
    if (!launch) {
        setRestartPending(false);
        if (!m_state.isFailed())
            setState(AgentRunState::stopped());
        return;
    }
    this->launch(pending, *launch);
}

void AgentSupervisor::launch(const PendingLaunch &pending, const Launch &launch)
{
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
        setRestartPending(false);
        m_restartCannotMend = true;
        setState(AgentRunState::failed(launchFailurePrefix + reason));
        emit failedToStart();
    });
    connect(agent, &AgentProcess::exited, this, [this, agent](int status) { handleExit(agent, status); });
    connect(agent, &AgentProcess::stopped, this, [this, agent] { handleRetired(agent); });
    m_agent = agent;
    m_agentPort = launch.port;
    m_agentUptime.start();
    agent->start(pending.program, launch.arguments, launch.environment);
    QTimer::singleShot(m_timings.confirmationDelay, agent, [this, agent] { confirmRunning(agent); });
}

void AgentSupervisor::confirmRunning(AgentProcess *agent)
{
    // A stale confirmation (stopped, exited or replaced meanwhile) does nothing.
    if (agent != m_agent || agent->phase() != AgentProcess::Phase::running)
        return;
    setRestartPending(false);
    setState(AgentRunState::running());
    emit confirmedRunning();
}

void AgentSupervisor::stop(bool waitForExit)
{
    cancelRestart();
    m_pending.reset();
    if (AgentProcess *agent = std::exchange(m_agent, nullptr))
        retire(agent);
    if (waitForExit) {
        // Quitting: bounded by the kill timeout, so no agent outlives the host.
        for (AgentProcess *agent : QList(m_retiring))
            agent->stopAndWait();
    }
    if (!m_state.isFailed())
        setState(m_retiring.isEmpty() ? AgentRunState::stopped() : AgentRunState::stopping());
}

void AgentSupervisor::retire(AgentProcess *agent)
{
    // Its exit is never reported and never restarts anything; only its end matters, to whoever waits.
    disconnect(agent, &AgentProcess::exited, this, nullptr);
    disconnect(agent, &AgentProcess::failedToStart, this, nullptr);
    m_skippedOutputBytes += agent->skippedOutputBytes();
    m_retiring.append(agent);
    agent->stop();
}

void AgentSupervisor::handleRetired(AgentProcess *agent)
{
    m_retiring.removeOne(agent);
    agent->deleteLater();
    if (!m_retiring.isEmpty())
        return;
    if (m_state.kind() == AgentRunState::Kind::stopping)
        setState(AgentRunState::stopped());
    launchWhenReady();
}

void AgentSupervisor::handleExit(AgentProcess *agent, int status)
{
    // Late reports of an agent that was stopped or replaced are not this agent's business.
    if (agent != m_agent)
        return;
    m_agent = nullptr;
    m_skippedOutputBytes += agent->skippedOutputBytes();
    agent->deleteLater();
    const auto uptime = std::chrono::milliseconds(m_agentUptime.elapsed());

    // For an exit by a signal, the exit code is the signal number.
    if (status == 0 || status == SIGTERM) {
        setState(AgentRunState::stopped());
    } else {
        m_restartCannotMend = AgentExitReport::restartCannotMend(status);
        setState(AgentRunState::failed(AgentExitReport::failure(
            status, m_log->tail(exitReportLines, QStringLiteral(" | ")), m_agentPort)));
    }
    emit exited();

    if (m_restartWanted && m_restartWanted()) {
        m_restartTimer->start(m_restartBackoff.delayAfterRun(uptime));
        setRestartPending(true);
    } else {
        setRestartPending(false);
    }
}

void AgentSupervisor::cancelRestart()
{
    m_restartTimer->stop();
    setRestartPending(false);
}

void AgentSupervisor::setState(const AgentRunState &state)
{
    setAndNotify(this, &AgentSupervisor::stateChanged, m_state, state);
}

void AgentSupervisor::setRestartPending(bool pending)
{
    setAndNotify(this, &AgentSupervisor::restartPendingChanged, m_restartPending, pending);
}
