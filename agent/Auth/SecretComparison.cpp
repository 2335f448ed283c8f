#include "Auth/SecretComparison.h"

#include <QCryptographicHash>

bool secretsEqual(const QString &presented, const QString &expected)
{
    return digestsEqual(QCryptographicHash::hash(presented.toUtf8(), QCryptographicHash::Sha256),
                        QCryptographicHash::hash(expected.toUtf8(), QCryptographicHash::Sha256));
}

bool digestsEqual(const QByteArray &a, const QByteArray &b)
{
    if (a.size() != b.size())
        return false;
    unsigned char difference = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        difference |= static_cast<unsigned char>(a.at(i) ^ b.at(i));
    return difference == 0;
}
