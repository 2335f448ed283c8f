#include "Services/Links/TunnelEndpoint.h"

#include "Shared/AgentAddress.h"
#include "Shared/UrlComponents.h"

std::optional<QString> directTunnelWebSocketEndpoint(const QString &publicURL)
{
    if (publicURL.isEmpty())
        return std::nullopt;
    std::optional<QUrl> url = parseUrlComponents(publicURL);
    if (!url || url->scheme().isEmpty())
        return std::nullopt;
    const QString scheme = url->scheme().toLower();
    if (scheme == QLatin1String("https") || scheme == QLatin1String("wss"))
        url->setScheme(QStringLiteral("wss"));
    else if (scheme == QLatin1String("http") || scheme == QLatin1String("ws"))
        url->setScheme(QStringLiteral("ws"));
    else
        return std::nullopt;

    QString path = url->path(QUrl::FullyEncoded);
    while (path.startsWith(QLatin1Char('/')))
        path.remove(0, 1);
    while (path.endsWith(QLatin1Char('/')))
        path.chop(1);
    path += AgentAddress::webSocketPath;
    if (!path.startsWith(QLatin1Char('/')))
        path.prepend(QLatin1Char('/'));
    url->setPath(path, QUrl::StrictMode);
    url->setQuery(QString());
    url->setFragment(QString());
    if (!url->isValid())
        return std::nullopt;
    return url->toString(QUrl::FullyEncoded);
}
