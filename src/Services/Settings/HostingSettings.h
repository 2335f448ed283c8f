#pragma once

#include "Shared/AgentAddress.h"
#include "Shared/HostingMode.h"

#include <QStringList>

class HostPreferences;

// The preferences hosting is made of, as values taken at one moment: what a launch is composed from, what
// the setup link is built of and what the status texts tell.
struct HostingSettings {
    QStringList workspaces;
    HostingMode mode = HostingMode::lan;
    int lanPort = AgentAddress::defaultPort;
    bool lanBindAll = true;
    bool ngrokTunnelEnabled = false;
    QString ngrokAuthtoken;
    QString relayURL;
    HostRelayVersion relayVersion = HostRelayVersion::elixirV2;
    // What tablets may start in a coding session (see CodingWork::normalizedPrograms).
    QStringList sessionPrograms;
    bool allowShell = false;
    // Tablets without the encrypted channel are let in (see AgentCommandLine::allowUnencryptedClients).
    bool allowUnencryptedClients = false;

    static HostingSettings from(const HostPreferences &preferences);

    // The LAN route with an ngrok tunnel in front of it.
    bool wantsTunnel() const { return mode == HostingMode::lan && ngrokTunnelEnabled; }
};
