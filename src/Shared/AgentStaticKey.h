#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// The agent's static X25519 key, which every tablet pins from the setup link: the encrypted channel's
// handshake proves the agent holds its secret half, so a look-alike agent on the network learns nothing.
// The secret half travels like the pairing's other secrets (keyring or secrets file, then the agent's
// environment); links carry only the public half. Both are written as 32 bytes in URL-safe Base64 without
// padding (43 characters).
namespace AgentStaticKey {

inline constexpr qsizetype keyBytes = 32;

struct KeyPair {
    QByteArray secretKey;
    QByteArray publicKey;
};

// A key pair from the system's secure random source; none when the crypto library cannot start.
std::optional<KeyPair> generate();
// The public half of a secret key; none for a key that is not `keyBytes` long.
std::optional<QByteArray> publicKeyOf(const QByteArray &secretKey);

QString encode(const QByteArray &key);
// The key of a text that is exactly the canonical encoding of `keyBytes` bytes; none otherwise.
std::optional<QByteArray> decode(QStringView text);

// What a person compares by eye: the first 8 bytes of the public key's SHA-256, in lower-case hex, in four
// groups of four separated by blanks ("9f3a 01bc 77de 2c10").
QString fingerprint(const QByteArray &publicKey);

} // namespace AgentStaticKey
