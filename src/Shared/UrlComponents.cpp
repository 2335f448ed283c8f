#include "Shared/UrlComponents.h"

namespace {

// QUrl's strict mode accepts two things an RFC 3986 parser refuses: raw non-ASCII text (which it quietly
// percent-encodes) and "[" or "]" outside the authority. Both are refused here before QUrl sees the text.
bool holdsOnlyUriCharacters(const QString &text)
{
    qsizetype authorityEnd = -1;
    const qsizetype schemeEnd = text.indexOf(QLatin1Char(':'));
    const qsizetype firstDelimiter = [&] {
        for (qsizetype i = 0; i < text.size(); ++i) {
            const QChar c = text.at(i);
            if (c == QLatin1Char('/') || c == QLatin1Char('?') || c == QLatin1Char('#'))
                return i;
        }
        return text.size();
    }();
    const qsizetype hierarchyStart = (schemeEnd >= 0 && schemeEnd < firstDelimiter) ? schemeEnd + 1 : 0;
    if (QStringView(text).mid(hierarchyStart).startsWith(QLatin1String("//"))) {
        authorityEnd = text.size();
        for (qsizetype i = hierarchyStart + 2; i < text.size(); ++i) {
            const QChar c = text.at(i);
            if (c == QLatin1Char('/') || c == QLatin1Char('?') || c == QLatin1Char('#')) {
                authorityEnd = i;
                break;
            }
        }
    }
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        if (c <= 0x20 || c >= 0x7f)
            return false;
        if ((c == u'[' || c == u']') && i >= authorityEnd)
            return false;
    }
    return true;
}

} // namespace

std::optional<QUrl> parseUrlComponents(const QString &text)
{
    if (text.isEmpty())
        return QUrl();
    if (!holdsOnlyUriCharacters(text))
        return std::nullopt;
    QUrl url(text, QUrl::StrictMode);
    if (!url.isValid())
        return std::nullopt;
    return url;
}
