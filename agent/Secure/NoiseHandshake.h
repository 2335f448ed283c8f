#pragma once

#include "Secure/NoiseCipherState.h"

#include <QByteArray>
#include <QByteArrayView>

#include <optional>

// The Noise handshake Noise_NK_25519_ChaChaPoly_SHA256, either side: the initiator (a tablet) knows the
// responder's (the agent's) static public key beforehand; `-> e, es` then `<- e, ee`. Only a responder that
// holds the static secret key can answer the first message in a way the initiator can read, and each
// handshake's fresh ephemeral keys give every connection keys of its own.
class NoiseHandshake {
public:
    enum class Role { initiator, responder };
    static constexpr qsizetype keyBytes = 32;
    // Each handshake message: an ephemeral public key, then the payload sealed with its tag.
    static constexpr qsizetype messageOverhead = keyBytes + NoiseCipherState::tagBytes;

    // The initiator gives the responder's static public key, the responder its own static secret key.
    // Without `ephemeralSecret` the ephemeral key is drawn from the system's secure random source; a fixed
    // one is for checking against published handshakes.
    NoiseHandshake(Role role, QByteArrayView prologue, const QByteArray &staticKey,
                   const QByteArray &ephemeralSecret = {});

    // This side's next message carrying `payload`; none when it is not this side's turn or the handshake
    // failed.
    std::optional<QByteArray> writeMessage(QByteArrayView payload);
    // The payload of the other side's next message; none when it is not its turn, or when the message is
    // short or does not verify, which fails the handshake for good.
    std::optional<QByteArray> readMessage(QByteArrayView message);

    bool isComplete() const { return m_step == finished; }
    // Once complete: the cipher state this side sends with, and the one it receives with.
    NoiseCipherState sending() const;
    NoiseCipherState receiving() const;

private:
    static constexpr int finished = 2;

    bool writesNext() const;
    void mixHash(QByteArrayView data);
    bool mixKey(const QByteArray &secret, const QByteArray &publicKey);
    std::pair<QByteArray, QByteArray> split() const;
    void fail();

    Role m_role;
    int m_step = 0;
    QByteArray m_chainingKey;
    QByteArray m_hash;
    NoiseCipherState m_cipher;
    QByteArray m_staticSecret;
    QByteArray m_responderStatic;
    QByteArray m_ephemeralSecret;
    QByteArray m_ephemeralPublic;
    QByteArray m_remoteEphemeral;
};
