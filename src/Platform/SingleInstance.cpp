#include "Platform/SingleInstance.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
constexpr int answerTimeoutMs = 1000;
// How long a host that lost the lock waits for the holder to listen: the holder listens right after taking
// it, so only a holder that hangs (or one ending just then) takes this long.
constexpr int handOverTimeoutMs = 5000;
constexpr unsigned long handOverPollMs = 20;
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

SingleInstance::~SingleInstance()
{
    // The socket goes before the lock: closing the server removes the socket's file, which by then could
    // be the next host's.
    delete m_server;
    m_server = nullptr;
    if (m_lockFd >= 0)
        ::close(m_lockFd);
}

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
    // The lock decides, not the socket: asking, removing a stale socket and listening are steps that two
    // hosts starting together could interleave, leaving both up and one of them unreachable. Closed on exec,
    // so the agent never holds it.
    m_lockFd =
        ::open(QFile::encodeName(lockPath()).constData(), O_RDWR | O_CREAT | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (m_lockFd < 0) {
        qWarning("single instance: cannot open %s: %s", qPrintable(lockPath()), std::strerror(errno));
        return listen();
    }
    const QDeadlineTimer deadline(handOverTimeoutMs);
    for (;;) {
        if (::flock(m_lockFd, LOCK_EX | LOCK_NB) == 0)
            return listen();
        if (errno != EWOULDBLOCK && errno != EINTR) {
            qWarning("single instance: cannot lock %s: %s", qPrintable(lockPath()), std::strerror(errno));
            return listen();
        }
        // Another host holds the lock: starting, running or ending. One that ends lets go of it, and the
        // next round takes it.
        if (askRunningInstance() || deadline.hasExpired())
            return false;
        QThread::msleep(handOverPollMs);
    }
}

bool SingleInstance::listen()
{
    // Whatever is left at the path is an ended host's socket: the lock says no other host is running.
    QLocalServer::removeServer(m_socketPath);
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(m_socketPath)) {
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
