#include "Services/Settings/HostPreferences.h"

#include "Platform/UserDefaults.h"
#include "Services/Sessions/CodingWork.h"
#include "Shared/NotifyingSetter.h"

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
const QString sessionPrograms = QStringLiteral("FerrowynHost.sessionPrograms");
const QString allowShell = QStringLiteral("FerrowynHost.allowShell");
const QString allowUnencryptedClients = QStringLiteral("FerrowynHost.allowUnencryptedClients");
const QString browserLinkForm = QStringLiteral("FerrowynHost.browserLinkForm");
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
    // An empty list is the user's choice: no program at all.
    m_sessionPrograms = CodingWork::normalizedPrograms(
        m_defaults.stringArray(Keys::sessionPrograms).value_or(QStringList{CodingWork::defaultProgram}));
    m_allowShell = m_defaults.boolean(Keys::allowShell).value_or(false);
    m_allowUnencryptedClients = m_defaults.boolean(Keys::allowUnencryptedClients).value_or(false);
    m_browserLinkForm = m_defaults.boolean(Keys::browserLinkForm).value_or(false);

    if (storedURL != m_relayURL)
        m_defaults.setString(Keys::relayURL, m_relayURL);
    if (m_defaults.string(Keys::relayVersion) != rawValue(m_relayVersion))
        m_defaults.setString(Keys::relayVersion, rawValue(m_relayVersion));
}

void HostPreferences::setWorkspaces(const QStringList &workspaces)
{
    setAndNotify(this, &HostPreferences::workspacesChanged, m_workspaces, workspaces,
                 [&] { m_defaults.setStringArray(Keys::workspaces, workspaces); });
}

void HostPreferences::setMode(HostingMode mode)
{
    setAndNotify(this, &HostPreferences::modeChanged, m_mode, mode,
                 [&] { m_defaults.setString(Keys::mode, rawValue(mode)); });
}

void HostPreferences::setLanPort(int port)
{
    setAndNotify(this, &HostPreferences::lanPortChanged, m_lanPort, port,
                 [&] { m_defaults.setInteger(Keys::lanPort, port); });
}

void HostPreferences::setLanBindAll(bool bindAll)
{
    setAndNotify(this, &HostPreferences::lanBindAllChanged, m_lanBindAll, bindAll,
                 [&] { m_defaults.setBoolean(Keys::lanBindAll, bindAll); });
}

void HostPreferences::setNgrokTunnelEnabled(bool enabled)
{
    setAndNotify(this, &HostPreferences::ngrokTunnelEnabledChanged, m_ngrokTunnelEnabled, enabled,
                 [&] { m_defaults.setBoolean(Keys::ngrokTunnelEnabled, enabled); });
}

void HostPreferences::setNgrokAuthtoken(const QString &token)
{
    setAndNotify(this, &HostPreferences::ngrokAuthtokenChanged, m_ngrokAuthtoken, token, [&] {
        m_ngrokAuthtokenEdited = true;
        m_ngrokTokenStore.save(token, this);
    });
}

void HostPreferences::setRelayURL(const QString &url)
{
    setAndNotify(this, &HostPreferences::relayURLChanged, m_relayURL, url,
                 [&] { m_defaults.setString(Keys::relayURL, url); });
}

void HostPreferences::setRelayVersion(HostRelayVersion version)
{
    setAndNotify(this, &HostPreferences::relayVersionChanged, m_relayVersion, version,
                 [&] { m_defaults.setString(Keys::relayVersion, rawValue(version)); });
}

void HostPreferences::setStartHostingOnLaunch(bool enabled)
{
    setAndNotify(this, &HostPreferences::startHostingOnLaunchChanged, m_startHostingOnLaunch, enabled,
                 [&] { m_defaults.setBoolean(Keys::startHostingOnLaunch, enabled); });
}

void HostPreferences::setOpenAtLogin(bool enabled)
{
    setAndNotify(this, &HostPreferences::openAtLoginChanged, m_openAtLogin, enabled,
                 [&] { m_defaults.setBoolean(Keys::openAtLogin, enabled); });
}

void HostPreferences::setKeepRelayOnline(bool enabled)
{
    setAndNotify(this, &HostPreferences::keepRelayOnlineChanged, m_keepRelayOnline, enabled,
                 [&] { m_defaults.setBoolean(Keys::keepRelayOnline, enabled); });
}

void HostPreferences::setSessionPrograms(const QStringList &programs)
{
    setAndNotify(this, &HostPreferences::sessionProgramsChanged, m_sessionPrograms,
                 CodingWork::normalizedPrograms(programs),
                 [&] { m_defaults.setStringArray(Keys::sessionPrograms, m_sessionPrograms); });
}

void HostPreferences::setAllowShell(bool allowed)
{
    setAndNotify(this, &HostPreferences::allowShellChanged, m_allowShell, allowed,
                 [&] { m_defaults.setBoolean(Keys::allowShell, allowed); });
}

void HostPreferences::setAllowUnencryptedClients(bool allowed)
{
    setAndNotify(this, &HostPreferences::allowUnencryptedClientsChanged, m_allowUnencryptedClients, allowed,
                 [&] { m_defaults.setBoolean(Keys::allowUnencryptedClients, allowed); });
}

void HostPreferences::setBrowserLinkForm(bool browser)
{
    setAndNotify(this, &HostPreferences::browserLinkFormChanged, m_browserLinkForm, browser,
                 [&] { m_defaults.setBoolean(Keys::browserLinkForm, browser); });
}
