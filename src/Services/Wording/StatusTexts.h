#pragma once

#include "Services/Settings/HostingSettings.h"
#include "Services/Supervision/AgentRunState.h"
#include "Shared/HostingMode.h"
#include "Shared/TunnelState.h"

#include <QDateTime>
#include <QLocale>
#include <QString>
#include <QUrl>

#include <optional>

// What the window says about hosting, computed from plain values so every row of every table can be tested
// without a window.
namespace StatusTexts {

// What rotating the pairing does, wherever it is offered (the window's two buttons act without asking).
inline const QString rotationConsequence =
    QStringLiteral("Every paired tablet must pair again, and every setup link stops working.");

struct HostingStatus {
    AgentRunState state;
    HostingSettings settings;
    TunnelState tunnelState = TunnelState::disabled;
    QString tunnelPublicURL;
    QString tunnelLastError;
    QString resolvedLANAddress; // empty when none
};

// "Stopped", "Starting", "Running", "Stopping" or "Error".
QString headerLabel(const AgentRunState &state);
QString statusHeadline(const HostingStatus &hosting);
QString tunnelStatusText(TunnelState tunnelState, const QString &publicURL, const QString &lastError);

// Why there is no setup link yet.
QString disconnectedTitle(const HostingStatus &hosting);
QString disconnectedMessage(const HostingStatus &hosting);
// How to use the link that is shown.
QString instructionText(const HostingStatus &hosting);

// The first "expiresAt" of the link, read as an internet date-time; none when absent or unreadable.
std::optional<QDateTime> setupLinkExpiry(const QUrl &link);
// "Setup link expires <time>. Rotation revokes trusted devices and existing setup links."
QString expiryLine(const QDateTime &expiry, const QLocale &locale = QLocale());

// "Key fingerprint: 9f3a 01bc 77de 2c10", of the agent key the link's "agentKey" carries, for the user to
// compare with what a tablet shows; empty when the link carries no readable key.
QString keyFingerprintLine(const QUrl &link);

// What the window says of a settings file it could not read: where the damaged copy was kept (`backupPath`),
// or, when it could not be moved aside, that nothing is saved until the file at `path` is repaired.
QString settingsFileNotice(const QString &path, const QString &backupPath);

// An identity value, or "Created on start" before there is one.
QString identityValue(const QString &value);

} // namespace StatusTexts
