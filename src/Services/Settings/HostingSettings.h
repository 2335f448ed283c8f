#pragma once

#include "Shared/AgentAddress.h"
#include "Shared/HostingMode.h"

#include <QStringList>

class HostPreferences;

// The preference values one agent launch is composed from, taken at the moment of the start.
struct HostingSettings {
    QStringList workspaces;
    HostingMode mode = HostingMode::lan;
    int lanPort = AgentAddress::defaultPort;
    bool lanBindAll = true;
    bool ngrokTunnelEnabled = false;
    QString ngrokAuthtoken;
    QString relayURL;
    HostRelayVersion relayVersion = HostRelayVersion::elixirV2;

    static HostingSettings from(const HostPreferences &preferences);

    // The LAN route with an ngrok tunnel in front of it.
    bool wantsTunnel() const { return mode == HostingMode::lan && ngrokTunnelEnabled; }
};
