#include "Shared/RelayEndpoint.h"

#include "Shared/UrlComponents.h"

std::optional<QString> relayEndpoint(const QString &relayURL, const QString &session)
{
    std::optional<QUrl> url = parseUrlComponents(relayURL);
    if (!url || url->scheme().isEmpty() || url->host().isEmpty())
        return std::nullopt;

    const QString parsedPath = url->path(QUrl::FullyEncoded);
    qsizetype begin = 0;
    qsizetype end = parsedPath.size();
    while (begin < end && parsedPath.at(begin) == QLatin1Char('/'))
        ++begin;
    while (end > begin && parsedPath.at(end - 1) == QLatin1Char('/'))
        --end;
    const QString trimmedPath = parsedPath.mid(begin, end - begin);
    // The characters a URL path may hold as they are; everything else, and every non-ASCII byte, is encoded.
    const QString encodedSession =
        QString::fromLatin1(QUrl::toPercentEncoding(session, "!$&'()*+,-./:;=@_~"));

    // Compared exactly: "Relay/v2" is some other relay's path, not the versioned one.
    QString newPath;
    if (trimmedPath.isEmpty() || trimmedPath == QLatin1String("ws") || trimmedPath == QLatin1String("relay"))
        newPath = QStringLiteral("/relay/") + encodedSession;
    else if (trimmedPath == QLatin1String("relay/v2"))
        newPath = QStringLiteral("/relay/v2/") + encodedSession;
    else if (trimmedPath.startsWith(QLatin1String("relay/")))
        newPath = parsedPath;
    else
        newPath = QLatin1Char('/') + trimmedPath + QLatin1Char('/') + encodedSession;

    url->setPath(newPath, QUrl::StrictMode);
    url->setQuery(QString());
    if (!url->isValid())
        return std::nullopt;
    return url->toString(QUrl::FullyEncoded);
}
