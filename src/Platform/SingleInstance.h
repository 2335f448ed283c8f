#pragma once

#include <QObject>
#include <QString>

class QLocalServer;

// One instance per user: the first one listens on a local socket; a later one tells it to come forward
// and then leaves, so two hosts never start two agents on the same port.
class SingleInstance : public QObject {
    Q_OBJECT

public:
    explicit SingleInstance(QString socketPath = standardSocketPath(), QObject *parent = nullptr);
    ~SingleInstance() override;

    // In $XDG_RUNTIME_DIR, which only this user can reach.
    static QString standardSocketPath();

    // True when this process is the one to run. False when another instance answered (and was asked to
    // come forward).
    bool claim();

signals:
    void activationRequested();

private:
    bool askRunningInstance() const;

    QString m_socketPath;
    QLocalServer *m_server = nullptr;
};
