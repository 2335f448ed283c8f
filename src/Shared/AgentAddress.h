#pragma once

#include <QString>
#include <QtGlobal>

// Where the agent answers: the host and the tablet reach it at these paths of its listening port.
namespace AgentAddress {
// The port the agent listens on unless told otherwise, and the one the host asks for by default.
inline constexpr quint16 defaultPort = 8765;
inline const QString healthPath = QStringLiteral("/healthz");
inline const QString webSocketPath = QStringLiteral("/ws");
// The host's loopback request that revokes one device (see agent/PROTOCOL.md).
inline const QString revokePath = QStringLiteral("/control/revoke");
// The host's loopback request that ends one coding session or all of them.
inline const QString endSessionsPath = QStringLiteral("/control/sessions/end");
// The devices the agent trusts, which the host deletes to revoke them all.
inline QString trustedDevicesPath(const QString &home)
{
    return home + QStringLiteral("/.ferrowyn/trusted-devices.json");
}
} // namespace AgentAddress
