#include "Secure/NoiseHandshake.h"

#include <sodium.h>

namespace {

// Exactly as long as the hash: it is the first hash as it is.
constexpr char protocolName[] = "Noise_NK_25519_ChaChaPoly_SHA256";
static_assert(sizeof(protocolName) - 1 == NoiseHandshake::keyBytes);
constexpr int failed = -1;

unsigned char *bytes(QByteArray &data)
{
    return reinterpret_cast<unsigned char *>(data.data());
}

const unsigned char *bytes(QByteArrayView data)
{
    return reinterpret_cast<const unsigned char *>(data.data());
}

QByteArray hmac(const QByteArray &key, QByteArrayView first, QByteArrayView second = {})
{
    crypto_auth_hmacsha256_state state;
    crypto_auth_hmacsha256_init(&state, bytes(key), static_cast<size_t>(key.size()));
    crypto_auth_hmacsha256_update(&state, bytes(first), static_cast<unsigned long long>(first.size()));
    crypto_auth_hmacsha256_update(&state, bytes(second), static_cast<unsigned long long>(second.size()));
    QByteArray digest(crypto_auth_hmacsha256_BYTES, Qt::Uninitialized);
    crypto_auth_hmacsha256_final(&state, bytes(digest));
    return digest;
}

// The handshake's key derivation (HKDF with HMAC-SHA256, two outputs).
std::pair<QByteArray, QByteArray> hkdf(const QByteArray &chainingKey, QByteArrayView input)
{
    const QByteArray pseudorandomKey = hmac(chainingKey, input);
    const QByteArray first = hmac(pseudorandomKey, QByteArrayView("\x01", 1));
    return {first, hmac(pseudorandomKey, first, QByteArrayView("\x02", 1))};
}

std::optional<QByteArray> publicKeyOf(const QByteArray &secret)
{
    QByteArray publicKey(NoiseHandshake::keyBytes, Qt::Uninitialized);
    if (secret.size() != NoiseHandshake::keyBytes ||
        crypto_scalarmult_base(bytes(publicKey), bytes(secret)) != 0)
        return std::nullopt;
    return publicKey;
}

} // namespace

NoiseHandshake::NoiseHandshake(Role role, QByteArrayView prologue, const QByteArray &staticKey,
                               const QByteArray &ephemeralSecret)
    : m_role(role), m_chainingKey(protocolName), m_hash(protocolName), m_ephemeralSecret(ephemeralSecret)
{
    if (sodium_init() < 0) {
        fail();
        return;
    }
    if (m_ephemeralSecret.isEmpty()) {
        m_ephemeralSecret.resize(keyBytes);
        randombytes_buf(m_ephemeralSecret.data(), keyBytes);
    }
    if (role == Role::responder)
        m_staticSecret = staticKey;
    const auto ephemeralPublic = publicKeyOf(m_ephemeralSecret);
    const auto responderStatic = role == Role::responder ? publicKeyOf(staticKey) : std::optional(staticKey);
    if (!ephemeralPublic || !responderStatic || responderStatic->size() != keyBytes) {
        fail();
        return;
    }
    m_ephemeralPublic = *ephemeralPublic;
    m_responderStatic = *responderStatic;
    mixHash(prologue);
    // The one key known before the first message: the responder's static public key.
    mixHash(m_responderStatic);
}

bool NoiseHandshake::writesNext() const
{
    return (m_step == 0) == (m_role == Role::initiator);
}

std::optional<QByteArray> NoiseHandshake::writeMessage(QByteArrayView payload)
{
    if (m_step == failed || m_step == finished || !writesNext())
        return std::nullopt;
    mixHash(m_ephemeralPublic);
    // es from the initiator's side for the first message, ee for the second.
    if (!mixKey(m_ephemeralSecret, m_step == 0 ? m_responderStatic : m_remoteEphemeral)) {
        fail();
        return std::nullopt;
    }
    const std::optional<QByteArray> sealed = m_cipher.encrypt(m_hash, payload);
    if (!sealed) {
        fail();
        return std::nullopt;
    }
    mixHash(*sealed);
    ++m_step;
    return m_ephemeralPublic + *sealed;
}

std::optional<QByteArray> NoiseHandshake::readMessage(QByteArrayView message)
{
    if (m_step == failed || m_step == finished || writesNext())
        return std::nullopt;
    if (message.size() < messageOverhead) {
        fail();
        return std::nullopt;
    }
    m_remoteEphemeral = message.first(keyBytes).toByteArray();
    mixHash(m_remoteEphemeral);
    // es from the responder's side for the first message, ee for the second.
    const QByteArrayView sealed = message.sliced(keyBytes);
    std::optional<QByteArray> payload;
    if (mixKey(m_step == 0 ? m_staticSecret : m_ephemeralSecret, m_remoteEphemeral))
        payload = m_cipher.decrypt(m_hash, sealed);
    if (!payload) {
        fail();
        return std::nullopt;
    }
    mixHash(sealed);
    ++m_step;
    return payload;
}

NoiseCipherState NoiseHandshake::sending() const
{
    if (!isComplete())
        return {};
    const auto [first, second] = split();
    return NoiseCipherState(m_role == Role::initiator ? first : second);
}

NoiseCipherState NoiseHandshake::receiving() const
{
    if (!isComplete())
        return {};
    const auto [first, second] = split();
    return NoiseCipherState(m_role == Role::initiator ? second : first);
}

void NoiseHandshake::mixHash(QByteArrayView data)
{
    crypto_hash_sha256_state state;
    crypto_hash_sha256_init(&state);
    crypto_hash_sha256_update(&state, bytes(m_hash), static_cast<unsigned long long>(m_hash.size()));
    crypto_hash_sha256_update(&state, bytes(data), static_cast<unsigned long long>(data.size()));
    crypto_hash_sha256_final(&state, bytes(m_hash));
}

bool NoiseHandshake::mixKey(const QByteArray &secret, const QByteArray &publicKey)
{
    QByteArray shared(keyBytes, Qt::Uninitialized);
    // Refused for a public key of small order, whose shared secret would be known to anyone.
    if (secret.size() != keyBytes || publicKey.size() != keyBytes ||
        crypto_scalarmult(bytes(shared), bytes(secret), bytes(publicKey)) != 0)
        return false;
    auto [chainingKey, key] = hkdf(m_chainingKey, shared);
    sodium_memzero(shared.data(), static_cast<size_t>(shared.size()));
    m_chainingKey = std::move(chainingKey);
    m_cipher = NoiseCipherState(std::move(key));
    return true;
}

std::pair<QByteArray, QByteArray> NoiseHandshake::split() const
{
    return hkdf(m_chainingKey, {});
}

void NoiseHandshake::fail()
{
    m_step = failed;
    m_cipher = NoiseCipherState();
}
