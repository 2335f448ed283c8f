#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

class QTcpServer;
class QTcpSocket;
class QWebSocket;

// Qt closes a WebSocket's TCP connection right after writing the close frame. When the client is still
// sending (a message over the limit, say), closing with its bytes unread makes the kernel answer with a
// reset, which can destroy the close frame before the client reads it: the client then sees 1006 instead of
// the code and reason it was sent. So the connection is kept on a duplicate descriptor once the close frame
// is out: what arrives is read and discarded, the sending side is ended after the close frame, and the
// descriptor is closed when the client ends the connection or when the time limit passes.
class WebSocketCloseDrain : public QObject {
    Q_OBJECT

public:
    // The TCP connection that `socket`, just accepted from `server`, was upgraded from, or null.
    static QTcpSocket *connectionOf(const QWebSocket *socket, const QTcpServer *server);
    // Each drain holds a descriptor for up to its limit, and whoever keeps opening connections that are
    // closed (and never answers the close) would otherwise run the process out of descriptors: past this many
    // at once, a close is not drained.
    static constexpr int maxDrains = 128;

    // Watches `socket` on `connection` for its close, whoever starts it. Drains live as children of `owner`.
    static void watch(QWebSocket *socket, QTcpSocket *connection, int limitMs, QObject *owner);
    ~WebSocketCloseDrain() override;

private:
    WebSocketCloseDrain(int descriptor, int limitMs, QObject *parent);
    void endOutput();
    void discardInput();

    int m_descriptor;
    QSocketNotifier m_notifier;
    QTimer m_limit;
};
