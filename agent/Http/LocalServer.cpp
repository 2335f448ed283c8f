#include "Http/LocalServer.h"

#include "AgentLog.h"
#include "Http/GuardedTcpServer.h"
#include "Http/PeerAddress.h"
#include "Http/WebSocketCloseDrain.h"
#include "Http/WriteBacklog.h"
#include "Secure/SecureChannel.h"
#include "Sessions/SessionManager.h"
#include "Shared/AgentAddress.h"
#include "Web/WebClient.h"

#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QHttpServerResponse>
#include <QJsonDocument>
#include <QTcpServer>
#include <QTcpSocket>
#include <QWebSocket>

namespace {

bool isWebSocketUpgrade(const QHttpServerRequest &request)
{
    for (const auto &[name, value] : request.headers()) {
        if (name.compare("upgrade", Qt::CaseInsensitive) == 0 && value.toLower().contains("websocket"))
            return true;
    }
    return false;
}

// ngrok's agent adds this header to every request it forwards from the public URL; a tablet on the LAN path
// sends none.
const QByteArray forwardedForHeader("X-Forwarded-For");

bool isForwarded(const QByteArray &forwardedFor)
{
    return !forwardedFor.trimmed().isEmpty();
}

QString peerOf(const QWebSocket *socket)
{
    return plainPeerAddress(socket->peerAddress()).toString();
}

} // namespace

LocalServer::LocalServer(const TunnelStatus *status, ConversationServices services, int closeDrainMs,
                         int upgradeDeadlineMs, ControlRequest *control, QObject *parent)
    : QObject(parent), m_status(status), m_services(services), m_control(control),
      m_closeDrainMs(closeDrainMs), m_upgradeDeadlineMs(upgradeDeadlineMs)
{
    // Qt upgrades a connection only after a route has handled the request, and sends whatever that route
    // wrote first: an upgrade request therefore gets nothing written here, on every path, and the sockets
    // that arrive anywhere but /ws are closed as they are accepted.
    m_server.route(AgentAddress::healthPath, [this](const QHttpServerRequest &request,
                                                    QHttpServerResponder &&responder) {
        if (isWebSocketUpgrade(request))
            return;
        if (request.method() != QHttpServerRequest::Method::Get) {
            responder.write(QHttpServerResponder::StatusCode::MethodNotAllowed);
            return;
        }
        // The tunnel's address is for the host alone: a page of another site that points its
        // own name at this computer must not read it. The host asks 127.0.0.1, one of ours.
        if (BrowserOrigin::checkPage(request.value("Host"), ownHosts()) != BrowserOrigin::Verdict::allowed) {
            responder.write(QHttpServerResponder::StatusCode::MisdirectedRequest);
            return;
        }
        responder.write(QJsonDocument(m_status->healthJson()).toJson(QJsonDocument::Compact),
                        {{"Content-Type", "application/json"}, {"Cache-Control", "no-store"}});
    });
    m_server.route(AgentAddress::webSocketPath,
                   [this](const QHttpServerRequest &request, QHttpServerResponder &&responder) {
                       if (isWebSocketUpgrade(request)) {
                           // A browser refuses an upgrade answered with 403. Qt hands the connection over all
                           // the same; acceptWebSockets() closes it before it is heard.
                           if (BrowserOrigin::checkUpgrade(request.value("Origin"), request.value("Host"),
                                                           ownHosts()) != BrowserOrigin::Verdict::allowed)
                               responder.write(QHttpServerResponder::StatusCode::Forbidden);
                           return;
                       }
                       responder.write(QByteArray("This endpoint speaks WebSocket only.\n"),
                                       {{"Content-Type", "text/plain"}, {"Upgrade", "websocket"}},
                                       QHttpServerResponder::StatusCode::UpgradeRequired);
                   });
    m_server.route(AgentAddress::revokePath, [this](const QHttpServerRequest &request,
                                                    QHttpServerResponder &&responder) {
        answerControl(request, std::move(responder), true, [this, &request](const QHostAddress &peer) {
            return m_control->revoke(peer, request.value("Authorization"), request.body());
        });
    });
    m_server.route(AgentAddress::endSessionsPath, [this](const QHttpServerRequest &request,
                                                         QHttpServerResponder &&responder) {
        answerControl(request, std::move(responder), m_services.sessions != nullptr,
                      [this, &request](const QHostAddress &peer) {
                          // Nothing ends before the credential is known to be right.
                          if (auto refused = m_control->refusal(peer, request.value("Authorization")))
                              return *refused;
                          return endSessions(request.body());
                      });
    });
    m_server.route(QStringLiteral("/<arg>"), [this](const QUrl &, const QHttpServerRequest &request,
                                                    QHttpServerResponder &&responder) {
        if (isWebSocketUpgrade(request))
            return;
        const QString path = request.url().path();
        if (!WebClient::serves(path)) {
            responder.write(QHttpServerResponder::StatusCode::NotFound);
            return;
        }
        const WebClient::Response answer = WebClient::answer(
            request.method() == QHttpServerRequest::Method::Get, path, request.value("Host"), ownHosts());
        responder.writeStatusLine(static_cast<QHttpServerResponder::StatusCode>(answer.status));
        for (const auto &[name, value] : answer.headers)
            responder.writeHeader(name, value);
        responder.writeHeader("Content-Length", QByteArray::number(answer.body.size()));
        responder.writeBody(answer.body);
    });
    connect(&m_server, &QHttpServer::newWebSocketConnection, this, &LocalServer::acceptWebSockets);
}

LocalServer::~LocalServer()
{
    // The connections go with the listening server, a child, after this object's members are gone; each
    // still says it closes as it goes, which would reach the close drain's handler, and through it this.
    for (const QPointer<QWebSocket> &socket : std::as_const(m_sockets)) {
        if (socket)
            socket->disconnect();
    }
}

bool LocalServer::listen(const QHostAddress &address, quint16 port, QString *error)
{
    // Through the tunnel every client connects from this computer.
    auto *tcpServer = new GuardedTcpServer(
        m_upgradeDeadlineMs,
        [this](const QHostAddress &peer) { return !m_status->provider().isEmpty() && peer.isLoopback(); },
        this);
    if (!tcpServer->listen(address, port)) {
        *error = tcpServer->errorString();
        delete tcpServer;
        return false;
    }
    connect(tcpServer, &GuardedTcpServer::gaveWay, this, [this](const QString &peer) {
        m_services.logRefusal(peer,
                              QStringLiteral("connection from %1 closed: too many connections").arg(peer));
    });
    m_tcpServer = tcpServer;
    m_address = address;
    m_server.bind(tcpServer);
    return true;
}

quint16 LocalServer::port() const
{
    return m_tcpServer ? m_tcpServer->serverPort() : 0;
}

void LocalServer::close()
{
    for (const QPointer<QWebSocket> &socket : std::as_const(m_sockets)) {
        if (socket)
            socket->close(QWebSocketProtocol::CloseCodeGoingAway, QStringLiteral("agent is stopping"));
    }
    if (m_tcpServer)
        m_tcpServer->close();
}

void LocalServer::acceptWebSockets()
{
    while (m_server.hasPendingWebSocketConnections()) {
        QWebSocket *socket = m_server.nextPendingWebSocketConnection().release();
        socket->setParent(this);
        connect(socket, &QWebSocket::disconnected, socket, &QObject::deleteLater);
        QTcpSocket *connection = WebSocketCloseDrain::connectionOf(socket, m_tcpServer);
        m_tcpServer->upgraded(connection);
        WebSocketCloseDrain::watch(socket, connection, m_closeDrainMs, this);
        if (socket->requestUrl().path() != AgentAddress::webSocketPath) {
            socket->close(QWebSocketProtocol::CloseCodePolicyViolated, QStringLiteral("unknown path"));
            continue;
        }
        const QNetworkRequest &upgrade = socket->request();
        if (BrowserOrigin::checkUpgrade(upgrade.rawHeader("Origin"), upgrade.rawHeader("Host"), ownHosts()) !=
            BrowserOrigin::Verdict::allowed) {
            m_services.logRefusal(
                peerOf(socket),
                QStringLiteral("connection from %1 refused: a page of another site").arg(peerOf(socket)));
            socket->close(QWebSocketProtocol::CloseCodePolicyViolated, QStringLiteral("origin not allowed"));
            continue;
        }
        adopt(socket, connection);
    }
}

void LocalServer::adopt(QWebSocket *socket, QTcpSocket *connection)
{
    socket->setMaxAllowedIncomingMessageSize(SecureChannel::maxSealedBytes);
    socket->setMaxAllowedIncomingFrameSize(SecureChannel::maxSealedBytes);
    m_sockets.append(socket);
    const quint64 id = ++m_nextConnection;
    const QString source = sourceOf(socket);
    if (const auto givesWay = m_waiting.arrive(id, source)) {
        if (QWebSocket *older = m_waitingSockets.take(*givesWay)) {
            m_services.logRefusal(
                source, QStringLiteral("connection from %1 closed: too many unauthenticated connections")
                            .arg(source));
            // 1008 rather than 1013 ("try again later"), which Qt's own clients reject as a protocol error.
            older->close(QWebSocketProtocol::CloseCodePolicyViolated,
                         QStringLiteral("too many unauthenticated connections"));
        }
    }
    m_waitingSockets.insert(id, socket);
    const auto settled = [this, id] {
        m_waiting.leave(id);
        m_waitingSockets.remove(id);
    };
    auto *backlog = new WriteBacklog(m_services.writeStallMs, socket);
    backlog->watch(connection);
    auto *conversation = new TabletConversation(peerOf(socket), m_services, socket);
    conversation->setBacklog(backlog);
    // ngrok's agent connects from this computer and names the public client in X-Forwarded-For. Only a
    // label: a local program could send the header too, and would merely be recorded as "tunnel".
    if (isTunnelled(socket))
        conversation->setRoute(TrustedDevicesFile::tunnelRoute);
    // Only this computer's own programs may skip encryption: what the tunnel forwards is not from here.
    const bool unencryptedAllowed =
        m_services.allowUnencryptedClients || (plainPeerAddress(socket->peerAddress()).isLoopback() &&
                                               !isForwarded(socket->request().rawHeader(forwardedForHeader)));
    auto channel = std::make_shared<SecureChannel>(m_services.agentKey, unencryptedAllowed);
    connect(conversation, &TabletConversation::send, socket, [socket, backlog, channel](const QString &text) {
        if (channel->state() == SecureChannel::State::unencrypted) {
            socket->sendTextMessage(text);
        } else if (const std::optional<QByteArray> sealed = channel->seal(text)) {
            socket->sendBinaryMessage(*sealed);
        } else {
            // Not encrypted yet, or no longer: nothing goes out in the clear.
            return;
        }
        backlog->queued();
    });
    const auto take = [this, socket, backlog, conversation, source](const SecureChannel::Received &received) {
        if (!received.reply.isEmpty()) {
            socket->sendBinaryMessage(received.reply);
            backlog->queued();
        }
        if (received.text)
            conversation->receive(*received.text);
        if (received.closeCode == 0)
            return;
        if (const QString line = SecureChannel::refusalLine(source, received); !line.isEmpty())
            m_services.logRefusal(source, line);
        if (!received.refusalText.isEmpty())
            socket->sendTextMessage(received.refusalText);
        socket->close(static_cast<QWebSocketProtocol::CloseCode>(received.closeCode), received.closeReason);
    };
    connect(socket, &QWebSocket::textMessageReceived, conversation,
            [take, channel](const QString &text) { take(channel->receiveText(text)); });
    connect(socket, &QWebSocket::binaryMessageReceived, conversation,
            [take, channel](const QByteArray &message) { take(channel->receiveBinary(message)); });
    connect(conversation, &TabletConversation::closeRequested, socket,
            [socket](int code, const QString &reason) {
                socket->close(static_cast<QWebSocketProtocol::CloseCode>(code), reason);
            });
    // A peer that does not read would only fill the queue further with a close frame: it is cut off, after
    // whatever is sending to it now has returned.
    connect(
        backlog, &WriteBacklog::stuck, socket,
        [this, socket](const QString &why) {
            AgentLog::event(
                QStringLiteral("connection from %1 cut off: it does not read (%2)").arg(peerOf(socket), why));
            socket->abort();
        },
        Qt::QueuedConnection);
    // A refused tablet whose refusal is held back waits for nothing more: it leaves its place to others.
    connect(conversation, &TabletConversation::authenticationSettled, this, settled);
    connect(socket, &QWebSocket::disconnected, this, [this, socket, settled] {
        m_sockets.removeAll(socket);
        settled();
    });
}

bool LocalServer::isTunnelled(const QWebSocket *socket) const
{
    return !m_status->provider().isEmpty() && socket->peerAddress().isLoopback() &&
           isForwarded(socket->request().rawHeader(forwardedForHeader));
}

QString LocalServer::sourceOf(const QWebSocket *socket) const
{
    // Through the tunnel every client connects from here: ngrok names each in the last address of
    // X-Forwarded-For (what comes before is the client's own say). A local program sending the header
    // only picks which tunnel source it counts as.
    if (isTunnelled(socket))
        return QStringLiteral("tunnel ") +
               QString::fromLatin1(
                   socket->request().rawHeader(forwardedForHeader).split(',').last().trimmed());
    return peerOf(socket);
}

BrowserOrigin::OwnHosts LocalServer::ownHosts() const
{
    return BrowserOrigin::OwnHosts::forListening(m_address, port(), m_status->publicUrl());
}

void LocalServer::answerControl(const QHttpServerRequest &request, QHttpServerResponder &&responder,
                                bool available,
                                const std::function<ControlRequest::Answer(const QHostAddress &peer)> &answer)
{
    if (isWebSocketUpgrade(request))
        return;
    if (!m_control || !m_control->enabled() || !available) {
        responder.write(QHttpServerResponder::StatusCode::NotFound);
        return;
    }
    if (request.method() != QHttpServerRequest::Method::Post) {
        responder.write(QHttpServerResponder::StatusCode::MethodNotAllowed);
        return;
    }
    // What came through the tunnel is not from this computer, whatever its address.
    const QHostAddress peer =
        isForwarded(request.value(forwardedForHeader)) ? QHostAddress() : request.remoteAddress();
    const ControlRequest::Answer answered = answer(peer);
    responder.write(answered.body, {{"Content-Type", "application/json"}, {"Cache-Control", "no-store"}},
                    static_cast<QHttpServerResponder::StatusCode>(answered.status));
}

ControlRequest::Answer LocalServer::endSessions(const QByteArray &body)
{
    const QJsonObject request = QJsonDocument::fromJson(body).object();
    const QString id = request.value(QStringLiteral("id")).toString();
    if (id.isEmpty() == (request.value(QStringLiteral("all")) != QJsonValue(true)))
        return ControlRequest::error(400, QStringLiteral("the body must name a session id or say all: true"));
    const int ended = m_services.sessions->end(id, QStringLiteral("host"));
    if (!id.isEmpty() && ended == 0)
        return ControlRequest::error(404, QStringLiteral("no such session"));
    return {200,
            QJsonDocument(QJsonObject{{QStringLiteral("ending"), ended}}).toJson(QJsonDocument::Compact)};
}
