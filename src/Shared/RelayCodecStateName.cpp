#include "Shared/RelayCodecStateName.h"

#include <QCryptographicHash>

QString relayCodecStateFileName(const QString &relayVersion, const QString &hostId, const QString &session)
{
    // 128 bits keep two links apart; the newline separates the fields because neither ever holds one.
    constexpr qsizetype digestHexLength = 32;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(hostId.toUtf8());
    hash.addData(QByteArrayView("\n"));
    hash.addData(session.toUtf8());
    const QString digest = QString::fromLatin1(hash.result().toHex().left(digestHexLength));
    return relayVersion + QLatin1Char('-') + digest + QStringLiteral(".json");
}
