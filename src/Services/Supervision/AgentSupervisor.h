#pragma once

#include "Services/Supervision/AgentOutputLog.h"
#include "Services/Supervision/AgentProcess.h"
#include "Services/Supervision/AgentRestartBackoff.h"
#include "Services/Supervision/AgentRunState.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <functional>
#include <optional>

// Where the agent executable is, or where it was looked for in vain.
struct AgentLocation {
    AgentLocation(std::optional<QString> found = std::nullopt, QStringList lookedIn = {})
        : path(std::move(found)), lookedIn(std::move(lookedIn))
    {}
    std::optional<QString> path;
    QStringList lookedIn;
};
using AgentLocator = std::function<AgentLocation()>;

struct AgentSupervisorTimings {
    // How long a fresh agent must stay up before it counts as running.
    std::chrono::milliseconds confirmationDelay{600};
    // The pauses before an agent that exited is started again.
    AgentRestartTimings restart;
    // The stop's kill timeout and how output is taken in.
    AgentProcessTimings process;
};

// Runs one agent at a time: launches it once the agent before it is gone, tells when it counts as running,
// reports its exit with its last lines, starts it again after a pause when that is wanted, and stops it.
// What the agent is launched with is not its business: whoever starts it composes the launch, at the moment
// the launch goes ahead. Main thread only.
class AgentSupervisor : public QObject {
    Q_OBJECT

public:
    inline static const QString launchFailurePrefix = QStringLiteral("Failed to launch agent: ");

    struct Launch {
        QStringList arguments;
        QProcessEnvironment environment;
        int port = 0; // the one it listens on, for the user's sake; 0 when unknown
    };
    // Asked once the agent before is gone and the launch goes ahead; none when there is nothing to launch
    // any more.
    using Composer = std::function<std::optional<Launch>()>;

    AgentSupervisor(AgentLocator locator, AgentOutputLog::SecretsSource secrets,
                    AgentSupervisorTimings timings, QObject *parent = nullptr);
    ~AgentSupervisor() override;

    AgentRunState state() const { return m_state; }
    // An agent that exited is about to be started again (or is starting again); a stop cancels that.
    bool restartPending() const { return m_restartPending; }
    AgentOutputLog *log() const { return m_log; }
    // Output skipped since construction because the agent wrote faster than it could be taken in.
    qint64 skippedOutputBytes() const;
    // The running agent's process id, 0 when none runs.
    qint64 agentProcessId() const;
    // The agent's process has started and not ended.
    bool agentRunning() const;
    // An agent is there and starting or running: it holds what it was launched with.
    bool agentIsUp() const;
    // An agent is there, or a launch is on its way.
    bool isActive() const { return m_agent || m_pending; }
    bool launchPending() const { return m_pending.has_value(); }
    // A launch was prepared and waits for its composer.
    bool launchAwaitsComposer() const { return m_pending && !m_pending->compose; }
    // The last failure stays whatever the number of new starts, until the user changes something: no agent,
    // one that cannot start, a port in use, a launch the agent refuses.
    bool restartCannotMend() const { return m_state.isFailed() && m_restartCannotMend; }

    // Stops any agent and prepares the next launch: a start (the restart pauses begin anew) shows as
    // starting, a restart keeps the last state and is pending. False, with the state failed, when there is
    // no agent to launch.
    bool prepare(bool isRestart);
    // The prepared launch goes ahead once the agent before it is gone. Ignored when none is prepared.
    void proceed(Composer compose);
    // Ends the agent and cancels a pending launch or restart. Without waitForExit it returns at once and the
    // state shows the stop until the agent is gone; with it (for quitting), no agent process runs when it
    // returns: one that ignores SIGTERM is killed after the kill timeout.
    void stop(bool waitForExit = false);
    // Asked at every exit of the agent: whether it is to be started again after a pause.
    void setRestartWanted(std::function<bool()> wanted) { m_restartWanted = std::move(wanted); }
    void cancelRestart();

signals:
    void stateChanged();
    void restartPendingChanged();
    // The agent has lasted the confirmation delay.
    void confirmedRunning();
    // The agent ended by itself, or never started; the state says how.
    void exited();
    void failedToStart();
    // The restart pause is over and nothing was started meanwhile: prepare() and proceed() are due.
    void restartDue();

private:
    struct PendingLaunch {
        QString program;
        Composer compose;
        bool isRestart = false;
    };

    void launchWhenReady();
    void launch(const PendingLaunch &pending, const Launch &launch);
    void confirmRunning(AgentProcess *agent);
    void handleExit(AgentProcess *agent, int status);
    void handleRetired(AgentProcess *agent);
    void retire(AgentProcess *agent);

    void setState(const AgentRunState &state);
    void setRestartPending(bool pending);

    AgentLocator m_locator;
    AgentSupervisorTimings m_timings;
    AgentRunState m_state;
    bool m_restartCannotMend = false;
    int m_agentPort = 0;
    bool m_restartPending = false;
    AgentOutputLog *m_log;
    AgentProcess *m_agent = nullptr;
    // Agents being stopped; a new one waits for them.
    QList<AgentProcess *> m_retiring;
    std::optional<PendingLaunch> m_pending;
    QElapsedTimer m_agentUptime;
    AgentRestartBackoff m_restartBackoff;
    QTimer *m_restartTimer;
    std::function<bool()> m_restartWanted;
    qint64 m_skippedOutputBytes = 0; // of the agents that ended
};
