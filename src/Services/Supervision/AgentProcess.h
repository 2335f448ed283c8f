#pragma once

#include <QObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTimer>

#include <chrono>

class AgentOutputLog;

struct AgentProcessTimings {
    // How long a stop waits after SIGTERM before it kills the agent's process group.
    std::chrono::milliseconds killTimeout{5000};
    // The most output bytes taken in at one turn of the event loop, so a flood never freezes the window.
    qsizetype readSliceBytes = 64 * 1024;
    // The most output of one stream left waiting; an agent that writes faster than it can be taken in loses
    // its oldest waiting output instead of growing the host's memory without end.
    qint64 maxWaitingBytes = 4 * 1024 * 1024;
};

// The life of one agent process, and nothing else: launched in a process group of its own with a parent-death
// signal, its output handed to the log in slices, stopped without blocking (SIGTERM to the group, SIGKILL
// after the kill timeout), and its exit reported once everything it wrote is in the log. Main thread only.
class AgentProcess : public QObject {
    Q_OBJECT

public:
    enum class Phase { notStarted, starting, running, stopping, ended };
    Q_ENUM(Phase)

    AgentProcess(AgentOutputLog &log, AgentProcessTimings timings, QObject *parent = nullptr);
    // Ends a process still running at once (SIGKILL to its group): by then nobody waits for it.
    ~AgentProcess() override;

    // Returns at once; started() or failedToStart() follows.
    void start(const QString &program, const QStringList &arguments, const QProcessEnvironment &environment);
    // Asks the agent to end, without waiting; stopped() follows once it has, at the latest after the kill
    // timeout. Its exit is not reported as exited().
    void stop();
    // For quitting: stops and waits, at most the kill timeout and a little more, so no agent is left.
    void stopAndWait();

    Phase phase() const { return m_phase; }
    qint64 processId() const { return m_pid; }
    // Output skipped because the agent wrote faster than it could be taken in.
    qint64 skippedOutputBytes() const { return m_skippedOutputBytes; }

signals:
    void started();
    void failedToStart(const QString &reason);
    // The agent ended by itself; for an exit by a signal, the status is the signal number.
    void exited(int status);
    void stopped();

private:
    void scheduleDrain();
    // Takes in one slice of each stream; schedules the next slice while output is waiting, and completes a
    // pending exit once none is.
    void drain();
    void handleFinished(int exitCode);
    void complete();
    void signalGroup(int signal) const;

    AgentOutputLog &m_log;
    AgentProcessTimings m_timings;
    QProcess *m_process;
    QTimer m_killTimer;
    Phase m_phase = Phase::notStarted;
    qint64 m_pid = 0;
    bool m_started = false;
    bool m_drainScheduled = false;
    bool m_finished = false;
    int m_exitStatus = 0;
    QByteArray m_readBuffer; // reused by every slice
    qint64 m_skippedOutputBytes = 0;
};
