#include "Auth/SecretComparison.h"

#include <QCryptographicHash>

bool secretsEqual(const QString &presented, const QString &expected)
{
    const QByteArray a = QCryptographicHash::hash(presented.toUtf8(), QCryptographicHash::Sha256);
    const QByteArray b = QCryptographicHash::hash(expected.toUtf8(), QCryptographicHash::Sha256);
    unsigned char difference = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        difference |= static_cast<unsigned char>(a.at(i) ^ b.at(i));
    return difference == 0;
}
