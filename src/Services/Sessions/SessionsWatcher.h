#pragma once

#include "Services/Sessions/SessionsState.h"

#include <QFileSystemWatcher>
#include <QObject>
#include <QTimer>

// The coding sessions on this computer as the agent lists them, read again whenever the runtime folder or its
// session folders change: the kernel tells (inotify), so nothing is read, and nothing wakes the host, while
// nothing changes.
class SessionsWatcher : public QObject {
    Q_OBJECT

public:
    explicit SessionsWatcher(QString runtimeFolder, QObject *parent = nullptr);

    QString runtimeFolder() const { return m_runtimeFolder; }
    const SessionsState::Contents &contents() const { return m_contents; }
    const QList<HostedSession> &sessions() const { return m_contents.sessions; }
    std::optional<HostedSession> find(const QString &id) const;
    // Reads the list now; `changed` follows when it differs.
    void reload();

signals:
    void changed();

private:
    void watch();

    QString m_runtimeFolder;
    SessionsState::Contents m_contents;
    QFileSystemWatcher m_watcher;
    // One reading for a burst of changes (an atomic rewrite alone is several).
    QTimer m_pending;
};
