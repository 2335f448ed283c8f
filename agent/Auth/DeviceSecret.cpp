#include "Auth/DeviceSecret.h"

#include "Auth/SecretComparison.h"

#include <QCryptographicHash>
#include <QRandomGenerator>

#include <array>

namespace {
constexpr qsizetype secretBytes = 32;
const QString sha256Prefix = QStringLiteral("sha256:");

QByteArray digest(const QString &secret)
{
    return QCryptographicHash::hash(secret.toUtf8(), QCryptographicHash::Sha256);
}
} // namespace

namespace DeviceSecret {

QString generate()
{
    std::array<quint32, secretBytes / sizeof(quint32)> words{};
    QRandomGenerator::system()->generate(words.begin(), words.end());
    const QByteArray bytes(reinterpret_cast<const char *>(words.data()), secretBytes);
    return QString::fromLatin1(
        bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

QString hash(const QString &secret)
{
    return sha256Prefix + QString::fromLatin1(digest(secret).toHex());
}

bool matches(const QString &presented, const QString &storedHash)
{
    const QByteArray stored = storedHash.startsWith(sha256Prefix)
                                  ? QByteArray::fromHex(storedHash.mid(sha256Prefix.size()).toLatin1())
                                  : QByteArray();
    // A malformed hash still costs one comparison, against a digest nothing hashes to in practice.
    const bool wellFormed = stored.size() == 32 && storedHash.size() == sha256Prefix.size() + 64;
    return digestsEqual(digest(presented), wellFormed ? stored : QByteArray(32, '\0')) && wellFormed;
}

} // namespace DeviceSecret
