#pragma once

#include "Services/Settings/HostCredentials.h"
#include "Services/Settings/HostingSettings.h"

#include <QDateTime>
#include <QString>
#include <QUrl>

#include <functional>
#include <optional>

// Decides which route the setup link takes and fills it from the settings and the pairing credentials.
namespace SetupLinkComposer {

struct Inputs {
    HostingSettings settings;
    HostCredentials credentials;
    QString tunnelPublicURL;
    // Asked only when the LAN route listens on every interface.
    std::function<std::optional<QString>()> bestLANAddress;
    // Tell the app link's pairing code and the browser form's ticket apart from others made in the same
    // second.
    QString ticketSerial = {};
    QString appCodeSerial = {};
    // Named on the browser form's pairing screen, with the number of pinned folders; empty: not named.
    QString computerName = {};
};

struct Result {
    std::optional<QUrl> link;
    // The same pairing for the browser client, when the route has one (the relay has none).
    std::optional<QUrl> browserLink;
    // Address and port at which the agent is reached locally; none in relay mode.
    std::optional<QString> resolvedLANAddress;
};

Result compose(const Inputs &inputs, const QDateTime &now = QDateTime::currentDateTimeUtc());

} // namespace SetupLinkComposer
