#pragma once

#include <QList>
#include <QObject>

#include <initializer_list>

class QSocketNotifier;

// Turns SIGTERM, SIGINT and the like into a Qt signal on the main thread, so the host can stop its agent
// before it ends instead of dying with the agent still holding the port.
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
