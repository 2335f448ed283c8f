#include "Platform/SingleInstance.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>

namespace {
constexpr int answerTimeoutMs = 1000;
const QByteArray activateMessage = "activate\n";
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
        while (QLocalSocket *socket = m_server->nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
                if (socket->canReadLine() && socket->readLine() == activateMessage)
                    emit activationRequested();
            });
        }
    });
    return true;
}
