#include "Services/Settings/HostingSettings.h"

#include "Services/Settings/HostPreferences.h"

HostingSettings HostingSettings::from(const HostPreferences &preferences)
{
    HostingSettings settings;
    settings.workspaces = preferences.workspaces();
    settings.mode = preferences.mode();
    settings.lanPort = preferences.lanPort();
    settings.lanBindAll = preferences.lanBindAll();
    settings.ngrokTunnelEnabled = preferences.ngrokTunnelEnabled();
    settings.ngrokAuthtoken = preferences.ngrokAuthtoken();
    settings.relayURL = preferences.relayURL();
    settings.relayVersion = preferences.relayVersion();
    settings.sessionPrograms = preferences.sessionPrograms();
    settings.allowShell = preferences.allowShell();
    settings.allowUnencryptedClients = preferences.allowUnencryptedClients();
    return settings;
}
