#pragma once

#include <QJsonObject>
#include <QObject>
#include <QString>

#include <functional>

class QLocalServer;
class QLocalSocket;

// One instance per user: the one that holds an exclusive lock on a file beside the socket, for as long as it
// lives, listens on a local socket; a later one tells it to come forward and then leaves, so two hosts never
// start two agents on the same port, however close together they start. The same socket carries the
// command line's requests to the running instance, one JSON object per line each way. Only processes of the
// same user are answered: the socket's folder is the user's own, and each peer's user id is checked.
class SingleInstance : public QObject {
    Q_OBJECT

public:
    using RequestHandler = std::function<QJsonObject(const QJsonObject &request)>;

    explicit SingleInstance(QString socketPath = standardSocketPath(), QObject *parent = nullptr);
    ~SingleInstance() override;

    // In $XDG_RUNTIME_DIR, which only this user can reach.
    static QString standardSocketPath();

    // "<socket>.lock", which the running instance holds locked.
    QString lockPath() const { return m_socketPath + QStringLiteral(".lock"); }

    // True when this process is the one to run. False when another instance holds the lock: it answered
    // (and was asked to come forward), or it did not within a few seconds.
    bool claim();
    // Answers requests once claimed; without a handler every request is refused.
    void setRequestHandler(RequestHandler handler) { m_handler = std::move(handler); }

    struct Answer {
        enum class Status { Answered, NotRunning, NoAnswer };
        Status status = Status::NotRunning;
        QJsonObject reply;
    };
    // For a command-line process that has nothing else to do: waits up to the time limit for the answer.
    static Answer request(const QString &socketPath, const QJsonObject &request, int timeoutMs);

signals:
    void activationRequested();

private:
    bool askRunningInstance() const;
    bool listen();
    void serve(QLocalSocket *socket);

    QString m_socketPath;
    QLocalServer *m_server = nullptr;
    int m_lockFd = -1;
    RequestHandler m_handler;
};
