#include "Sessions/TmuxClient.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

// What one wake-up reads at most, so that one flooding session leaves the event loop to the others.
constexpr int readBudgetBytes = 256 * 1024;
constexpr int readBlockBytes = 64 * 1024;
// How long the output of a client that ended may take to arrive; it normally takes a moment.
constexpr int endOfOutputGraceMs = 2000;

bool makePipe(int fds[2], int nonBlockingEnd)
{
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return false;
    return ::fcntl(fds[nonBlockingEnd], F_SETFL, O_NONBLOCK) == 0;
}

} // namespace

TmuxClient::TmuxClient(QString tmux, QString socket, QProcessEnvironment environment, QObject *parent)
    : QObject(parent), m_tmux(std::move(tmux)), m_socket(std::move(socket))
{
    m_process.setProcessEnvironment(environment);
    m_process.setStandardInputFile(QProcess::nullDevice());
    m_process.setStandardOutputFile(QProcess::nullDevice());
    connect(&m_process, &QProcess::readyReadStandardError, this,
            [this] { m_errors = (m_errors + m_process.readAllStandardError()).right(1024); });
    connect(&m_process, &QProcess::finished, this, &TmuxClient::onProcessEnded);
    m_outputGrace.setSingleShot(true);
    m_outputGrace.setInterval(endOfOutputGraceMs);
    connect(&m_outputGrace, &QTimer::timeout, this, &TmuxClient::end);
    connect(&m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            end();
    });
}

TmuxClient::~TmuxClient()
{
    m_process.disconnect(this);
    closeInput();
    if (m_outputFd >= 0)
        ::close(m_outputFd);
    // Its input is closed: tmux detaches it and it ends by itself, in a moment.
    if (m_process.state() != QProcess::NotRunning && !m_process.waitForFinished(1000))
        m_process.kill();
}

void TmuxClient::start(const QStringList &arguments)
{
    int input[2], output[2];
    if (!makePipe(input, 1)) {
        m_errors = "cannot make a pipe";
        QMetaObject::invokeMethod(
            this, [this] { end(); }, Qt::QueuedConnection);
        return;
    }
    if (!makePipe(output, 0)) {
        ::close(input[0]);
        ::close(input[1]);
        m_errors = "cannot make a pipe";
        QMetaObject::invokeMethod(
            this, [this] { end(); }, Qt::QueuedConnection);
        return;
    }
    const int childInput = input[0], childOutput = output[1];
    m_process.setChildProcessModifier([childInput, childOutput] {
        ::dup2(childInput, STDIN_FILENO);
        ::dup2(childOutput, STDOUT_FILENO);
    });
    m_process.start(m_tmux, QStringList{QStringLiteral("-S"), m_socket, QStringLiteral("-f"),
                                        QStringLiteral("/dev/null"), QStringLiteral("-C")} +
                                arguments);
    ::close(childInput);
    ::close(childOutput);
    m_inputFd = input[1];
    m_outputFd = output[0];
    m_readNotifier = std::make_unique<QSocketNotifier>(m_outputFd, QSocketNotifier::Read);
    connect(m_readNotifier.get(), &QSocketNotifier::activated, this,
            [this] { readAvailable(readBudgetBytes); });
    m_readNotifier->setEnabled(m_reading);
    m_writeNotifier = std::make_unique<QSocketNotifier>(m_inputFd, QSocketNotifier::Write);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier.get(), &QSocketNotifier::activated, this, &TmuxClient::writePending);
}

void TmuxClient::send(const QByteArray &command, Reply reply)
{
    if (m_ended || m_inputFd < 0) {
        if (reply)
            reply(false, {"the session's tmux client has ended"});
        return;
    }
    m_replies.push_back(std::move(reply));
    m_pendingInput.append(command);
    m_pendingInput.append('\n');
    writePending();
}

void TmuxClient::writePending()
{
    while (!m_pendingInput.isEmpty() && m_inputFd >= 0) {
        const ssize_t written = ::write(m_inputFd, m_pendingInput.constData(), m_pendingInput.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0 && errno == EAGAIN)
            break;
        if (written <= 0) {
            // tmux went away; its end is reported by the process.
            m_pendingInput.clear();
            closeInput();
            return;
        }
        m_pendingInput.remove(0, written);
    }
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(!m_pendingInput.isEmpty());
}

void TmuxClient::setReading(bool reading)
{
    m_reading = reading;
    if (m_readNotifier)
        m_readNotifier->setEnabled((reading || m_processEnded) && m_outputFd >= 0);
}

void TmuxClient::detach()
{
    closeInput();
}

void TmuxClient::closeInput()
{
    m_writeNotifier.reset();
    if (m_inputFd >= 0)
        ::close(m_inputFd);
    m_inputFd = -1;
}

void TmuxClient::readAvailable(int budgetBytes)
{
    QList<TmuxControlParser::Event> events;
    QByteArray block(readBlockBytes, Qt::Uninitialized);
    for (int taken = 0; m_outputFd >= 0 && taken < budgetBytes;) {
        const ssize_t got = ::read(m_outputFd, block.data(), block.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            break;
        if (got == 0) {
            m_readNotifier.reset();
            ::close(m_outputFd);
            m_outputFd = -1;
            if (m_processEnded)
                QMetaObject::invokeMethod(this, &TmuxClient::end, Qt::QueuedConnection);
            break;
        }
        m_parser.feed(QByteArray::fromRawData(block.constData(), got), events);
        taken += static_cast<int>(got);
    }
    // Consecutive output goes out as one piece.
    QByteArray gathered;
    for (TmuxControlParser::Event &event : events) {
        if (event.kind == TmuxControlParser::Event::output) {
            gathered.append(event.data);
            continue;
        }
        if (!gathered.isEmpty())
            emit output(std::exchange(gathered, {}));
        if (event.kind == TmuxControlParser::Event::reply && event.fromCommandLine) {
            emit commandLineReply(event.ok, event.lines);
        } else if (event.kind == TmuxControlParser::Event::reply && !m_replies.empty()) {
            Reply reply = std::move(m_replies.front());
            m_replies.pop_front();
            if (reply)
                reply(event.ok, event.lines);
        }
    }
    if (!gathered.isEmpty())
        emit output(gathered);
}

void TmuxClient::onProcessEnded()
{
    m_processEnded = true;
    if (m_outputFd < 0)
        return end();
    // The tmux server writes the client's output itself and may still be at it: what is left is read, paused
    // or not, up to the end of the pipe, which comes when the server lets go of it.
    setReading(true);
    m_outputGrace.start();
}

void TmuxClient::end()
{
    if (m_ended)
        return;
    m_outputGrace.stop();
    if (m_outputFd >= 0) {
        ::close(m_outputFd);
        m_outputFd = -1;
    }
    m_readNotifier.reset();
    m_ended = true;
    closeInput();
    for (Reply &reply : m_replies) {
        if (reply)
            reply(false, {"the session's tmux client has ended"});
    }
    m_replies.clear();
    QString problem;
    if (m_process.error() == QProcess::FailedToStart)
        problem = QStringLiteral("cannot run %1: %2").arg(m_tmux, m_process.errorString());
    else if (m_process.exitStatus() != QProcess::NormalExit || m_process.exitCode() != 0)
        problem = QString::fromUtf8(m_errors).trimmed();
    emit finished(problem);
}
