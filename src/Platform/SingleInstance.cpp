#include "Platform/SingleInstance.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>

#include <sys/socket.h>
#include <unistd.h>

namespace {
constexpr int answerTimeoutMs = 1000;
// No request comes near this; a peer that sends more is not one of ours.
constexpr qint64 longestRequest = 64 * 1024;
const QByteArray activateMessage = "activate\n";

bool peerIsThisUser(const QLocalSocket *socket)
{
    ucred peer{};
    socklen_t length = sizeof peer;
    return getsockopt(static_cast<int>(socket->socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &peer,
                      &length) == 0 &&
           peer.uid == geteuid();
}
} // namespace

SingleInstance::SingleInstance(QString socketPath, QObject *parent)
    : QObject(parent), m_socketPath(std::move(socketPath))
{}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::standardSocketPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation) +
           QStringLiteral("/ferrowyn-host.socket");
}

bool SingleInstance::askRunningInstance() const
{
    QLocalSocket socket;
    socket.connectToServer(m_socketPath);
    if (!socket.waitForConnected(answerTimeoutMs))
        return false;
    socket.write(activateMessage);
    return socket.waitForBytesWritten(answerTimeoutMs);
}

bool SingleInstance::claim()
{
    if (askRunningInstance())
        return false;
    // Nobody answered: whatever is left at the path is a crashed instance's socket.
    QLocalServer::removeServer(m_socketPath);
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(m_socketPath)) {
        // Another instance may have won the race between our question and our listen.
        if (askRunningInstance())
            return false;
        qWarning("single instance: cannot listen on %s: %s", qPrintable(m_socketPath),
                 qPrintable(m_server->errorString()));
        return true;
    }
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *socket = m_server->nextPendingConnection())
            serve(socket);
    });
    return true;
}

void SingleInstance::serve(QLocalSocket *socket)
{
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    if (!peerIsThisUser(socket)) {
        socket->abort();
        return;
    }
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
        if (!socket->canReadLine()) {
            if (socket->bytesAvailable() > longestRequest)
                socket->abort();
            return;
        }
        const QByteArray line = socket->readLine(longestRequest);
        if (line == activateMessage) {
            emit activationRequested();
            return;
        }
        const QJsonObject request = QJsonDocument::fromJson(line).object();
        const QJsonObject reply =
            m_handler && !request.isEmpty()
                ? m_handler(request)
                : QJsonObject{{QStringLiteral("error"), QStringLiteral("unknown request")}};
        socket->write(QJsonDocument(reply).toJson(QJsonDocument::Compact) + '\n');
        // Out now: a request to quit ends the event loop that would otherwise send it.
        socket->flush();
        socket->disconnectFromServer();
    });
}

SingleInstance::Answer SingleInstance::request(const QString &socketPath, const QJsonObject &request,
                                               int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    const auto left = [&] {
        return std::max<int>(0, timeoutMs - static_cast<int>(clock.elapsed()));
    };
    QLocalSocket socket;
    socket.connectToServer(socketPath);
    if (!socket.waitForConnected(left()))
        return {Answer::Status::NotRunning, {}};
    socket.write(QJsonDocument(request).toJson(QJsonDocument::Compact) + '\n');
    while (!socket.canReadLine()) {
        if (left() == 0 || !socket.waitForReadyRead(left()))
            return {Answer::Status::NoAnswer, {}};
    }
    return {Answer::Status::Answered, QJsonDocument::fromJson(socket.readLine()).object()};
}
