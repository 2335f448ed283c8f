#include "Secure/NoiseCipherState.h"

#include <QtEndian>

#include <limits>

#include <sodium.h>

namespace {

// The last counter value is never used, so that no two messages can share a nonce even if a count were off.
constexpr quint64 spentNonce = std::numeric_limits<quint64>::max();

const unsigned char *bytes(QByteArrayView view)
{
    return reinterpret_cast<const unsigned char *>(view.data());
}

} // namespace

NoiseCipherState::NoiseCipherState(QByteArray key) : m_key(std::move(key))
{
    Q_ASSERT(m_key.size() == keyBytes);
}

QByteArray NoiseCipherState::nonceBytes() const
{
    // Four zero bytes, then the counter in little-endian order.
    QByteArray nonce(crypto_aead_chacha20poly1305_IETF_NPUBBYTES, '\0');
    qToLittleEndian(m_nonce, nonce.data() + 4);
    return nonce;
}

std::optional<QByteArray> NoiseCipherState::encrypt(QByteArrayView associated, QByteArrayView plaintext)
{
    if (!hasKey())
        return plaintext.toByteArray();
    if (m_nonce == spentNonce)
        return std::nullopt;
    QByteArray ciphertext(plaintext.size() + tagBytes, Qt::Uninitialized);
    unsigned long long written = 0;
    crypto_aead_chacha20poly1305_ietf_encrypt(
        reinterpret_cast<unsigned char *>(ciphertext.data()), &written, bytes(plaintext),
        static_cast<unsigned long long>(plaintext.size()), bytes(associated),
        static_cast<unsigned long long>(associated.size()), nullptr, bytes(nonceBytes()), bytes(m_key));
    ++m_nonce;
    return ciphertext;
}

std::optional<QByteArray> NoiseCipherState::decrypt(QByteArrayView associated, QByteArrayView ciphertext)
{
    if (!hasKey())
        return ciphertext.toByteArray();
    if (m_nonce == spentNonce || ciphertext.size() < tagBytes)
        return std::nullopt;
    QByteArray plaintext(ciphertext.size() - tagBytes, Qt::Uninitialized);
    unsigned long long written = 0;
    if (crypto_aead_chacha20poly1305_ietf_decrypt(
            reinterpret_cast<unsigned char *>(plaintext.data()), &written, nullptr, bytes(ciphertext),
            static_cast<unsigned long long>(ciphertext.size()), bytes(associated),
            static_cast<unsigned long long>(associated.size()), bytes(nonceBytes()), bytes(m_key)) != 0)
        return std::nullopt;
    ++m_nonce;
    return plaintext;
}
