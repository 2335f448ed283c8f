#pragma once

#include <QList>
#include <QObject>

#include <initializer_list>

class QSocketNotifier;

// Turns SIGTERM, SIGINT and the like into a Qt signal on the main thread, so a program can end in order (the
// host stops its agent first, the agent closes its sessions) instead of dying mid-way. The handler only
// writes to a socket pair. One instance per process.
class UnixSignalWatcher : public QObject {
    Q_OBJECT

public:
    explicit UnixSignalWatcher(std::initializer_list<int> signalNumbers, QObject *parent = nullptr);
    ~UnixSignalWatcher() override;

signals:
    void signalReceived(int signalNumber);

private:
    QList<int> m_signalNumbers;
    QSocketNotifier *m_notifier = nullptr;
};
