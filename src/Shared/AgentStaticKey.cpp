#include "Shared/AgentStaticKey.h"

#include <QCryptographicHash>
#include <QStringList>

#include <sodium.h>

namespace AgentStaticKey {

namespace {

constexpr auto base64Options = QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals;
constexpr qsizetype fingerprintBytes = 8;

bool sodiumReady()
{
    // Safe to call again and from any thread; negative only when the library cannot work at all.
    return sodium_init() >= 0;
}

} // namespace

std::optional<KeyPair> generate()
{
    if (!sodiumReady())
        return std::nullopt;
    KeyPair pair{QByteArray(keyBytes, Qt::Uninitialized), QByteArray(keyBytes, Qt::Uninitialized)};
    randombytes_buf(pair.secretKey.data(), keyBytes);
    if (crypto_scalarmult_base(reinterpret_cast<unsigned char *>(pair.publicKey.data()),
                               reinterpret_cast<const unsigned char *>(pair.secretKey.constData())) != 0)
        return std::nullopt;
    return pair;
}

std::optional<QByteArray> publicKeyOf(const QByteArray &secretKey)
{
    if (secretKey.size() != keyBytes || !sodiumReady())
        return std::nullopt;
    QByteArray publicKey(keyBytes, Qt::Uninitialized);
    if (crypto_scalarmult_base(reinterpret_cast<unsigned char *>(publicKey.data()),
                               reinterpret_cast<const unsigned char *>(secretKey.constData())) != 0)
        return std::nullopt;
    return publicKey;
}

QString encode(const QByteArray &key)
{
    return QString::fromLatin1(key.toBase64(base64Options));
}

std::optional<QByteArray> decode(QStringView text)
{
    const QByteArray latin = text.toLatin1();
    const auto decoded =
        QByteArray::fromBase64Encoding(latin, base64Options | QByteArray::AbortOnBase64DecodingErrors);
    // Only the canonical text: a key has one spelling, so two links or files never disagree about it.
    if (!decoded || decoded.decoded.size() != keyBytes || decoded.decoded.toBase64(base64Options) != latin)
        return std::nullopt;
    return decoded.decoded;
}

QString fingerprint(const QByteArray &publicKey)
{
    const QByteArray hex =
        QCryptographicHash::hash(publicKey, QCryptographicHash::Sha256).left(fingerprintBytes).toHex();
    QStringList groups;
    for (qsizetype at = 0; at < hex.size(); at += 4)
        groups << QString::fromLatin1(hex.mid(at, 4));
    return groups.join(QLatin1Char(' '));
}

} // namespace AgentStaticKey
