#include "Secure/SecureChannel.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QWebSocketProtocol>

const QByteArray SecureChannel::prologue = QByteArrayLiteral("ferrowyn-e2e-1");
const QString SecureChannel::decryptionFailed = QStringLiteral("decryption failed");
const QString SecureChannel::encryptionRequired = QStringLiteral("encryption required");
const QString SecureChannel::noAgentKey = QStringLiteral("no agent key");

namespace {

const QString tooLarge = QStringLiteral("message too large");

QString encryptionRequiredAnswer()
{
    const QJsonObject error{
        {QStringLiteral("code"), QStringLiteral("encryption_required")},
        {QStringLiteral("message"), QStringLiteral("This agent accepts only encrypted connections")}};
    return QString::fromUtf8(
        QJsonDocument(QJsonObject{{QStringLiteral("id"), QJsonValue::Null}, {QStringLiteral("error"), error}})
            .toJson(QJsonDocument::Compact));
}

} // namespace

SecureChannel::SecureChannel(QByteArray staticSecret, bool unencryptedAllowed)
    : m_staticSecret(std::move(staticSecret)), m_unencryptedAllowed(unencryptedAllowed)
{}

SecureChannel::Received SecureChannel::refuse(int code, const QString &reason)
{
    m_state = State::failed;
    m_sending = NoiseCipherState();
    m_receiving = NoiseCipherState();
    return Received{{}, std::nullopt, {}, code, reason};
}

SecureChannel::Received SecureChannel::receiveBinary(QByteArrayView message)
{
    switch (m_state) {
    case State::awaitingFirstMessage:
        return handshake(message);
    case State::unencrypted:
        return refuse(QWebSocketProtocol::CloseCodeDatatypeNotSupported,
                      QStringLiteral("text messages only"));
    case State::encrypted:
        break;
    case State::failed:
        return {};
    }
    if (message.size() > maxSealedBytes)
        return refuse(QWebSocketProtocol::CloseCodeTooMuchData, tooLarge);
    const std::optional<QByteArray> plaintext = m_receiving.decrypt({}, message);
    if (!plaintext)
        return refuse(QWebSocketProtocol::CloseCodePolicyViolated, decryptionFailed);
    return Received{{}, QString::fromUtf8(*plaintext), {}, 0, {}};
}

SecureChannel::Received SecureChannel::handshake(QByteArrayView message)
{
    if (m_staticSecret.isEmpty())
        return refuse(QWebSocketProtocol::CloseCodePolicyViolated, noAgentKey);
    NoiseHandshake responder(NoiseHandshake::Role::responder, prologue, m_staticSecret);
    const std::optional<QByteArray> payload =
        message.size() == handshakeBytes ? responder.readMessage(message) : std::nullopt;
    const std::optional<QByteArray> answer = payload ? responder.writeMessage({}) : std::nullopt;
    if (!answer)
        return refuse(QWebSocketProtocol::CloseCodePolicyViolated, decryptionFailed);
    m_sending = responder.sending();
    m_receiving = responder.receiving();
    m_state = State::encrypted;
    return Received{*answer, std::nullopt, {}, 0, {}};
}

SecureChannel::Received SecureChannel::receiveText(const QString &text)
{
    switch (m_state) {
    case State::awaitingFirstMessage:
        if (!m_unencryptedAllowed) {
            Received refused = refuse(QWebSocketProtocol::CloseCodePolicyViolated, encryptionRequired);
            refused.refusalText = encryptionRequiredAnswer();
            return refused;
        }
        m_state = State::unencrypted;
        break;
    case State::unencrypted:
        break;
    case State::encrypted:
        return refuse(QWebSocketProtocol::CloseCodeDatatypeNotSupported,
                      QStringLiteral("binary messages only"));
    case State::failed:
        return {};
    }
    if (text.size() > TabletConversation::maxMessageBytes ||
        text.toUtf8().size() > TabletConversation::maxMessageBytes)
        return refuse(QWebSocketProtocol::CloseCodeTooMuchData, tooLarge);
    return Received{{}, text, {}, 0, {}};
}

SecureChannel::Received SecureChannel::receiveRelayPayload(const QString &payload)
{
    const bool text = m_state == State::unencrypted || (m_state == State::awaitingFirstMessage &&
                                                        payload.trimmed().startsWith(QLatin1Char('{')));
    if (text || m_state == State::failed)
        return receiveText(payload);
    if (payload.size() > maxRelayPayloadChars)
        return refuse(QWebSocketProtocol::CloseCodeTooMuchData, tooLarge);
    const auto decoded = QByteArray::fromBase64Encoding(
        payload.toLatin1(), QByteArray::Base64Encoding | QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return refuse(QWebSocketProtocol::CloseCodePolicyViolated, decryptionFailed);
    return receiveBinary(decoded.decoded);
}

std::optional<QByteArray> SecureChannel::seal(const QString &text)
{
    if (m_state != State::encrypted)
        return std::nullopt;
    return m_sending.encrypt({}, text.toUtf8());
}

QString SecureChannel::relayPayload(const QByteArray &wire)
{
    return QString::fromLatin1(wire.toBase64());
}

QString SecureChannel::refusalLine(const QString &source, const Received &received)
{
    if (received.closeReason == encryptionRequired)
        return QStringLiteral("connection from %1 refused: not encrypted").arg(source);
    if (received.closeReason == decryptionFailed)
        return QStringLiteral("connection from %1 closed: decryption failed").arg(source);
    return {};
}
