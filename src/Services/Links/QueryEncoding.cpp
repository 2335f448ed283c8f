#include "Services/Links/QueryEncoding.h"

#include <QUrl>

QString QueryEncoding::encodedComponent(const QString &text)
{
    // Unreserved characters are never encoded; these are the other characters RFC 3986 allows in a query.
    return QString::fromLatin1(QUrl::toPercentEncoding(text, "!$'()*,:@/?"));
}

QString QueryEncoding::decodedComponent(QStringView encoded)
{
    if (!encoded.contains(QLatin1Char('%')))
        return encoded.toString();
    return QUrl::fromPercentEncoding(encoded.toUtf8());
}
