#include "Sessions/CodingSession.h"

#include "AgentLog.h"
#include "Sessions/SessionLimits.h"
#include "Sessions/TmuxClient.h"

#include <QFile>

namespace {

const QString statusFileName = QStringLiteral("/status");
// A client that tmux keeps dropping while its session goes on is not taken back forever.
constexpr int maxReattachments = 3;

QJsonObject exited(std::optional<int> status)
{
    return QJsonObject{{QStringLiteral("reason"), QStringLiteral("exited")},
                       {QStringLiteral("exitCode"), status ? QJsonValue(*status) : QJsonValue::Null}};
}

} // namespace

CodingSession::CodingSession(SessionInfo info, TmuxServer server, QString folder, QObject *parent)
    : QObject(parent), m_info(std::move(info)), m_server(std::move(server)), m_folder(std::move(folder)),
      m_history(SessionLimits::historyBytes), m_spool(m_folder, SessionLimits::historyBytes / 2),
      m_exitMarker(m_info.exitMarker.toLatin1())
{}

CodingSession::~CodingSession()
{
    release();
}

void CodingSession::open(const SessionProgram &program, int columns, int rows)
{
    m_state = State::starting;
    startClient(m_server.newSessionArguments(m_info.id, m_info.folder, program, columns, rows,
                                             m_folder + statusFileName, m_info.exitMarker));
}

void CodingSession::recover()
{
    if (m_state == State::starting) {
        const OutputSpool::Kept kept = m_spool.load(SessionLimits::historyBytes);
        m_history.restore(kept.start, kept.bytes);
    }
    m_state = State::recovering;
    m_attachReplies.clear();
    m_commandLineAnswers = 0;
    startClient(m_server.attachArguments(m_info.id));
}

void CodingSession::startClient(const QStringList &arguments)
{
    delete m_client;
    m_client = new TmuxClient(m_server.tmux, m_server.socket, m_server.environment, this);
    connect(m_client, &TmuxClient::output, this, &CodingSession::onOutput);
    connect(m_client, &TmuxClient::commandLineReply, this, &CodingSession::onCommandLineReply);
    connect(m_client, &TmuxClient::finished, this, &CodingSession::onClientFinished);
    m_reading = true;
    m_client->start(arguments);
}

void CodingSession::onCommandLineReply(bool ok, const QList<QByteArray> &lines)
{
    if (m_state == State::starting) {
        // The server's two options come first; the answer of new-session is the one that counts.
        if (!ok) {
            m_state = State::ended;
            emit started(QString::fromUtf8(lines.join(' ')));
            m_client->detach();
        } else if (++m_commandLineAnswers == 3) {
            m_state = State::running;
            emit started(QString());
        }
        return;
    }
    if (m_state != State::recovering)
        return;
    m_attachReplies.append(ok ? lines : QList<QByteArray>());
    if (m_attachReplies.size() < 3)
        return;
    append(repaintFromCapture(m_attachReplies.at(1), m_attachReplies.at(2).value(0)));
    m_attachReplies.clear();
    m_state = State::running;
}

void CodingSession::onOutput(const QByteArray &bytes)
{
    // A character cut between two pieces waits for the rest, so that the stream's offsets always fall between
    // characters.
    const QByteArray passed = m_exitMarker.filter(bytes);
    QByteArray whole = m_partialCharacter.isEmpty() ? passed : m_partialCharacter + passed;
    const qsizetype complete = completeUtf8Prefix(whole);
    m_partialCharacter = whole.mid(complete);
    whole.truncate(complete);
    append(whole);
    if (m_exitMarker.status() && !m_exitStatus) {
        // Everything the program wrote is here: nothing more will complete a character.
        m_exitStatus = m_exitMarker.status();
        append(std::exchange(m_partialCharacter, {}));
        kill();
    }
}

void CodingSession::append(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return;
    // Kept before it is sent: a tablet never holds output that an agent started again would not have.
    const QString problem = m_spool.append(m_history.end(), bytes);
    if (!problem.isEmpty())
        AgentLog::error(
            QStringLiteral("session %1: cannot keep its output on disk (%2); an agent started again "
                           "will not have it")
                .arg(m_info.id, problem));
    m_history.append(bytes);
    pump();
}

void CodingSession::pump()
{
    for (auto viewer = m_viewers.begin(); viewer != m_viewers.end(); ++viewer) {
        while (viewer->sent < m_history.end() &&
               viewer->sent - viewer->acknowledged < SessionLimits::unacknowledgedBytes &&
               viewer.key()->canTakeOutput()) {
            const QByteArray bytes =
                m_history.read(viewer->sent, std::min<qint64>(SessionLimits::outputMessageBytes,
                                                              SessionLimits::unacknowledgedBytes -
                                                                  (viewer->sent - viewer->acknowledged)));
            if (bytes.isEmpty())
                break;
            const qint64 offset = viewer->sent;
            viewer->sent += bytes.size();
            viewer.key()->sessionOutput(m_info.id, offset, bytes);
        }
    }
    bool reading = true;
    for (const Viewer &viewer : std::as_const(m_viewers))
        reading = reading && m_history.end() - viewer.acknowledged < SessionLimits::unacknowledgedBytes;
    if (reading != m_reading && m_client) {
        m_reading = reading;
        m_client->setReading(reading);
    }
}

CodingSession::Attachment CodingSession::attach(SessionViewer *viewer, qint64 from)
{
    Attachment attachment;
    attachment.from = std::clamp(from, m_history.start(), m_history.end());
    attachment.dropped = std::max<qint64>(m_history.start() - from, 0);
    m_viewers.insert(viewer, Viewer{attachment.from, attachment.from});
    emit viewersChanged();
    // The answer to the attachment goes out before the output.
    QMetaObject::invokeMethod(this, &CodingSession::pump, Qt::QueuedConnection);
    return attachment;
}

void CodingSession::detach(SessionViewer *viewer)
{
    if (m_viewers.remove(viewer)) {
        emit viewersChanged();
        pump();
    }
}

void CodingSession::acknowledge(SessionViewer *viewer, qint64 offset)
{
    const auto found = m_viewers.find(viewer);
    if (found == m_viewers.end())
        return;
    found->acknowledged = std::clamp(offset, found->acknowledged, found->sent);
    pump();
}

std::optional<ServiceError> CodingSession::input(const QByteArray &bytes)
{
    if (m_state != State::running || !m_client)
        return ServiceError{QStringLiteral("session_not_running"),
                            QStringLiteral("the session is not running")};
    if (m_client->pendingInput() > SessionLimits::pendingInputBytes)
        return ServiceError{QStringLiteral("busy"), QStringLiteral("the program is not taking keystrokes")};
    for (const QByteArray &command : inputCommands(bytes, "ferrowyn-input-" + m_info.id.toLatin1()))
        m_client->send(command);
    return std::nullopt;
}

void CodingSession::resize(int columns, int rows)
{
    if (m_client)
        m_client->send("refresh-client -C " + QByteArray::number(columns) + 'x' + QByteArray::number(rows));
}

void CodingSession::end(const QString &reason)
{
    if (m_state == State::ended)
        return;
    m_endReason = reason;
    kill();
}

void CodingSession::kill()
{
    // Through the session's own client when it has one; otherwise (or if that fails) on its own. The server
    // is the session's alone and goes with it.
    const QStringList kill{QStringLiteral("kill-server")};
    if (m_client)
        m_client->send("kill-session", [this, kill](bool ok, const QList<QByteArray> &) {
            if (!ok)
                m_server.run(kill, this, [](int, const QByteArray &) {});
        });
    else
        m_server.run(kill, this, [this](int, const QByteArray &) {
            finish(outcome().value_or(endedBecause(m_endReason)));
        });
}

void CodingSession::release()
{
    if (!m_client)
        return;
    m_client->disconnect(this);
    m_client->detach();
    m_client->deleteLater();
    m_client = nullptr;
}

void CodingSession::onClientFinished(const QString &problem)
{
    if (m_client)
        m_client->deleteLater();
    m_client = nullptr;
    if (m_state == State::ended)
        return;
    if (m_state == State::starting) {
        m_state = State::ended;
        emit started(problem.isEmpty() ? QStringLiteral("tmux could not start the session") : problem);
        return;
    }
    if (const auto how = outcome())
        return finish(*how);
    // tmux lets go of a client that stays far behind for minutes; the session may still be there.
    m_server.run({QStringLiteral("has-session"), QStringLiteral("-t"), QLatin1Char('=') + m_info.id}, this,
                 [this](int status, const QByteArray &) {
                     if (status == 0 && m_state != State::ended && ++m_reattachments <= maxReattachments)
                         recover();
                     else
                         finish(endedBecause(QStringLiteral("ended")));
                 });
}

QJsonObject CodingSession::endedBecause(const QString &reason)
{
    return QJsonObject{{QStringLiteral("reason"), reason}, {QStringLiteral("exitCode"), QJsonValue::Null}};
}

std::optional<QJsonObject> CodingSession::exitIn(const QString &folder)
{
    QFile file(folder + statusFileName);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    bool ok = false;
    const int status = file.readAll().trimmed().toInt(&ok);
    return exited(ok ? std::optional<int>(status) : std::nullopt);
}

std::optional<QJsonObject> CodingSession::outcome() const
{
    // The program's own end first: its status as the terminal showed it, or else as its shell kept it.
    if (m_exitStatus)
        return exited(m_exitStatus);
    if (auto kept = exitIn(m_folder))
        return kept;
    if (!m_endReason.isEmpty())
        return endedBecause(m_endReason);
    return std::nullopt;
}

void CodingSession::finish(const QJsonObject &how)
{
    if (m_state == State::ended)
        return;
    m_state = State::ended;
    // The program's last output reaches every tablet before its end does, however far behind the tablet is:
    // no more will come, and it is in the history already.
    for (auto viewer = m_viewers.begin(); viewer != m_viewers.end(); ++viewer) {
        while (viewer->sent < m_history.end()) {
            const QByteArray bytes =
                m_history.read(std::max(viewer->sent, m_history.start()), SessionLimits::outputMessageBytes);
            const qint64 offset = std::max(viewer->sent, m_history.start());
            viewer->sent = offset + bytes.size();
            viewer.key()->sessionOutput(m_info.id, offset, bytes);
        }
    }
    const QList<SessionViewer *> viewers = m_viewers.keys();
    m_viewers.clear();
    for (SessionViewer *viewer : viewers)
        viewer->sessionEnded(m_info.id, how);
    emit ended(how);
}

QJsonObject CodingSession::describe() const
{
    return QJsonObject{{QStringLiteral("id"), m_info.id},
                       {QStringLiteral("folder"), m_info.folder},
                       {QStringLiteral("program"), m_info.program},
                       {QStringLiteral("deviceName"), m_info.deviceName},
                       {QStringLiteral("openedAt"), m_info.openedAt.toUTC().toString(Qt::ISODate)},
                       {QStringLiteral("tablets"), viewerCount()},
                       {QStringLiteral("outputBytes"), m_history.end()}};
}
