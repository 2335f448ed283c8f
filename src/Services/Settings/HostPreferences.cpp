#include "Services/Settings/HostPreferences.h"

#include "Platform/UserDefaults.h"

#include <limits>

namespace Keys {
const QString workspaces = QStringLiteral("FerrowynHost.workspaces");
const QString mode = QStringLiteral("FerrowynHost.mode");
const QString lanPort = QStringLiteral("FerrowynHost.lanPort");
const QString lanBindAll = QStringLiteral("FerrowynHost.lanBindAll");
const QString ngrokTunnelEnabled = QStringLiteral("FerrowynHost.ngrokTunnelEnabled");
const QString relayURL = QStringLiteral("FerrowynHost.relayURL");
const QString relayVersion = QStringLiteral("FerrowynHost.relayVersion");
const QString startHostingOnLaunch = QStringLiteral("FerrowynHost.startHostingOnLaunch");
const QString openAtLogin = QStringLiteral("FerrowynHost.openAtLogin");
const QString keepRelayOnline = QStringLiteral("FerrowynHost.keepRelayOnline");
const QString secretsFile = QStringLiteral("FerrowynHost.secretsFile");
const QString keepHostingWhenClosed = QStringLiteral("FerrowynHost.keepHostingWhenClosed");
} // namespace Keys

HostPreferences::HostPreferences(UserDefaults &defaults, HostNgrokTokenStore ngrokTokenStore, QObject *parent)
    : QObject(parent), m_defaults(defaults), m_ngrokTokenStore(std::move(ngrokTokenStore))
{
    load();
}

bool HostPreferences::usesSecretsFile(const UserDefaults &defaults)
{
    return defaults.boolean(Keys::secretsFile).value_or(false);
}

std::optional<bool> HostPreferences::keepHostingWhenClosed() const
{
    return m_defaults.boolean(Keys::keepHostingWhenClosed);
}

void HostPreferences::setKeepHostingWhenClosed(bool keepHosting)
{
    m_defaults.setBoolean(Keys::keepHostingWhenClosed, keepHosting);
}

void HostPreferences::load()
{
    const std::optional<QString> storedURL = m_defaults.string(Keys::relayURL);
    const std::optional<HostRelayVersion> storedVersion =
        relayVersionFromRaw(m_defaults.string(Keys::relayVersion).value_or(QString()));
    const HostRelayVersion version = storedVersion.value_or(
        inferredRelayVersion(storedURL.value_or(managedDefaultURL(HostRelayVersion::elixirV2))));

    m_workspaces = m_defaults.stringArray(Keys::workspaces).value_or(QStringList());
    m_mode = hostingModeFromRaw(m_defaults.string(Keys::mode).value_or(QString()));
    // A port that does not fit an int is as unusable as one of the wrong type.
    const std::optional<qint64> port = m_defaults.integer(Keys::lanPort);
    m_lanPort = port && *port >= std::numeric_limits<int>::min() && *port <= std::numeric_limits<int>::max()
                    ? static_cast<int>(*port)
                    : defaultLanPort;
    m_lanBindAll = m_defaults.boolean(Keys::lanBindAll).value_or(true);
    m_ngrokTunnelEnabled = m_defaults.boolean(Keys::ngrokTunnelEnabled).value_or(false);
    // The keyring answers later; a token typed meanwhile is newer and stays.
    m_ngrokTokenStore.load(this, [this](const QString &token) {
        if (m_ngrokAuthtokenEdited || m_ngrokAuthtoken == token)
            return;
        m_ngrokAuthtoken = token;
        emit ngrokAuthtokenChanged();
    });
    m_relayVersion = version;
    m_relayURL = storedURL ? normalizedManagedRelayURL(version, *storedURL) : managedDefaultURL(version);
    m_startHostingOnLaunch = m_defaults.boolean(Keys::startHostingOnLaunch).value_or(false);
    m_openAtLogin = m_defaults.boolean(Keys::openAtLogin).value_or(false);
    m_keepRelayOnline = m_defaults.boolean(Keys::keepRelayOnline).value_or(true);

    if (storedURL != m_relayURL)
        m_defaults.setString(Keys::relayURL, m_relayURL);
    if (m_defaults.string(Keys::relayVersion) != rawValue(m_relayVersion))
        m_defaults.setString(Keys::relayVersion, rawValue(m_relayVersion));
}

void HostPreferences::setWorkspaces(const QStringList &workspaces)
{
    if (m_workspaces == workspaces)
        return;
    m_workspaces = workspaces;
    m_defaults.setStringArray(Keys::workspaces, m_workspaces);
    emit workspacesChanged();
}

void HostPreferences::setMode(HostingMode mode)
{
    if (m_mode == mode)
        return;
    m_mode = mode;
    m_defaults.setString(Keys::mode, rawValue(m_mode));
    emit modeChanged();
}

void HostPreferences::setLanPort(int port)
{
    if (m_lanPort == port)
        return;
    m_lanPort = port;
    m_defaults.setInteger(Keys::lanPort, m_lanPort);
    emit lanPortChanged();
}

void HostPreferences::setLanBindAll(bool bindAll)
{
    if (m_lanBindAll == bindAll)
        return;
    m_lanBindAll = bindAll;
    m_defaults.setBoolean(Keys::lanBindAll, m_lanBindAll);
    emit lanBindAllChanged();
}

void HostPreferences::setNgrokTunnelEnabled(bool enabled)
{
    if (m_ngrokTunnelEnabled == enabled)
        return;
    m_ngrokTunnelEnabled = enabled;
    m_defaults.setBoolean(Keys::ngrokTunnelEnabled, m_ngrokTunnelEnabled);
    emit ngrokTunnelEnabledChanged();
}

void HostPreferences::setNgrokAuthtoken(const QString &token)
{
    if (m_ngrokAuthtoken == token)
        return;
    m_ngrokAuthtoken = token;
    m_ngrokAuthtokenEdited = true;
    m_ngrokTokenStore.save(m_ngrokAuthtoken, this);
    emit ngrokAuthtokenChanged();
}

void HostPreferences::setRelayURL(const QString &url)
{
    if (m_relayURL == url)
        return;
    m_relayURL = url;
    m_defaults.setString(Keys::relayURL, m_relayURL);
    emit relayURLChanged();
}

void HostPreferences::setRelayVersion(HostRelayVersion version)
{
    if (m_relayVersion == version)
        return;
    m_relayVersion = version;
    m_defaults.setString(Keys::relayVersion, rawValue(m_relayVersion));
    emit relayVersionChanged();
}

void HostPreferences::setStartHostingOnLaunch(bool enabled)
{
    if (m_startHostingOnLaunch == enabled)
        return;
    m_startHostingOnLaunch = enabled;
    m_defaults.setBoolean(Keys::startHostingOnLaunch, m_startHostingOnLaunch);
    emit startHostingOnLaunchChanged();
}

void HostPreferences::setOpenAtLogin(bool enabled)
{
    if (m_openAtLogin == enabled)
        return;
    m_openAtLogin = enabled;
    m_defaults.setBoolean(Keys::openAtLogin, m_openAtLogin);
    emit openAtLoginChanged();
}

void HostPreferences::setKeepRelayOnline(bool enabled)
{
    if (m_keepRelayOnline == enabled)
        return;
    m_keepRelayOnline = enabled;
    m_defaults.setBoolean(Keys::keepRelayOnline, m_keepRelayOnline);
    emit keepRelayOnlineChanged();
}
