#include "Http/GuardedTcpServer.h"

#include "Http/PeerAddress.h"

#include <QTcpSocket>
#include <QTimer>

#include <unistd.h>

namespace {

// Connections the kernel has completed but the agent not yet accepted cost the process nothing. Qt's usual 50
// fill up under a flood, and a tablet's attempt that finds them full is dropped, retried only a second later.
constexpr int listenBacklog = 1024;

} // namespace

GuardedTcpServer::GuardedTcpServer(int deadlineMs, std::function<bool(const QHostAddress &)> isShared,
                                   QObject *parent)
    : QTcpServer(parent), m_deadlineMs(deadlineMs), m_isShared(std::move(isShared))
{
    setListenBacklogSize(listenBacklog);
}

void GuardedTcpServer::incomingConnection(qintptr descriptor)
{
    // A child of the server, as QTcpServer makes them: QtHttpServer deletes it when it ends, never this
    // class.
    auto *socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        ::close(static_cast<int>(descriptor));
        return;
    }
    const QHostAddress peer = plainPeerAddress(socket->peerAddress());
    const bool shared = m_isShared(peer);
    const quint64 id = ++m_nextId;
    const auto givesWay = m_waiting.arrive(id, shared ? QStringLiteral("shared") : peer.toString(),
                                           shared ? totalLimit : perSourceLimit);
    if (givesWay) {
        const QPointer<QTcpSocket> older = m_held.take(*givesWay).socket;
        if (older) {
            const QString olderPeer = plainPeerAddress(older->peerAddress()).toString();
            older->abort();
            emit gaveWay(olderPeer);
        }
    }
    m_held.insert(id, {socket, -1});
    // QtHttpServer drops every connection of a socket it upgrades, this one included; upgraded() covers that.
    connect(socket, &QObject::destroyed, this, [this, id] { forget(id); });
    QTimer::singleShot(m_deadlineMs, this, [this, id] { expire(id); });
    addPendingConnection(socket);
}

void GuardedTcpServer::upgraded(const QTcpSocket *connection)
{
    if (!connection)
        return;
    for (auto held = m_held.cbegin(); held != m_held.cend(); ++held) {
        if (held->socket == connection) {
            forget(held.key());
            return;
        }
    }
}

void GuardedTcpServer::expire(quint64 id)
{
    const auto held = m_held.find(id);
    if (held == m_held.end())
        return;
    if (!held->socket) {
        forget(id);
        return;
    }
    // An answer that is still leaving and has moved since the last look is given another deadline.
    const qint64 unsent = held->socket->bytesToWrite();
    if (unsent > 0 && unsent != held->unsent) {
        held->unsent = unsent;
        QTimer::singleShot(m_deadlineMs, this, [this, id] { expire(id); });
        return;
    }
    const QPointer<QTcpSocket> socket = held->socket;
    forget(id);
    socket->abort();
}

void GuardedTcpServer::forget(quint64 id)
{
    m_held.remove(id);
    m_waiting.leave(id);
}
