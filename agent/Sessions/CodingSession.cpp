#include "Sessions/CodingSession.h"

#include "AgentLog.h"
#include "Sessions/HolderConnection.h"
#include "Sessions/OutputSpool.h"
#include "Sessions/SessionLimits.h"
#include "Shared/SessionFiles.h"
#include "Shared/SessionHolderProtocol.h"

#include <QFile>
#include <QProcess>

namespace {

QJsonObject exited(int status)
{
    return QJsonObject{{QStringLiteral("reason"), QStringLiteral("exited")},
                       {QStringLiteral("exitCode"), status}};
}

// The holder's problem that ended the session, told with its end.
QJsonObject withProblem(QJsonObject how, const QString &problem)
{
    if (!problem.isEmpty())
        how.insert(QStringLiteral("problem"), problem);
    return how;
}

// A program ended by signal N: 128+N, as a shell says it.
int exitCodeOf(bool bySignal, int value)
{
    return bySignal ? 128 + value : value;
}

QString endRecordIn(const QString &folder)
{
    const std::string_view name = SessionHolderProtocol::endRecordName;
    return folder + QLatin1Char('/') + QLatin1String(name.data(), qsizetype(name.size()));
}

} // namespace

CodingSession::CodingSession(SessionInfo info, QString holder, QProcessEnvironment environment,
                             QString folder, QObject *parent)
    : QObject(parent), m_info(std::move(info)), m_holder(std::move(holder)),
      m_environment(std::move(environment)), m_folder(std::move(folder)),
      m_history(SessionLimits::historyBytes)
{}

CodingSession::~CodingSession()
{
    release();
}

void CodingSession::open(const SessionProgram &program, int columns, int rows)
{
    m_state = State::starting;
    // The holder's starting process returns once the program runs and the socket listens; the holder itself
    // goes on in a session of its own, nobody's child, so that the agent's end is not the session's.
    m_starter = new QProcess(this);
    m_starter->setProcessEnvironment(m_environment);
    m_starter->setStandardInputFile(QProcess::nullDevice());
    m_starter->setStandardOutputFile(QProcess::nullDevice());
    connect(m_starter, &QProcess::finished, this,
            [this, columns, rows](int status, QProcess::ExitStatus how) {
                const QString problem = QString::fromUtf8(m_starter->readAllStandardError()).trimmed();
                m_starter->deleteLater();
                if (how != QProcess::NormalExit || status != 0) {
                    m_state = State::ended;
                    emit started(problem.isEmpty() ? QStringLiteral("the session's holder could not start")
                                                   : problem);
                    return;
                }
                connectHolder(0, columns, rows);
            });
    connect(m_starter, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        m_state = State::ended;
        emit started(QStringLiteral("cannot run %1: %2").arg(m_holder, m_starter->errorString()));
        m_starter->deleteLater();
    });
    m_starter->start(m_holder,
                     QStringList{QStringLiteral("--folder"), m_folder, QStringLiteral("--cwd"), m_info.folder,
                                 QStringLiteral("--size"), QStringLiteral("%1x%2").arg(columns).arg(rows),
                                 QStringLiteral("--"), program.path} +
                         program.arguments);
}

void CodingSession::recover()
{
    // The output this agent's predecessor sent on is on disk; the holder sends exactly what follows it.
    const OutputSpool::Kept kept = OutputSpool(m_folder).load(SessionLimits::historyBytes);
    const qsizetype complete = completeUtf8Prefix(kept.bytes);
    m_history.restore(kept.start, kept.bytes.left(complete));
    m_state = State::recovering;
    connectHolder(m_history.end(), 0, 0);
}

void CodingSession::connectHolder(qint64 from, int columns, int rows)
{
    m_connection = new HolderConnection(this);
    m_toldColumns = m_programColumns = columns;
    m_toldRows = m_programRows = rows;
    connect(m_connection, &HolderConnection::attached, this, [this] {
        const bool opening = m_state == State::starting;
        if (m_state != State::ended)
            m_state = State::running;
        if (opening)
            emit started(QString());
        pump();
    });
    connect(m_connection, &HolderConnection::output, this, &CodingSession::onOutput);
    connect(m_connection, &HolderConnection::dropped, this, [this](qint64 from, qint64) {
        // This agent fell further behind than the holder keeps: the stream goes on at `from`.
        m_partialCharacter.clear();
        m_history.restore(from, {});
    });
    connect(m_connection, &HolderConnection::ended, this,
            [this](bool bySignal, int value, const QString &problem) {
                append(std::exchange(m_partialCharacter, {}));
                finish(withProblem(m_endReason.isEmpty() ? exited(exitCodeOf(bySignal, value))
                                                         : endedBecause(m_endReason),
                                   problem));
            });
    connect(m_connection, &HolderConnection::resized, this, &CodingSession::programResized);
    connect(m_connection, &HolderConnection::lost, this, &CodingSession::onLost);
    m_connection->connectTo(SessionFiles::holderSocket(m_folder), from, columns, rows);
    if (!m_endReason.isEmpty())
        m_connection->end();
}

void CodingSession::onLost(const QString &problem)
{
    if (m_state == State::starting) {
        // A program that ends at once may take its holder with it before this agent connects (a slow moment
        // is enough): the holder wrote the program's output and how it ended before it went. The session then
        // opened, and its tablet learns both once it is attached.
        if (const auto how = exitIn(m_folder)) {
            const OutputSpool::Kept kept = OutputSpool(m_folder).load(SessionLimits::historyBytes);
            m_history.restore(kept.start, kept.bytes);
            m_state = State::running;
            emit started(QString());
            QMetaObject::invokeMethod(
                this, [this, how = *how] { finish(how); }, Qt::QueuedConnection);
            return;
        }
        m_state = State::ended;
        emit started(problem);
        return;
    }
    // The holder's record says how the program ended, unless the holder was killed before it could write it.
    if (!m_endReason.isEmpty())
        return finish(endedBecause(m_endReason));
    if (const auto how = exitIn(m_folder))
        return finish(*how);
    AgentLog::error(QStringLiteral("session %1: its holder ended without the program's end (%2)")
                        .arg(m_info.id, problem));
    finish(endedBecause(QStringLiteral("lost")));
}

void CodingSession::onOutput(qint64 offset, const QByteArray &bytes)
{
    if (offset != m_history.end() + m_partialCharacter.size())
        return;
    // A character cut between two pieces waits for the rest, so that the stream's offsets always fall between
    // characters.
    QByteArray whole = m_partialCharacter.isEmpty() ? bytes : m_partialCharacter + bytes;
    const qsizetype complete = completeUtf8Prefix(whole);
    m_partialCharacter = whole.mid(complete);
    whole.truncate(complete);
    append(whole);
}

void CodingSession::append(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return;
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
    if (!m_connection || m_state == State::ended)
        return;
    // The holder reads the program only while the least acknowledged offset is less than its window behind.
    qint64 least = -1;
    for (const Viewer &viewer : std::as_const(m_viewers))
        least = least < 0 ? viewer.acknowledged : std::min(least, viewer.acknowledged);
    if (least == m_toldAcknowledged)
        return;
    m_toldAcknowledged = least;
    if (least < 0)
        m_connection->holdNothing();
    else
        m_connection->acknowledge(least);
}

CodingSession::Attachment CodingSession::attach(SessionViewer *viewer, qint64 from)
{
    Attachment attachment;
    attachment.from = std::clamp(from, m_history.start(), m_history.end());
    attachment.dropped = std::max<qint64>(m_history.start() - from, 0);
    const Viewer previous = m_viewers.value(viewer);
    m_viewers.insert(viewer, Viewer{attachment.from, attachment.from, previous.columns, previous.rows, 0});
    makeActive(viewer);
    emit viewersChanged();
    // The answer to the attachment goes out before the output.
    QMetaObject::invokeMethod(this, &CodingSession::pump, Qt::QueuedConnection);
    return attachment;
}

void CodingSession::detach(SessionViewer *viewer)
{
    if (m_viewers.remove(viewer)) {
        makeActive(nullptr);
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

std::optional<ServiceError> CodingSession::input(SessionViewer *viewer, const QByteArray &bytes)
{
    if (m_state != State::running || !m_connection)
        return ServiceError{QStringLiteral("session_not_running"),
                            QStringLiteral("the session is not running")};
    if (m_connection->pendingBytes() > SessionLimits::pendingInputBytes)
        return ServiceError{QStringLiteral("busy"), QStringLiteral("the program is not taking keystrokes")};
    makeActive(viewer);
    m_connection->input(bytes);
    return std::nullopt;
}

void CodingSession::resize(SessionViewer *viewer, int columns, int rows)
{
    const auto found = m_viewers.find(viewer);
    if (found == m_viewers.end())
        return;
    found->columns = columns;
    found->rows = rows;
    makeActive(viewer);
}

void CodingSession::makeActive(SessionViewer *viewer)
{
    // The terminal takes the size of the tablet active last (attached, typed or resized last) that has one.
    // The holder applies the same rule between this agent and terminals attached on this computer: a tablet
    // that becomes active takes the size back from such a terminal.
    const auto found = m_viewers.find(viewer);
    if (found != m_viewers.end())
        found->activeAt = ++m_activity;
    const Viewer *active = nullptr;
    for (const Viewer &candidate : std::as_const(m_viewers)) {
        if (candidate.columns > 0 && (!active || candidate.activeAt > active->activeAt))
            active = &candidate;
    }
    if (!active || !m_connection)
        return;
    const bool takenBack = found != m_viewers.end() && active == &*found &&
                           (active->columns != m_programColumns || active->rows != m_programRows);
    if (!takenBack && active->columns == m_toldColumns && active->rows == m_toldRows)
        return;
    m_toldColumns = active->columns;
    m_toldRows = active->rows;
    m_connection->resize(m_toldColumns, m_toldRows);
}

void CodingSession::programResized(int columns, int rows)
{
    // The holder says every size the terminal takes, in order, whoever gave it: tablets draw at the last.
    if (columns == m_programColumns && rows == m_programRows)
        return;
    m_programColumns = columns;
    m_programRows = rows;
    for (auto each = m_viewers.keyBegin(); each != m_viewers.keyEnd(); ++each)
        (*each)->sessionResized(m_info.id, columns, rows);
}

void CodingSession::end(const QString &reason)
{
    if (m_state == State::ended || !m_endReason.isEmpty())
        return;
    m_endReason = reason;
    if (m_connection)
        m_connection->end();
}

void CodingSession::release()
{
    if (m_starter)
        m_starter->disconnect(this);
    if (!m_connection)
        return;
    m_connection->disconnect(this);
    m_connection->close();
    m_connection->deleteLater();
    m_connection = nullptr;
}

QJsonObject CodingSession::endedBecause(const QString &reason)
{
    return QJsonObject{{QStringLiteral("reason"), reason}, {QStringLiteral("exitCode"), QJsonValue::Null}};
}

std::optional<QJsonObject> CodingSession::exitIn(const QString &folder)
{
    QFile file(endRecordIn(folder));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QList<QByteArray> lines = file.read(4096).split('\n');
    const QList<QByteArray> words = lines.at(0).split(' ');
    bool ok = false;
    const int value = words.value(1).toInt(&ok);
    if (words.size() != 2 || !ok || (words.at(0) != "exit" && words.at(0) != "signal"))
        return endedBecause(QStringLiteral("lost"));
    return withProblem(exited(exitCodeOf(words.at(0) == "signal", value)),
                       QString::fromUtf8(lines.value(1)).trimmed());
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
