#include "Services/Links/LanAddress.h"

#include <QStringList>

bool isPrivateIPv4(const QString &address)
{
    if (address.startsWith(QLatin1String("10.")) || address.startsWith(QLatin1String("192.168.")))
        return true;
    if (!address.startsWith(QLatin1String("172.")))
        return false;
    const QStringList fields = address.split(QLatin1Char('.'), Qt::SkipEmptyParts);
    if (fields.size() < 2)
        return false;
    bool isNumber = false;
    const int second = fields.at(1).toInt(&isNumber, 10);
    return isNumber && second >= 16 && second <= 31;
}

std::optional<QString> bestLANAddress(const std::optional<QList<NetworkInterfaceAddress>> &addresses)
{
    if (!addresses)
        return std::nullopt;
    std::optional<QString> fallback;
    for (const NetworkInterfaceAddress &address : *addresses) {
        if (!address.up || address.loopback || !address.isIPv4 || !address.numericHost)
            continue;
        const QString &text = *address.numericHost;
        if (text.startsWith(QLatin1String("169.254")))
            continue;
        if (isPrivateIPv4(text))
            return text;
        if (!fallback)
            fallback = text;
    }
    return fallback;
}
