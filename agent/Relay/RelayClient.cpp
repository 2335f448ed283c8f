#include "Relay/RelayClient.h"

#include "AgentLog.h"

#include <QNetworkRequest>
#include <QTcpSocket>

namespace {

// The relay hides the tablets' addresses: the log names them all as one source.
const QString relaySource = QStringLiteral("relay peer");

} // namespace

RelayClient::RelayClient(QUrl endpoint, QString relayToken, RelayCodec codec, ConversationServices services,
                         RelayBackoff backoff, const AgentTimings &timings, TunnelStatus *status,
                         QObject *parent)
    : QObject(parent), m_endpoint(std::move(endpoint)), m_relayToken(std::move(relayToken)),
      m_codec(std::move(codec)), m_services(services), m_backoff(std::move(backoff)), m_status(status),
      m_backlog(services.writeStallMs)
{
    // Every tablet behind the relay shares the link: while the relay does not read, none gets output, and a
    // relay that stops reading altogether is dropped and connected again.
    connect(
        &m_backlog, &WriteBacklog::stuck, this,
        [this](const QString &why) {
            AgentLog::event(QStringLiteral("relay: the link does not drain (%1)").arg(why));
            m_socket.abort();
        },
        Qt::QueuedConnection);
    m_socket.setMaxAllowedIncomingFrameSize(maxFrameBytes);
    m_socket.setMaxAllowedIncomingMessageSize(maxFrameBytes);
    m_retryTimer.setSingleShot(true);
    connect(&m_retryTimer, &QTimer::timeout, this, &RelayClient::connectNow);
    connect(&m_socket, &QWebSocket::connected, this, &RelayClient::onConnected);
    // Qt calls this on every close frame, sent or answered, before it closes the connection.
    connect(&m_socket, &QWebSocket::aboutToClose, this, [this] { m_closeHandshake = true; });
    connect(&m_socket, &QWebSocket::disconnected, this, &RelayClient::onDisconnected);
    connect(&m_socket, &QWebSocket::textMessageReceived, this, &RelayClient::onFrame);
    // A refused handshake or an unreachable relay ends in an error without a disconnection.
    connect(&m_socket, qOverload<QAbstractSocket::SocketError>(&QWebSocket::error), this, [this] {
        if (m_socket.state() == QAbstractSocket::UnconnectedState)
            onDisconnected();
    });
    m_keepaliveTimer.setInterval(timings.relayKeepaliveIntervalMs);
    connect(&m_keepaliveTimer, &QTimer::timeout, this, [this] {
        if (m_pongPending) {
            AgentLog::event(QStringLiteral("relay: no answer to a ping"));
            m_socket.abort();
            return;
        }
        m_pongPending = true;
        m_socket.ping();
    });
    connect(&m_socket, &QWebSocket::pong, this, [this] { m_pongPending = false; });
    m_connectTimer.setSingleShot(true);
    // A coarse timer may fire up to 5 % early, and the documented limit is a promise to relay operators.
    m_connectTimer.setTimerType(Qt::PreciseTimer);
    m_connectTimer.setInterval(timings.relayConnectTimeoutMs);
    connect(&m_connectTimer, &QTimer::timeout, this, [this] {
        AgentLog::event(QStringLiteral("relay: connecting timed out"));
        m_socket.abort();
        onDisconnected();
    });
    if (!m_codec.loadWarning().isEmpty())
        AgentLog::error(QStringLiteral("relay: ") + m_codec.loadWarning());
}

void RelayClient::start()
{
    m_stopped = false;
    connectNow();
}

void RelayClient::stop()
{
    m_stopped = true;
    m_retryTimer.stop();
    m_connectTimer.stop();
    m_keepaliveTimer.stop();
    if (m_socket.state() != QAbstractSocket::UnconnectedState)
        m_socket.close(QWebSocketProtocol::CloseCodeGoingAway, QStringLiteral("agent is stopping"));
    setState(QStringLiteral("stopped"));
}

void RelayClient::connectNow()
{
    if (m_stopped)
        return;
    setState(QStringLiteral("connecting"));
    AgentLog::event(
        QStringLiteral("relay: connecting to %1 (%2)").arg(endpointForLog(), rawValue(m_codec.version())));
    QNetworkRequest request(m_endpoint);
    // The token travels in a header, never in the URL, which proxies and relays may log.
    request.setRawHeader("Authorization", "Bearer " + m_relayToken.toUtf8());
    m_connectTimer.start();
    m_socket.open(request);
    // Qt ends the link by itself when a frame is over the limit, and says so only through its frame reader,
    // a child of the socket, which loses every connection whenever the socket opens.
    for (QObject *child : m_socket.children()) {
        if (child->metaObject()->indexOfSignal("errorEncountered(QWebSocketProtocol::CloseCode,QString)") >=
            0)
            connect(child, SIGNAL(errorEncountered(QWebSocketProtocol::CloseCode, QString)), this,
                    SLOT(onReadError(QWebSocketProtocol::CloseCode)), Qt::UniqueConnection);
    }
}

void RelayClient::onConnected()
{
    m_connectTimer.stop();
    m_pongPending = false;
    m_closeHandshake = false;
    m_keepaliveTimer.start();
    m_backoff.reset();
    // The WebSocket makes a new connection for each attempt; an earlier one may linger until deleted.
    QTcpSocket *connection = nullptr;
    for (QTcpSocket *candidate : m_socket.findChildren<QTcpSocket *>()) {
        if (candidate->state() == QAbstractSocket::ConnectedState)
            connection = candidate;
    }
    m_backlog.watch(connection);
    setState(QStringLiteral("connected"));
    AgentLog::event(QStringLiteral("relay: connected"));
    sendFrame(m_codec.hello());
    for (const QString &frame : m_codec.unacknowledgedOutbound())
        sendFrame(frame);
}

void RelayClient::onDisconnected()
{
    const bool wasConnected = m_state == QLatin1String("connected");
    // Error and disconnection may both report one loss.
    m_keepaliveTimer.stop();
    if (m_stopped || m_retryTimer.isActive())
        return;
    m_connectTimer.stop();
    // Qt keeps the code of an earlier close (or 1000) when the connection simply breaks.
    const int closeCode =
        m_closeHandshake ? m_socket.closeCode() : QWebSocketProtocol::CloseCodeAbnormalDisconnection;
    AgentLog::event(wasConnected
                        ? QStringLiteral("relay: connection lost (%1)").arg(closeCode)
                        : QStringLiteral("relay: connection failed: %1").arg(m_socket.errorString()));
    // Without resume a tablet's conversation cannot survive the loss; it authenticates again.
    if (!m_codec.resumable()) {
        for (TabletConversation *conversation : std::as_const(m_conversations))
            conversation->deleteLater();
        m_conversations.clear();
        m_channels.clear();
    }
    const int delay = m_backoff.nextDelayMs();
    setState(QStringLiteral("waiting"));
    AgentLog::event(QStringLiteral("relay: reconnecting in %1 ms").arg(delay));
    m_retryTimer.start(delay);
}

void RelayClient::onFrame(const QString &text)
{
    const RelayCodec::Inbound inbound = m_codec.decode(text);
    switch (inbound.kind) {
    case RelayCodec::Inbound::invalid:
        // Never silent: a relay that gets a frame wrong must be able to find out why nothing happens.
        AgentLog::error(QStringLiteral("relay: dropped a frame: %1").arg(inbound.problem));
        if (m_codec.resumable() && inbound.seq > 0)
            sendFrame(m_codec.acknowledge(inbound.seq));
        return;
    case RelayCodec::Inbound::relayAck:
        return;
    case RelayCodec::Inbound::duplicate:
        sendFrame(m_codec.acknowledge(inbound.seq));
        return;
    case RelayCodec::Inbound::peerClosed:
        dropSession(inbound.peer);
        break;
    case RelayCodec::Inbound::data:
        // The same limits as on /ws: the channel ends a tablet's conversation whose message is too large.
        conversationFor(inbound.peer);
        take(inbound.peer, m_channels[inbound.peer].receiveRelayPayload(inbound.payload));
        break;
    }
    if (m_codec.resumable())
        sendFrame(m_codec.acknowledge(inbound.seq));
}

void RelayClient::onReadError(QWebSocketProtocol::CloseCode code)
{
    if (code != QWebSocketProtocol::CloseCodeTooMuchData)
        return;
    // Frames arrive in order and each is acknowledged once handled, so the one Qt refused is the next after
    // the last acknowledged. Acknowledging it keeps the relay from replaying it into the same end, again and
    // again; its tablet never gets an answer to it.
    if (m_codec.resumable()) {
        const qint64 seq = m_codec.state().lastAckedInbound + 1;
        m_codec.acknowledge(seq);
        AgentLog::error(QStringLiteral("relay: frame %1 was over %2 bytes and ended the link; it is skipped")
                            .arg(seq)
                            .arg(maxFrameBytes));
    } else {
        AgentLog::error(
            QStringLiteral("relay: a frame over %1 bytes ended the link; it is dropped").arg(maxFrameBytes));
    }
}

TabletConversation *RelayClient::conversationFor(const QString &peer)
{
    if (TabletConversation *conversation = m_conversations.value(peer))
        return conversation;
    // Each peer id is one tablet's connection: past the bound, the one that has waited longest gives way.
    const quint64 id = ++m_nextPeer;
    if (const auto givesWay = m_waiting.arrive(id, peer)) {
        const QString older = m_waitingPeers.take(*givesWay);
        sendFrame(m_codec.encodeClose(older, QWebSocketProtocol::CloseCodePolicyViolated,
                                      QStringLiteral("too many unauthenticated connections")));
        dropSession(older);
    }
    m_waitingPeers.insert(id, peer);
    // The relay hides the tablets' addresses, so the throttle counts each peer on its own: one tablet that
    // keeps failing must not slow down the others. The log names them together, as one source.
    auto *conversation = new TabletConversation(relaySource, m_services, this);
    conversation->setRoute(TrustedDevicesFile::relayRoute);
    conversation->setThrottleKey(relaySource + QLatin1Char(' ') + peer);
    conversation->setBacklog(&m_backlog);
    m_conversations.insert(peer, conversation);
    // Behind the relay no tablet is on this computer: only the mend lets one in without encryption.
    m_channels.insert(peer, SecureChannel(m_services.agentKey, m_services.allowUnencryptedClients));
    connect(conversation, &TabletConversation::authenticationSettled, this, [this, id] {
        m_waiting.leave(id);
        m_waitingPeers.remove(id);
    });
    connect(conversation, &QObject::destroyed, this, [this, id] {
        m_waiting.leave(id);
        m_waitingPeers.remove(id);
    });
    connect(conversation, &TabletConversation::send, this, [this, peer, conversation](const QString &text) {
        // A conversation already given up may still speak; the peer id may belong to a new one by then.
        if (m_conversations.value(peer) != conversation)
            return;
        SecureChannel &channel = m_channels[peer];
        if (channel.state() == SecureChannel::State::unencrypted)
            sendFrame(m_codec.encodeData(peer, text));
        else if (const std::optional<QByteArray> sealed = channel.seal(text))
            sendFrame(m_codec.encodeData(peer, SecureChannel::relayPayload(*sealed)));
    });
    connect(conversation, &TabletConversation::closeRequested, this,
            [this, peer](int code, const QString &reason) {
                sendFrame(m_codec.encodeClose(peer, code, reason));
                dropSession(peer);
            });
    return conversation;
}

void RelayClient::take(const QString &peer, const SecureChannel::Received &received)
{
    if (!received.reply.isEmpty())
        sendFrame(m_codec.encodeData(peer, SecureChannel::relayPayload(received.reply)));
    if (TabletConversation *conversation = m_conversations.value(peer); conversation && received.text)
        conversation->receive(*received.text);
    if (received.closeCode == 0)
        return;
    if (const QString line = SecureChannel::refusalLine(relaySource, received); !line.isEmpty())
        m_services.logRefusal(relaySource, line);
    if (!received.refusalText.isEmpty())
        sendFrame(m_codec.encodeData(peer, received.refusalText));
    sendFrame(m_codec.encodeClose(peer, received.closeCode, received.closeReason));
    dropSession(peer);
}

void RelayClient::dropSession(const QString &peer)
{
    m_channels.remove(peer);
    if (TabletConversation *conversation = m_conversations.take(peer))
        conversation->deleteLater();
}

void RelayClient::sendFrame(const QString &frame)
{
    // While disconnected, elixirV2 frames wait in the codec's resend list; goV1 frames are lost with the
    // link.
    if (!frame.isEmpty() && m_socket.state() == QAbstractSocket::ConnectedState) {
        m_socket.sendTextMessage(frame);
        m_backlog.queued();
    }
}

void RelayClient::setState(const QString &state)
{
    if (m_state == state)
        return;
    m_state = state;
    m_status->setRelayState(state);
    emit stateChanged();
}

QString RelayClient::endpointForLog() const
{
    // The path carries the session id, which the host treats as a secret.
    return m_endpoint.toString(QUrl::RemovePath | QUrl::RemoveQuery | QUrl::RemoveUserInfo);
}
