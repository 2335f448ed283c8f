#include "Services/Links/SetupLinkBuilder.h"

#include "Services/Links/QueryEncoding.h"
#include "Shared/AgentAddress.h"
#include "Shared/RelayEndpoint.h"
#include "Shared/UrlComponents.h"

#include <QList>
#include <QTimeZone>

#include <utility>

namespace {

using QueryItems = QList<std::pair<QString, QString>>;

// The names the tablet reads, in either form of the link.
const QString modeName = QStringLiteral("mode");
const QString endpointName = QStringLiteral("endpoint");
const QString tokenName = QStringLiteral("token");
const QString hostIdName = QStringLiteral("hostId");
const QString pairingNonceName = QStringLiteral("pairingNonce");
const QString expiresAtName = QStringLiteral("expiresAt");
const QString agentKeyName = QStringLiteral("agentKey");

// The link text is assembled here rather than by QUrl, whose query handling would decide on its own which
// characters to encode. QUrl only checks the result: a link whose text it would read differently is none.
std::optional<QUrl> linkFromItems(const QString &start, const QueryItems &items)
{
    QString text = start;
    bool first = true;
    for (const auto &[name, value] : items) {
        if (!first)
            text += QLatin1Char('&');
        first = false;
        text += QueryEncoding::encodedComponent(name);
        text += QLatin1Char('=');
        text += QueryEncoding::encodedComponent(value);
    }
    QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.toString(QUrl::FullyEncoded) != text)
        return std::nullopt;
    return url;
}

std::optional<QUrl> linkFromItems(const QueryItems &items)
{
    return linkFromItems(QStringLiteral("ferrowyn://connect?"), items);
}

// A ticket that expires with the link shown, in the seconds the ticket counts; none when the link would have
// no expiry.
std::optional<QString> pairingTicket(const HostCredentials &credentials, const QString &serial,
                                     const QDateTime &now)
{
    if (!SetupLinkBuilder::expiresAtText(now))
        return std::nullopt;
    return PairingTicket::make(credentials.pairingNonce, credentials.hostId,
                               now.toSecsSinceEpoch() + SetupLinkBuilder::linkLifetimeSeconds, serial);
}

// The browser client's page at `origin` ("http://host:port" or "https://host"), the ticket in the fragment.
std::optional<QUrl> browserLink(const QString &origin, const HostCredentials &credentials,
                                const QString &ticketSerial, const QDateTime &now)
{
    const std::optional<QUrl> page = parseUrlComponents(origin + QLatin1Char('/'));
    if (!page || page->host().isEmpty() || !page->userInfo().isEmpty() ||
        page->path() != QLatin1String("/") || page->hasQuery() || page->hasFragment())
        return std::nullopt;
    const std::optional<QString> ticket = pairingTicket(credentials, ticketSerial, now);
    const std::optional<QString> agentKey = credentials.agentPublicKey();
    if (!ticket || !agentKey)
        return std::nullopt;
    return linkFromItems(origin + QStringLiteral("/#"),
                         {{QStringLiteral("ticket"), *ticket}, {QStringLiteral("key"), *agentKey}});
}

std::optional<QUrl> sshTunnelLink(const QString &endpoint, const HostCredentials &credentials,
                                  const QString &codeSerial, const QDateTime &now)
{
    const std::optional<QString> expiresAt = SetupLinkBuilder::expiresAtText(now);
    const std::optional<QString> code = pairingTicket(credentials, codeSerial, now);
    const std::optional<QString> agentKey = credentials.agentPublicKey();
    if (!expiresAt || !code || !agentKey)
        return std::nullopt;
    return linkFromItems({
        {modeName, QStringLiteral("sshTunnel")},
        {endpointName, endpoint},
        {tokenName, credentials.hostToken},
        {hostIdName, credentials.hostId},
        {pairingNonceName, *code},
        {expiresAtName, *expiresAt},
        {agentKeyName, *agentKey},
    });
}

} // namespace

std::optional<QString> SetupLinkBuilder::expiresAtText(const QDateTime &now)
{
    if (!now.isValid())
        return std::nullopt;
    const QDateTime expiry = now.toTimeZone(QTimeZone::utc()).addSecs(linkLifetimeSeconds);
    const int year = expiry.date().year();
    if (!expiry.isValid() || year < 1 || year > 9999)
        return std::nullopt;
    return expiry.toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss'Z'"));
}

std::optional<QUrl> SetupLinkBuilder::lanLink(const QString &host, int port,
                                              const HostCredentials &credentials, const QString &codeSerial,
                                              const QDateTime &now)
{
    if (port < 1 || port > 65535)
        return std::nullopt;
    const QString endpoint = QStringLiteral("ws://") + host + QLatin1Char(':') + QString::number(port) +
                             AgentAddress::webSocketPath;
    const std::optional<QUrl> parsed = parseUrlComponents(endpoint);
    if (!parsed || parsed->host().isEmpty() || !parsed->userInfo().isEmpty() ||
        parsed->path() != AgentAddress::webSocketPath || parsed->hasQuery() || parsed->hasFragment())
        return std::nullopt;
    return sshTunnelLink(endpoint, credentials, codeSerial, now);
}

std::optional<QUrl> SetupLinkBuilder::directTunnelLink(const QString &endpoint,
                                                       const HostCredentials &credentials,
                                                       const QString &codeSerial, const QDateTime &now)
{
    return sshTunnelLink(endpoint, credentials, codeSerial, now);
}

std::optional<QUrl> SetupLinkBuilder::relayLink(const QString &relayURL, HostRelayVersion relayVersion,
                                                const HostCredentials &credentials, const QString &codeSerial,
                                                const QDateTime &now)
{
    const std::optional<QString> endpoint = relayEndpoint(relayURL, credentials.relaySessionId);
    const std::optional<QString> expiresAt = expiresAtText(now);
    const std::optional<QString> code = pairingTicket(credentials, codeSerial, now);
    const std::optional<QString> agentKey = credentials.agentPublicKey();
    if (!endpoint || !expiresAt || !code || !agentKey)
        return std::nullopt;
    return linkFromItems({
        {modeName, QStringLiteral("privateRelay")},
        {endpointName, *endpoint},
        {tokenName, credentials.hostToken},
        {QStringLiteral("relayToken"), credentials.relayToken},
        {hostIdName, credentials.hostId},
        {QStringLiteral("relayVersion"), rawValue(relayVersion)},
        {QStringLiteral("sessionId"), credentials.relaySessionId},
        {pairingNonceName, *code},
        {expiresAtName, *expiresAt},
        {agentKeyName, *agentKey},
    });
}

std::optional<QUrl> SetupLinkBuilder::lanBrowserLink(const QString &host, int port,
                                                     const HostCredentials &credentials,
                                                     const QString &ticketSerial, const QDateTime &now)
{
    if (port < 1 || port > 65535)
        return std::nullopt;
    return browserLink(QStringLiteral("http://") + host + QLatin1Char(':') + QString::number(port),
                       credentials, ticketSerial, now);
}

std::optional<QUrl> SetupLinkBuilder::tunnelBrowserLink(const QString &publicURL,
                                                        const HostCredentials &credentials,
                                                        const QString &ticketSerial, const QDateTime &now)
{
    const std::optional<QUrl> url = parseUrlComponents(publicURL);
    if (!url || url->scheme() != QLatin1String("https") || url->host().isEmpty() ||
        !url->userInfo().isEmpty())
        return std::nullopt;
    return browserLink(QStringLiteral("https://") + url->host(QUrl::FullyEncoded) +
                           (url->port() == -1 ? QString() : QLatin1Char(':') + QString::number(url->port())),
                       credentials, ticketSerial, now);
}

std::optional<QUrl> SetupLinkBuilder::withPairingNote(const QUrl &browserLink, const QString &computerName,
                                                      qsizetype folderCount)
{
    const QString link = browserLink.toString(QUrl::FullyEncoded);
    return linkFromItems(link + QLatin1Char('&'),
                         {{QStringLiteral("computer"), computerName},
                          {QStringLiteral("folders"), QString::number(folderCount)}});
}
