#include "Web/BrowserOrigin.h"

#include "Http/PeerAddress.h"

#include <QNetworkInterface>
#include <QUrl>

namespace {

constexpr int httpPort = 80;
constexpr int httpsPort = 443;

bool isAllowedNameCharacter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_';
}

std::optional<int> parsePort(QByteArrayView text)
{
    if (text.isEmpty() || text.size() > 5)
        return std::nullopt;
    int port = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        port = port * 10 + (c - '0');
    }
    if (port < 1 || port > 65535)
        return std::nullopt;
    return port;
}

bool sameAddress(const QHostAddress &a, const QHostAddress &b)
{
    return plainPeerAddress(a) == plainPeerAddress(b);
}

} // namespace

std::optional<BrowserOrigin::Authority> BrowserOrigin::parseHost(QByteArrayView header)
{
    Authority authority;
    QByteArrayView rest = header;
    QByteArrayView host;
    if (rest.startsWith('[')) {
        const qsizetype close = rest.indexOf(']');
        if (close < 0)
            return std::nullopt;
        host = rest.sliced(1, close - 1);
        QHostAddress address;
        if (!address.setAddress(QString::fromLatin1(host)) ||
            address.protocol() != QAbstractSocket::IPv6Protocol)
            return std::nullopt;
        authority.host = address.toString();
        rest = rest.sliced(close + 1);
    } else {
        const qsizetype colon = rest.indexOf(':');
        host = colon < 0 ? rest : rest.first(colon);
        rest = colon < 0 ? QByteArrayView() : rest.sliced(colon);
        if (host.isEmpty() || host.size() > 253)
            return std::nullopt;
        for (const char c : host) {
            if (!isAllowedNameCharacter(c))
                return std::nullopt;
        }
        authority.host = QString::fromLatin1(host).toLower();
    }
    if (!rest.isEmpty()) {
        if (!rest.startsWith(':'))
            return std::nullopt;
        const std::optional<int> port = parsePort(rest.sliced(1));
        if (!port)
            return std::nullopt;
        authority.port = *port;
    }
    return authority;
}

BrowserOrigin::OwnHosts BrowserOrigin::OwnHosts::forListening(const QHostAddress &listening, quint16 port,
                                                              const QString &publicUrl)
{
    OwnHosts own;
    const bool any = listening == QHostAddress(QHostAddress::Any) ||
                     listening == QHostAddress(QHostAddress::AnyIPv4) ||
                     listening == QHostAddress(QHostAddress::AnyIPv6);
    own.addresses = any ? QNetworkInterface::allAddresses() : QList<QHostAddress>{listening};
    own.port = port;
    const QUrl url(publicUrl, QUrl::StrictMode);
    if (url.isValid() && url.scheme() == QLatin1String("https"))
        own.publicHost = url.host().toLower();
    return own;
}

bool BrowserOrigin::OwnHosts::contains(const Authority &authority) const
{
    if (!publicHost.isEmpty() && authority.host == publicHost)
        return authority.port == -1 || authority.port == httpsPort;
    if (authority.port != port)
        return false;
    QHostAddress named;
    const bool loopbackName =
        authority.host == QLatin1String("localhost") ||
        (named.setAddress(authority.host) && (named == QHostAddress(QHostAddress::LocalHost) ||
                                              named == QHostAddress(QHostAddress::LocalHostIPv6)));
    // Each loopback name stands for the agent on either loopback address: a forwarded port (ssh -L) or a
    // browser that tried ::1 first may name one while the agent listens on the other. No DNS name is one.
    if (loopbackName) {
        return std::any_of(addresses.cbegin(), addresses.cend(),
                           [](const QHostAddress &address) { return address.isLoopback(); });
    }
    if (named.isNull())
        return false;
    return std::any_of(addresses.cbegin(), addresses.cend(),
                       [&named](const QHostAddress &address) { return sameAddress(address, named); });
}

BrowserOrigin::Verdict BrowserOrigin::checkPage(QByteArrayView host, const OwnHosts &own)
{
    const std::optional<Authority> authority = parseHost(host);
    return authority && own.contains(*authority) ? Verdict::allowed : Verdict::foreignHost;
}

BrowserOrigin::Verdict BrowserOrigin::checkUpgrade(QByteArrayView origin, QByteArrayView host,
                                                   const OwnHosts &own)
{
    // Browsers always send one on a WebSocket upgrade; an empty one is no browser's either.
    if (origin.isEmpty())
        return Verdict::allowed;
    if (checkPage(host, own) != Verdict::allowed)
        return Verdict::foreignHost;
    const QUrl url(QString::fromLatin1(origin), QUrl::StrictMode);
    const QString scheme = url.scheme();
    if (!url.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https")) ||
        !url.userInfo().isEmpty() || !url.path().isEmpty() || url.hasQuery() || url.hasFragment())
        return Verdict::foreignOrigin;
    const int defaultPort = scheme == QLatin1String("https") ? httpsPort : httpPort;
    const Authority hostAuthority = *parseHost(host);
    // QUrl keeps an IPv6 host without brackets, as parseHost does.
    const std::optional<Authority> originAuthority =
        parseHost((url.host().contains(QLatin1Char(':')) ? QLatin1Char('[') + url.host() + QLatin1Char(']')
                                                         : url.host())
                      .toLatin1());
    if (!originAuthority || originAuthority->host != hostAuthority.host ||
        url.port(defaultPort) != (hostAuthority.port == -1 ? defaultPort : hostAuthority.port))
        return Verdict::foreignOrigin;
    return Verdict::allowed;
}
