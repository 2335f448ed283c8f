#include "Sessions/SessionManager.h"

#include "AgentLog.h"
#include "Sessions/HolderConnection.h"
#include "Sessions/SessionLimits.h"
#include "Shared/PrivateFolder.h"
#include "Shared/SessionFiles.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QPointer>
#include <QRandomGenerator>
#include <QSaveFile>

#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

ServiceError unavailable(const QString &why)
{
    return ServiceError{QStringLiteral("sessions_unavailable"), why};
}

// A session's end in the log; a problem of its holder's that ended it is one the user must see.
void logEnd(const QString &id, const QJsonObject &how)
{
    const QString line =
        QStringLiteral("session %1 ended (%2)").arg(id, how.value(QStringLiteral("reason")).toString());
    const QString problem = how.value(QStringLiteral("problem")).toString();
    if (problem.isEmpty())
        AgentLog::event(line);
    else
        AgentLog::error(line + QStringLiteral(": ") + problem);
}

QString newSessionId()
{
    return QString::number(QRandomGenerator::system()->generate64(), 16).rightJustified(16, QLatin1Char('0'));
}

// The folder must be this user's alone: another local user who made it first could read the sessions.
bool isPrivateFolder(const QString &path)
{
    struct stat status {};
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0 && S_ISDIR(status.st_mode) &&
           status.st_uid == ::getuid() && (status.st_mode & 077) == 0;
}

bool writeBytes(const QString &path, const QByteArray &bytes, QString *error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) ||
        !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
        *error = file.errorString();
        return false;
    }
    if (file.write(bytes) != bytes.size() || !file.commit()) {
        *error = file.errorString();
        return false;
    }
    return true;
}

} // namespace

SessionManager::SessionManager(SessionSettings settings, const WorkspaceFileService *files,
                               const PairingAuthenticator *authenticator, QObject *parent)
    : QObject(parent), m_settings(std::move(settings)), m_files(files), m_authenticator(authenticator),
      m_programs(m_settings.programs, m_settings.allowShell,
                 m_settings.agentEnvironment.value(QStringLiteral("PATH")), SessionPrograms::userLoginShell())
{
    m_stateWrite.setSingleShot(true);
    m_stateWrite.setInterval(SessionLimits::stateWriteDelayMs);
    connect(&m_stateWrite, &QTimer::timeout, this, &SessionManager::writeState);
}

SessionManager::~SessionManager()
{
    release();
}

CodingSession *SessionManager::newSession(const SessionInfo &info, const QString &folder)
{
    return new CodingSession(info, m_settings.holderProgram, sessionEnvironment(m_settings.agentEnvironment),
                             folder, this);
}

void SessionManager::start()
{
    const QString runtime = m_settings.runtimeFolder;
    if (!QFileInfo(m_settings.holderProgram).isExecutable())
        m_problem = QStringLiteral("%1 is missing: the agent's installation is incomplete")
                        .arg(m_settings.holderProgram);
    else if (!makePrivateFolder(SessionFiles::sessionsFolder(runtime)) || !isPrivateFolder(runtime))
        m_problem = QStringLiteral("%1 is not a folder that only this user can open").arg(runtime);
    if (!m_problem.isEmpty()) {
        AgentLog::error(QStringLiteral("coding sessions are off: %1").arg(m_problem));
        return;
    }
    m_started = true;
    const QDir sessions(SessionFiles::sessionsFolder(runtime));
    for (const QString &id : sessions.entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        recover(id);
    if (!m_sessions.isEmpty())
        AgentLog::event(QStringLiteral("took over %1 running session(s)").arg(m_sessions.size()));
    stateChanged();
}

void SessionManager::recover(const QString &id)
{
    const QString folder = SessionFiles::sessionFolder(m_settings.runtimeFolder, id);
    if (const auto how = CodingSession::exitIn(folder)) {
        // Its program ended while no agent ran.
        if (how->contains(QStringLiteral("problem")))
            logEnd(id, *how);
        rememberEnd(id, *how);
        QDir(folder).removeRecursively();
        return;
    }
    QFile file(SessionInfo::fileIn(folder));
    std::optional<SessionInfo> info;
    if (file.open(QIODevice::ReadOnly))
        info = SessionInfo::fromJson(QJsonDocument::fromJson(file.readAll()).object());
    if (!info || info->id != id) {
        AgentLog::event(QStringLiteral("session %1 ended: it is not one the agent opened").arg(id));
        HolderConnection::endAndForget(SessionFiles::holderSocket(folder), this);
        QDir(folder).removeRecursively();
        return;
    }
    QString reason;
    if (info->pairing != m_settings.pairing)
        reason = QStringLiteral("host");
    else if (!m_authenticator->trusts(info->deviceId))
        reason = QStringLiteral("revoked");
    else if (isUnpinned(info->folder))
        reason = QStringLiteral("unpinned");
    if (!reason.isEmpty()) {
        // Ended through its holder, never listed; a tablet that comes back for it learns why.
        AgentLog::event(QStringLiteral("session %1 ended (%2)").arg(id, reason));
        rememberEnd(id, CodingSession::endedBecause(reason));
        HolderConnection::endAndForget(SessionFiles::holderSocket(folder), this);
        QDir(folder).removeRecursively();
        return;
    }
    auto *session = newSession(*info, folder);
    adopt(session);
    session->recover();
}

bool SessionManager::isUnpinned(const QString &folder) const
{
    // A folder that went away inside a pinned one is not an unpinning: its program may still run there.
    const auto confined = m_files->confinedPath(folder);
    const auto *error = std::get_if<ServiceError>(&confined);
    return error && error->code == QStringLiteral("path_outside_workspace");
}

void SessionManager::release()
{
    // The host reads the file while no agent runs: it must be current when this agent goes.
    if (m_stateWrite.isActive())
        writeState();
    for (CodingSession *session : std::as_const(m_sessions)) {
        session->disconnect(this);
        session->release();
    }
}

void SessionManager::open(const QString &folder, const QString &program, int columns, int rows,
                          const QString &deviceId, const QString &deviceName, QObject *context, Opened done)
{
    if (!m_problem.isEmpty() || !m_started)
        return done(unavailable(m_problem.isEmpty() ? QStringLiteral("sessions are starting") : m_problem));
    const auto confined = m_files->confinedPath(folder);
    if (const auto *error = std::get_if<ServiceError>(&confined))
        return done(*error);
    const QString resolved = std::get<QString>(confined);
    if (!QFileInfo(resolved).isDir())
        return done(
            ServiceError{QStringLiteral("not_a_directory"), QStringLiteral("the path is not a directory")});
    const auto resolvedProgram = m_programs.resolve(program);
    if (const auto *error = std::get_if<ServiceError>(&resolvedProgram))
        return done(*error);
    if (m_sessions.size() + m_opening >= SessionLimits::maxSessions)
        return done(
            ServiceError{QStringLiteral("too_many_sessions"),
                         QStringLiteral("%1 sessions are running, the most this computer runs at once: end "
                                        "one first")
                             .arg(SessionLimits::maxSessions)});

    SessionInfo info{newSessionId(),
                     resolved,
                     program,
                     deviceId,
                     deviceName,
                     m_settings.pairing,
                     QDateTime::currentDateTimeUtc()};
    const QString sessionFolder = SessionFiles::sessionFolder(m_settings.runtimeFolder, info.id);
    QString error = QStringLiteral("cannot create %1").arg(sessionFolder);
    if (!makePrivateFolder(sessionFolder) ||
        !writeBytes(SessionInfo::fileIn(sessionFolder),
                    QJsonDocument(info.toJson()).toJson(QJsonDocument::Compact), &error)) {
        AgentLog::error(QStringLiteral("cannot open a session: %1").arg(error));
        QDir(sessionFolder).removeRecursively();
        return done(ServiceError{QStringLiteral("session_failed"), error});
    }
    auto *session = newSession(info, sessionFolder);
    ++m_opening;
    QPointer<QObject> guard(context);
    connect(session, &CodingSession::started, this,
            [this, session, sessionFolder, guard, done](const QString &problem) {
                --m_opening;
                if (!problem.isEmpty()) {
                    AgentLog::error(QStringLiteral("cannot open a session: %1").arg(problem));
                    session->deleteLater();
                    QDir(sessionFolder).removeRecursively();
                    if (guard)
                        done(ServiceError{QStringLiteral("session_failed"), problem});
                    return;
                }
                AgentLog::event(QStringLiteral("session %1 opened: %2 in %3 for \"%4\"")
                                    .arg(session->info().id, session->info().program,
                                         AgentLog::printable(session->info().folder),
                                         AgentLog::printable(session->info().deviceName)));
                adopt(session);
                stateChanged();
                if (guard)
                    done(session);
            });
    session->open(std::get<SessionProgram>(resolvedProgram), columns, rows);
}

void SessionManager::adopt(CodingSession *session)
{
    const QString id = session->info().id;
    m_sessions.insert(id, session);
    connect(session, &CodingSession::viewersChanged, this, &SessionManager::stateChanged);
    connect(session, &CodingSession::ended, this, [this, session, id](const QJsonObject &how) {
        logEnd(id, how);
        m_sessions.remove(id);
        rememberEnd(id, how);
        QDir(SessionFiles::sessionFolder(m_settings.runtimeFolder, id)).removeRecursively();
        session->deleteLater();
        stateChanged();
    });
    emit changed();
}

void SessionManager::rememberEnd(const QString &id, const QJsonObject &how)
{
    if (m_endOrder.size() >= SessionLimits::endedSessionsKept)
        m_ends.remove(m_endOrder.takeFirst());
    m_endOrder.append(id);
    m_ends.insert(id, how);
}

std::optional<QJsonObject> SessionManager::endOf(const QString &id) const
{
    const auto end = m_ends.constFind(id);
    return end == m_ends.constEnd() ? std::nullopt : std::optional<QJsonObject>(*end);
}

QJsonArray SessionManager::list() const
{
    QJsonArray sessions;
    for (const CodingSession *session : std::as_const(m_sessions))
        sessions.append(session->describe());
    return sessions;
}

int SessionManager::end(const QString &id, const QString &reason)
{
    int ended = 0;
    for (CodingSession *session : m_sessions.values()) {
        if (id.isEmpty() || session->info().id == id) {
            session->end(reason);
            ++ended;
        }
    }
    return ended;
}

void SessionManager::checkDevices()
{
    for (CodingSession *session : m_sessions.values()) {
        if (!m_authenticator->trusts(session->info().deviceId))
            session->end(QStringLiteral("revoked"));
    }
}

void SessionManager::stateChanged()
{
    if (!m_stateWrite.isActive())
        m_stateWrite.start();
}

void SessionManager::writeState()
{
    m_stateWrite.stop();
    QJsonArray sessions;
    for (const CodingSession *session : std::as_const(m_sessions)) {
        QJsonObject entry = session->describe();
        entry.remove(QStringLiteral("outputBytes"));
        entry.insert(QStringLiteral("deviceId"), session->info().deviceId);
        sessions.append(entry);
    }
    const QByteArray state =
        QJsonDocument(QJsonObject{{QStringLiteral("format"), 1}, {QStringLiteral("sessions"), sessions}})
            .toJson(QJsonDocument::Compact);
    if (state == m_writtenState)
        return;
    const bool news = std::exchange(m_stateComposed, true);
    QString error;
    // A failed write is tried again at the next change.
    if (writeBytes(SessionFiles::stateFile(m_settings.runtimeFolder), state, &error))
        m_writtenState = state;
    else
        AgentLog::error(QStringLiteral("cannot write the sessions' state file: %1").arg(error));
    if (news)
        emit changed();
}
