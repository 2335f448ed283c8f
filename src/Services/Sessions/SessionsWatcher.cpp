#include "Services/Sessions/SessionsWatcher.h"

#include "Shared/PrivateFolder.h"
#include "Shared/SessionFiles.h"

SessionsWatcher::SessionsWatcher(QString runtimeFolder, QObject *parent)
    : QObject(parent), m_runtimeFolder(std::move(runtimeFolder))
{
    m_pending.setSingleShot(true);
    m_pending.setInterval(0);
    connect(&m_pending, &QTimer::timeout, this, &SessionsWatcher::reload);
    // The state file is replaced on every write, and a session's folder goes when the session does: the
    // folders are watched, not the file.
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, &m_pending, qOverload<>(&QTimer::start));
    reload();
}

std::optional<HostedSession> SessionsWatcher::find(const QString &id) const
{
    for (const HostedSession &session : m_contents.sessions)
        if (session.id == id)
            return session;
    return std::nullopt;
}

void SessionsWatcher::reload()
{
    watch();
    SessionsState::Contents contents = SessionsState::read(m_runtimeFolder);
    if (contents.status == m_contents.status && contents.sessions == m_contents.sessions)
        return;
    m_contents = std::move(contents);
    emit changed();
}

void SessionsWatcher::watch()
{
    // Made here as the agent makes them (0700), so there is always a folder to watch and never one to poll
    // for. One that cannot be made, or is not private, holds no session the agent would run.
    const QString sessions = SessionFiles::sessionsFolder(m_runtimeFolder);
    if (!makePrivateFolder(sessions))
        return;
    for (const QString &folder : {m_runtimeFolder, sessions})
        if (!m_watcher.directories().contains(folder))
            m_watcher.addPath(folder);
}
