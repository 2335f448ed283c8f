#pragma once

#include <functional>

#include "Auth/ControlRequest.h"
#include "Http/WaitingConnections.h"
#include "TabletConversation.h"
#include "Tunnel/TunnelStatus.h"
#include "Web/BrowserOrigin.h"

#include <QHostAddress>
#include <QHttpServer>
#include <QObject>
#include <QPointer>

class GuardedTcpServer;
class QTcpSocket;
class QWebSocket;

// The agent's one listening port: GET /healthz and POST /control/revoke for the host, the WebSocket at /ws
// for the tablet, and the browser client's files at / for a tablet without the app.
class LocalServer : public QObject {
    Q_OBJECT

public:
    // `closeDrainMs`: see WebSocketCloseDrain; `upgradeDeadlineMs`: see GuardedTcpServer. `control` may be
    // null: no control requests then.
    LocalServer(const TunnelStatus *status, ConversationServices services, int closeDrainMs,
                int upgradeDeadlineMs, ControlRequest *control, QObject *parent = nullptr);
    // Nothing of this object hears of the connections ending with it.
    ~LocalServer() override;

    // False with the system's reason when the address cannot be bound (for example: in use).
    bool listen(const QHostAddress &address, quint16 port, QString *error);
    quint16 port() const;
    // Closes every WebSocket with "going away" and stops listening.
    void close();

private:
    void acceptWebSockets();
    void adopt(QWebSocket *socket, QTcpSocket *connection);
    // Where a connection comes from, for the bound on those waiting to authenticate.
    QString sourceOf(const QWebSocket *socket) const;
    // Forwarded by the tunnel, as far as can be told.
    bool isTunnelled(const QWebSocket *socket) const;
    BrowserOrigin::OwnHosts ownHosts() const;
    // Ends a session, or all, for the host; the caller is already known to be the host.
    // The checks every request of the host shares (a POST, control enabled, `available`), then `answer`.
    void answerControl(const QHttpServerRequest &request, QHttpServerResponder &&responder, bool available,
                       const std::function<ControlRequest::Answer(const QHostAddress &peer)> &answer);
    ControlRequest::Answer endSessions(const QByteArray &body);

    const TunnelStatus *m_status;
    ConversationServices m_services;
    ControlRequest *m_control;
    int m_closeDrainMs;
    int m_upgradeDeadlineMs;
    QPointer<GuardedTcpServer> m_tcpServer;
    QHostAddress m_address;
    QList<QPointer<QWebSocket>> m_sockets;
    WaitingConnections m_waiting;
    QHash<quint64, QPointer<QWebSocket>> m_waitingSockets;
    quint64 m_nextConnection = 0;
    // Last, so destroyed first: ending its connections calls the sockets' handlers, which use the members
    // above.
    QHttpServer m_server;
};
