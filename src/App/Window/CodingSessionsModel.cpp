#include "App/Window/CodingSessionsModel.h"

#include "Services/Sessions/CodingWork.h"
#include "Services/Sessions/SessionsWatcher.h"

#include <QLocale>

CodingSessionsModel::CodingSessionsModel(const SessionsWatcher &watcher, std::function<bool()> agentRunning,
                                         std::function<void(const QString &id)> end, QObject *parent)
    : QAbstractListModel(parent), m_watcher(watcher), m_agentRunning(std::move(agentRunning)),
      m_end(std::move(end))
{
    connect(&watcher, &SessionsWatcher::changed, this, &CodingSessionsModel::refresh);
    refresh();
}

QString CodingSessionsModel::endQuestion(const QString &id) const
{
    const std::optional<HostedSession> session = m_watcher.find(id);
    return session ? CodingWork::endOneQuestion(session->program, session->folder) : QString();
}

void CodingSessionsModel::end(const QString &id)
{
    m_end(id);
}

QString CodingSessionsModel::unpinQuestion(const QStringList &removed, const QStringList &pinned) const
{
    QStringList folders;
    for (const HostedSession &session : m_sessions)
        folders.append(session.folder);
    return CodingWork::unpinQuestion(CodingWork::endedByUnpinning(folders, removed, pinned));
}

int CodingSessionsModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : count();
}

QVariant CodingSessionsModel::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid))
        return {};
    const HostedSession &session = m_sessions.at(index.row());
    switch (role) {
    case IdRole:
        return session.id;
    case FolderRole:
        return session.folder;
    case ProgramRole:
        return session.program;
    case DeviceRole:
        return session.deviceName.isEmpty() ? session.deviceId : session.deviceName;
    case SinceRole:
        return session.openedAt.isValid() ? sinceText(session.openedAt, QDateTime::currentDateTime())
                                          : QString();
    case AttachmentRole:
        return attachmentText(session.tablets, m_agentRunning());
    default:
        return {};
    }
}

QHash<int, QByteArray> CodingSessionsModel::roleNames() const
{
    return {{IdRole, "sessionId"},  {FolderRole, "folder"}, {ProgramRole, "program"},
            {DeviceRole, "device"}, {SinceRole, "since"},   {AttachmentRole, "attachment"}};
}

QString CodingSessionsModel::sinceText(const QDateTime &openedAt, const QDateTime &now)
{
    const QDateTime local = openedAt.toLocalTime();
    const QString format =
        local.date() == now.toLocalTime().date() ? QStringLiteral("HH:mm") : QStringLiteral("d MMM, HH:mm");
    return QStringLiteral("since %1").arg(QLocale().toString(local, format));
}

QString CodingSessionsModel::attachmentText(int tablets, bool agentRunning)
{
    if (!agentRunning)
        return QStringLiteral("No tablet can attach until hosting runs");
    if (tablets == 0)
        return QStringLiteral("No tablet attached");
    return tablets == 1 ? QStringLiteral("1 tablet attached")
                        : QStringLiteral("%1 tablets attached").arg(tablets);
}

void CodingSessionsModel::agentRunningChanged()
{
    if (!m_sessions.isEmpty())
        emit dataChanged(index(0), index(count() - 1), {AttachmentRole});
}

void CodingSessionsModel::refresh()
{
    const QList<HostedSession> &sessions = m_watcher.sessions();
    const bool damaged = m_watcher.contents().status == SessionsState::Status::Damaged;
    const bool sameRows =
        sessions.size() == m_sessions.size() &&
        std::equal(sessions.cbegin(), sessions.cend(), m_sessions.cbegin(),
                   [](const HostedSession &a, const HostedSession &b) { return a.id == b.id; });
    if (sameRows) {
        // A tablet attached or left: the rows stay, and so do the views' delegates.
        for (qsizetype row = 0; row < sessions.size(); ++row) {
            if (sessions.at(row) == m_sessions.at(row))
                continue;
            m_sessions[row] = sessions.at(row);
            emit dataChanged(index(static_cast<int>(row)), index(static_cast<int>(row)));
        }
    } else {
        beginResetModel();
        m_sessions = sessions;
        endResetModel();
    }
    m_damaged = damaged;
    emit contentsChanged();
}
