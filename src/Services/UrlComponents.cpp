#include "Services/UrlComponents.h"

std::optional<QUrl> parseUrlComponents(const QString &text)
{
    if (text.isEmpty())
        return QUrl();
    QUrl url(text, QUrl::StrictMode);
    if (!url.isValid())
        return std::nullopt;
    return url;
}
