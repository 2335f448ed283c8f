#include "Services/Supervision/AgentProcess.h"

#include "Services/Supervision/AgentOutputLog.h"

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

AgentProcess::AgentProcess(AgentOutputLog &log, AgentProcessTimings timings, QObject *parent)
    : QObject(parent), m_log(log), m_timings(timings), m_process(new QProcess(this))
{
    m_killTimer.setSingleShot(true);
    m_killTimer.setInterval(m_timings.killTimeout);
    connect(&m_killTimer, &QTimer::timeout, this, [this] { signalGroup(SIGKILL); });
    connect(m_process, &QProcess::started, this, [this] {
        m_pid = m_process->processId();
        m_started = true;
        if (m_phase == Phase::starting)
            m_phase = Phase::running;
        emit started();
        // Output that arrived before the start was told is taken in only now, after whoever clears the log
        // for a new agent has done so.
        drain();
    });
    connect(m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart || m_phase == Phase::ended)
            return;
        const bool wasStopped = m_phase == Phase::stopping;
        m_phase = Phase::ended;
        m_killTimer.stop();
        if (wasStopped)
            emit stopped();
        else
            emit failedToStart(m_process->errorString());
    });
    connect(m_process, &QProcess::finished, this, [this](int exitCode) { handleFinished(exitCode); });
    connect(m_process, &QProcess::readyReadStandardOutput, this, &AgentProcess::drain);
    connect(m_process, &QProcess::readyReadStandardError, this, &AgentProcess::drain);
}

AgentProcess::~AgentProcess()
{
    m_process->disconnect(this);
    if (m_process->state() != QProcess::NotRunning)
        signalGroup(SIGKILL);
}

void AgentProcess::start(const QString &program, const QStringList &arguments,
                         const QProcessEnvironment &environment)
{
    m_phase = Phase::starting;
    m_process->setProgram(program);
    m_process->setArguments(arguments);
    m_process->setProcessEnvironment(environment);
    m_process->setInputChannelMode(QProcess::ForwardedInputChannel);
    const pid_t host = ::getpid();
    m_process->setChildProcessModifier([host] {
        // Runs in the child between fork and exec: async-signal-safe calls only. Its own group lets a stop
        // reach everything the agent starts; the death signal ends it should the host crash.
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != host)
            ::_exit(127);
    });
    m_process->start();
    m_pid = m_process->processId();
}

void AgentProcess::stop()
{
    switch (m_phase) {
    case Phase::stopping:
    case Phase::ended:
        return;
    case Phase::notStarted:
        m_phase = Phase::ended;
        // Nothing to wait for, but the caller hears the end on the next turn all the same.
        QMetaObject::invokeMethod(this, &AgentProcess::stopped, Qt::QueuedConnection);
        return;
    case Phase::starting:
    case Phase::running:
        break;
    }
    m_phase = Phase::stopping;
    // An agent that already exited is only waiting for its last output to be taken in.
    if (m_finished)
        return;
    signalGroup(SIGTERM);
    m_killTimer.start();
}

void AgentProcess::stopAndWait()
{
    if (m_phase == Phase::ended || m_phase == Phase::notStarted)
        return;
    if (m_phase != Phase::stopping) {
        m_phase = Phase::stopping;
        if (!m_finished)
            signalGroup(SIGTERM);
    }
    m_killTimer.stop();
    if (m_process->state() != QProcess::NotRunning &&
        !m_process->waitForFinished(static_cast<int>(m_timings.killTimeout.count()))) {
        signalGroup(SIGKILL);
        m_process->waitForFinished(-1);
    }
    if (!m_finished) {
        // Its start failed: there is no output to take in, only the end to tell.
        m_phase = Phase::ended;
        emit stopped();
        return;
    }
    // An agent that already exited may still have output waiting. What it wrote last is bounded by the
    // waiting limit; taken in now, the stop is complete on return, and told like any other.
    while (m_phase != Phase::ended)
        drain();
}

void AgentProcess::signalGroup(int signal) const
{
    if (m_pid <= 1)
        return;
    // The group reaches whatever the agent started; the bare pid is the fallback should it have none yet.
    if (::kill(static_cast<pid_t>(-m_pid), signal) != 0 && m_process->state() != QProcess::NotRunning)
        ::kill(static_cast<pid_t>(m_pid), signal);
}

void AgentProcess::handleFinished(int exitCode)
{
    m_finished = true;
    m_exitStatus = exitCode;
    m_killTimer.stop();
    // Everything the agent wrote goes in before its end is reported; what is still buffered is taken in
    // slices like any other output.
    drain();
}

void AgentProcess::scheduleDrain()
{
    if (m_drainScheduled)
        return;
    m_drainScheduled = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_drainScheduled = false;
            drain();
        },
        Qt::QueuedConnection);
}

void AgentProcess::drain()
{
    if (m_phase == Phase::ended || (!m_started && !m_finished))
        return;
    bool moreWaiting = false;
    for (const QProcess::ProcessChannel channel : {QProcess::StandardOutput, QProcess::StandardError}) {
        m_process->setReadChannel(channel);
        const qint64 excess = m_process->bytesAvailable() - m_timings.maxWaitingBytes;
        if (excess > 0) {
            m_skippedOutputBytes += m_process->skip(excess);
            m_log.skip(channel);
        }
        if (m_readBuffer.size() < m_timings.readSliceBytes)
            m_readBuffer.resize(m_timings.readSliceBytes);
        const qint64 read = m_process->read(m_readBuffer.data(), m_timings.readSliceBytes);
        if (read > 0)
            m_log.take(channel, QByteArrayView(m_readBuffer.constData(), read));
        moreWaiting = moreWaiting || m_process->bytesAvailable() > 0;
    }
    m_log.publish();
    // The rest waits for the next turn of the event loop, so the window stays responsive under a flood.
    if (moreWaiting)
        scheduleDrain();
    else if (m_finished)
        complete();
}

void AgentProcess::complete()
{
    const bool wasStopped = m_phase == Phase::stopping;
    m_phase = Phase::ended;
    m_log.finishStreams();
    // Whatever the agent started and left in its group ends with it. Only now that the agent is gone, and
    // only the group: its pid may belong to someone else by then.
    if (m_pid > 1)
        ::kill(static_cast<pid_t>(-m_pid), SIGKILL);
    if (wasStopped)
        emit stopped();
    else
        emit exited(m_exitStatus);
}
