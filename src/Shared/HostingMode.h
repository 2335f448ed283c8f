#pragma once

#include <QList>
#include <QObject>
#include <QString>

#include <optional>

namespace Hosting {
Q_NAMESPACE

// Cases in this order: pickers iterate them, and views see the enumerators as their indexes.
enum class HostingMode { lan, relay };
Q_ENUM_NS(HostingMode)

enum class HostRelayVersion { goV1, elixirV2 };
Q_ENUM_NS(HostRelayVersion)

} // namespace Hosting

using Hosting::HostingMode;
using Hosting::HostRelayVersion;

QString rawValue(HostingMode mode);
// Anything but "relay" is the LAN mode.
HostingMode hostingModeFromRaw(const QString &raw);

QString rawValue(HostRelayVersion version);
// Exact, case-sensitive match of a raw value, or none.
std::optional<HostRelayVersion> relayVersionFromRaw(const QString &raw);
inline const QList<HostRelayVersion> allRelayVersions{HostRelayVersion::goV1, HostRelayVersion::elixirV2};

// "wss://" + the version's managed relay host + its path.
QString managedDefaultURL(HostRelayVersion version);
// A URL on any managed relay host becomes the version's managed default; any other URL is kept as typed.
QString normalizedManagedRelayURL(HostRelayVersion version, const QString &url);
// Which protocol a relay URL speaks, judged by its host and path.
HostRelayVersion inferredRelayVersion(const QString &url);
