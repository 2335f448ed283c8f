#pragma once

#include "AgentTimings.h"
#include "Http/WaitingConnections.h"
#include "Http/WriteBacklog.h"
#include "Relay/RelayBackoff.h"
#include "Relay/RelayCodec.h"
#include "Secure/SecureChannel.h"
#include "TabletConversation.h"
#include "Tunnel/TunnelStatus.h"

#include <QHash>
#include <QTimer>
#include <QUrl>
#include <QWebSocket>

// The agent's outgoing link to a relay: connects to the session's relay endpoint with the relay token in
// an Authorization header, serves every tablet that reaches it through the relay exactly as on /ws, and
// reconnects after any loss with capped exponential backoff until stopped.
class RelayClient : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString state READ state NOTIFY stateChanged)

public:
    // `timings` gives the connect timeout and the keepalive interval.
    RelayClient(QUrl endpoint, QString relayToken, RelayCodec codec, ConversationServices services,
                RelayBackoff backoff, const AgentTimings &timings, TunnelStatus *status,
                QObject *parent = nullptr);

    // "connecting", "connected", "waiting" (for the next attempt) or "stopped".
    QString state() const { return m_state; }
    void start();
    void stop();

    // The largest relay frame read: a tablet message at the size limit, however the relay escapes it (six
    // bytes for a control character), with room to spare. A payload over the limit in a frame up to this
    // size ends only that tablet's conversation; a larger frame ends the link, once (see onReadError).
    static constexpr qint64 maxFrameBytes = 16 * 1024 * 1024;

signals:
    void stateChanged();

private slots:
    void onReadError(QWebSocketProtocol::CloseCode code);

private:
    void connectNow();
    void onConnected();
    void onDisconnected();
    void onFrame(const QString &text);
    TabletConversation *conversationFor(const QString &peer);
    // Does what the peer's channel made of its message.
    void take(const QString &peer, const SecureChannel::Received &received);
    void dropSession(const QString &peer);
    void sendFrame(const QString &frame);
    void setState(const QString &state);
    QString endpointForLog() const;

    QUrl m_endpoint;
    QString m_relayToken;
    RelayCodec m_codec;
    ConversationServices m_services;
    RelayBackoff m_backoff;
    TunnelStatus *m_status;
    QWebSocket m_socket;
    QTimer m_retryTimer;
    QTimer m_connectTimer;
    QTimer m_keepaliveTimer;
    bool m_pongPending = false;
    // Whether a close frame went either way on this connection; without one the relay saw no code (1006).
    bool m_closeHandshake = false;
    QHash<QString, TabletConversation *> m_conversations;
    // Each conversation's encryption, by the same peer ids.
    QHash<QString, SecureChannel> m_channels;
    // The peers that have not authenticated yet, by the order they came in.
    WaitingConnections m_waiting;
    QHash<quint64, QString> m_waitingPeers;
    quint64 m_nextPeer = 0;
    WriteBacklog m_backlog;
    QString m_state = QStringLiteral("stopped");
    bool m_stopped = true;
};
