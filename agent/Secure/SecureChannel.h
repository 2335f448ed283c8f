#pragma once

#include "Secure/NoiseCipherState.h"
#include "Secure/NoiseHandshake.h"
#include "TabletConversation.h"

#include <QByteArray>
#include <QString>

#include <optional>

// One connection's encryption, between its transport and its conversation: a first message in binary is the
// tablet's half of the handshake (see PROTOCOL.md), after which every message is sealed both ways; a first
// message in text starts an unencrypted conversation, which only some peers may have. Wire bytes go in and
// plaintext comes out for the conversation; its text goes in and wire bytes come out.
class SecureChannel {
public:
    enum class State { awaitingFirstMessage, unencrypted, encrypted, failed };

    // What the transport does with a message it received, in this order.
    struct Received {
        // Sent back at once as it is: the handshake's answer.
        QByteArray reply;
        // The conversation's next message.
        std::optional<QString> text;
        // A plain text message sent before closing: why an unencrypted conversation is refused.
        QString refusalText;
        // Non-zero: the connection is closed with this code and reason.
        int closeCode = 0;
        QString closeReason;
    };

    // The handshake's prologue: both sides mix it in, so a handshake of another protocol never completes.
    static const QByteArray prologue;
    // The only length of the handshake's first message: its payload is empty.
    static constexpr qsizetype handshakeBytes = NoiseHandshake::messageOverhead;
    // The largest sealed message: the largest plaintext a tablet may send, and its tag.
    static constexpr qint64 maxSealedBytes = TabletConversation::maxMessageBytes + NoiseCipherState::tagBytes;
    // The same in a relay frame's Base64 payload.
    static constexpr qint64 maxRelayPayloadChars = 4 * ((maxSealedBytes + 2) / 3);
    // Why a connection closes; the tablet sees them.
    static const QString decryptionFailed;
    static const QString encryptionRequired;
    static const QString noAgentKey;

    // `staticSecret`: the agent's static secret key, or empty when it has none (every handshake is then
    // refused). `unencryptedAllowed`: whether this peer may talk without encryption.
    explicit SecureChannel(QByteArray staticSecret = {}, bool unencryptedAllowed = false);

    State state() const { return m_state; }
    // A binary WebSocket message.
    Received receiveBinary(QByteArrayView message);
    // A text WebSocket message.
    Received receiveText(const QString &text);
    // A relay frame's payload: the Base64 of a binary message, or (as the first, starting with "{") text.
    Received receiveRelayPayload(const QString &payload);

    // The wire bytes of the conversation's `text` on an encrypted channel; none once its counter is spent.
    std::optional<QByteArray> seal(const QString &text);
    static QString relayPayload(const QByteArray &wire);
    // The log line for a connection from `source` that `received` closes; empty when it is not worth one.
    static QString refusalLine(const QString &source, const Received &received);

private:
    Received refuse(int code, const QString &reason);
    Received handshake(QByteArrayView message);

    QByteArray m_staticSecret;
    bool m_unencryptedAllowed;
    State m_state = State::awaitingFirstMessage;
    NoiseCipherState m_sending;
    NoiseCipherState m_receiving;
};
