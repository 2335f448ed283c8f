#pragma once

#include <QFileSystemWatcher>
#include <QObject>
#include <QTimer>

// Tells the sessions when the trusted-devices file may have changed, so that a device taken out of it loses
// its open connections at once. One for the whole agent. The folder is watched too: an atomic write replaces
// the file, which ends a watch on the file alone.
class TrustedDevicesWatcher : public QObject {
    Q_OBJECT

public:
    // Changes that arrive within `settleMs` of each other are told once.
    explicit TrustedDevicesWatcher(QString filePath, int settleMs = 50, QObject *parent = nullptr);

    // For a change the agent made itself and whose effect must not wait.
    void announce();

signals:
    void changed();

private:
    void rewatch();

    QString m_filePath;
    QFileSystemWatcher m_watcher;
    QTimer m_settle;
};
