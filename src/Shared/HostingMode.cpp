#include "Shared/HostingMode.h"

#include "Shared/BuildConfig.h"
#include "Shared/UrlComponents.h"

#include <QStringList>

QString rawValue(HostingMode mode)
{
    return mode == HostingMode::relay ? QStringLiteral("relay") : QStringLiteral("lan");
}

HostingMode hostingModeFromRaw(const QString &raw)
{
    return raw == QLatin1String("relay") ? HostingMode::relay : HostingMode::lan;
}

QString rawValue(HostRelayVersion version)
{
    return version == HostRelayVersion::goV1 ? QStringLiteral("goV1") : QStringLiteral("elixirV2");
}

std::optional<HostRelayVersion> relayVersionFromRaw(const QString &raw)
{
    if (raw == QLatin1String("goV1"))
        return HostRelayVersion::goV1;
    if (raw == QLatin1String("elixirV2"))
        return HostRelayVersion::elixirV2;
    return std::nullopt;
}

QString managedDefaultURL(HostRelayVersion version)
{
    if (version == HostRelayVersion::goV1)
        return QStringLiteral("wss://") + QLatin1String(BuildConfig::goRelayHost) + QStringLiteral("/relay");
    return QStringLiteral("wss://") + QLatin1String(BuildConfig::elixirRelayHost) +
           QStringLiteral("/relay/v2");
}

QString normalizedManagedRelayURL(HostRelayVersion version, const QString &url)
{
    const std::optional<QUrl> components = parseUrlComponents(url);
    if (!components || components->host().isEmpty())
        return url;
    static const QStringList managedHosts{QLatin1String(BuildConfig::productRelayHost),
                                          QLatin1String(BuildConfig::goRelayHost),
                                          QLatin1String(BuildConfig::elixirRelayHost)};
    if (managedHosts.contains(components->host(QUrl::FullyDecoded).toLower()))
        return managedDefaultURL(version);
    return url;
}

HostRelayVersion inferredRelayVersion(const QString &url)
{
    const std::optional<QUrl> components = parseUrlComponents(url);
    if (!components)
        return HostRelayVersion::elixirV2;
    const QString host = components->host(QUrl::FullyDecoded).toLower();
    // Letter case counts in the path, as it does where the endpoint is made from it: "/Relay/v2" is some
    // other relay's path, not the versioned one.
    const QString path = components->path(QUrl::FullyDecoded);
    if (host.contains(QLatin1String("elixir")))
        return HostRelayVersion::elixirV2;
    return path.contains(QLatin1String("/relay/v2")) ? HostRelayVersion::elixirV2 : HostRelayVersion::goV1;
}
