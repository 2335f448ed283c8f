#include "Http/WebSocketCloseDrain.h"

#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QWebSocket>

#include <array>
#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

QTcpSocket *WebSocketCloseDrain::connectionOf(const QWebSocket *socket, const QTcpServer *server)
{
    // QtHttpServer leaves the connection it upgraded a child of the listening server; the WebSocket does not
    // name it, but no other connection there has the same peer.
    QTcpSocket *connection = nullptr;
    for (QTcpSocket *candidate : server->findChildren<QTcpSocket *>()) {
        if (candidate->peerPort() == socket->peerPort() && candidate->peerAddress() == socket->peerAddress())
            connection = candidate;
    }
    return connection;
}

void WebSocketCloseDrain::watch(QWebSocket *socket, QTcpSocket *tcpConnection, int limitMs, QObject *owner)
{
    if (!tcpConnection)
        return;
    const QPointer<QTcpSocket> connection = tcpConnection;
    // aboutToClose comes after the close frame was handed to the TCP socket and before Qt closes it.
    QObject::connect(
        socket, &QWebSocket::aboutToClose, owner,
        [socket, connection, limitMs, owner] {
            if (!connection || connection->socketDescriptor() < 0 ||
                owner->findChildren<WebSocketCloseDrain *>(Qt::FindDirectChildrenOnly).size() >= maxDrains)
                return;
            const int descriptor =
                ::fcntl(static_cast<int>(connection->socketDescriptor()), F_DUPFD_CLOEXEC, 0);
            if (descriptor < 0)
                return;
            ::fcntl(descriptor, F_SETFL, ::fcntl(descriptor, F_GETFL) | O_NONBLOCK);
            auto *drain = new WebSocketCloseDrain(descriptor, limitMs, owner);
            // Qt reports the end only once everything it held, the close frame included, has reached the
            // kernel.
            QObject::connect(socket, &QWebSocket::disconnected, drain, &WebSocketCloseDrain::endOutput);
        },
        Qt::SingleShotConnection);
}

WebSocketCloseDrain::WebSocketCloseDrain(int descriptor, int limitMs, QObject *parent)
    : QObject(parent), m_descriptor(descriptor), m_notifier(descriptor, QSocketNotifier::Read)
{
    connect(&m_notifier, &QSocketNotifier::activated, this, &WebSocketCloseDrain::discardInput);
    m_limit.setSingleShot(true);
    connect(&m_limit, &QTimer::timeout, this, &QObject::deleteLater);
    m_limit.start(limitMs);
}

WebSocketCloseDrain::~WebSocketCloseDrain()
{
    m_notifier.setEnabled(false);
    ::close(m_descriptor);
}

void WebSocketCloseDrain::endOutput()
{
    ::shutdown(m_descriptor, SHUT_WR);
}

void WebSocketCloseDrain::discardInput()
{
    // Bounded per wake-up, so that a client that never stops sending cannot hold the event loop.
    constexpr int readsPerWakeUp = 16;
    std::array<char, 64 * 1024> buffer{};
    for (int i = 0; i < readsPerWakeUp; ++i) {
        const ssize_t count = ::read(m_descriptor, buffer.data(), buffer.size());
        if (count > 0 || (count < 0 && errno == EINTR))
            continue;
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        // The client has ended the connection, or it broke: nothing is left to wait for.
        m_notifier.setEnabled(false);
        deleteLater();
        return;
    }
}
