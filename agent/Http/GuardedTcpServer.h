#pragma once

#include "Http/WaitingConnections.h"

#include <QHash>
#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>

#include <functional>

class QTcpSocket;

// The listening port. QtHttpServer hears every connection it is given for as long as the peer keeps it, and
// each holds a descriptor: whoever opened a thousand and sent nothing, or half a request, would run the agent
// out of them. So until a connection becomes a WebSocket (where the conversation's own limits take over) it
// is counted by source, the oldest giving way past the caps as for WaitingConnections, and it is aborted when
// it has not become one within a deadline, unless an answer is still leaving it. A plain HTTP connection kept
// alive ends the same way: browsers simply open another.
class GuardedTcpServer : public QTcpServer {
    Q_OBJECT

public:
    // A browser fetches the page's files over up to 6 connections at once.
    static constexpr int perSourceLimit = 8;
    static constexpr int totalLimit = 128;

    // `isShared` says whether an address stands for many clients (the tunnel's agent on this computer): such
    // connections are one source, allowed the whole total; the WebSocket's limits tell its clients apart.
    GuardedTcpServer(int deadlineMs, std::function<bool(const QHostAddress &)> isShared, QObject *parent);

    // `connection` became a WebSocket.
    void upgraded(const QTcpSocket *connection);

signals:
    // A connection from `peer` was closed to make room for a newer one.
    void gaveWay(const QString &peer);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    struct Held {
        QPointer<QTcpSocket> socket;
        // What was still to be written at the last deadline; -1 before the first.
        qint64 unsent = -1;
    };
    void expire(quint64 id);
    void forget(quint64 id);

    int m_deadlineMs;
    std::function<bool(const QHostAddress &)> m_isShared;
    WaitingConnections m_waiting{perSourceLimit, totalLimit};
    QHash<quint64, Held> m_held;
    quint64 m_nextId = 0;
};
