#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <optional>

// One direction of an encrypted channel: a ChaCha20-Poly1305 key and the count of messages sealed or opened
// with it, which is each message's nonce. Both ends count alike, so a message that is lost, repeated or
// reordered no longer opens, and the channel ends rather than read it.
class NoiseCipherState {
public:
    static constexpr qsizetype keyBytes = 32;
    static constexpr qsizetype tagBytes = 16;

    // Without a key (the handshake before its first key) messages pass as they are.
    NoiseCipherState() = default;
    explicit NoiseCipherState(QByteArray key);

    bool hasKey() const { return !m_key.isEmpty(); }
    quint64 nonce() const { return m_nonce; }

    // The ciphertext (plaintext and tag), or none once the counter is spent; the counter never wraps.
    std::optional<QByteArray> encrypt(QByteArrayView associated, QByteArrayView plaintext);
    // The plaintext, or none when the message does not verify under this key and counter.
    std::optional<QByteArray> decrypt(QByteArrayView associated, QByteArrayView ciphertext);

private:
    QByteArray nonceBytes() const;

    QByteArray m_key;
    quint64 m_nonce = 0;
};
